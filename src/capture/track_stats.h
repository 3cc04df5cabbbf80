// How capture measures audio: one buffer (smallest and largest sample and
// the sum of each channel, the spans and the level) and a whole track (the
// peak, the sums and the extremes over its buffers). The capture cycle
// measures every buffer with these; a track repaired after a crash is
// measured again from its file with the same code, buffer by buffer.
#pragma once

#include <cstdint>

#include "convert/conversion_queue.h"

namespace mivo {

struct BufferMeasure {
  std::int64_t sumL = 0;  // sums of all left and all right samples
  std::int64_t sumR = 0;
  std::int16_t minL = 0;  // smallest and largest left and right sample
  std::int16_t maxL = 0;
  std::int16_t minR = 0;
  std::int16_t maxR = 0;
  std::uint32_t spanL = 0;  // largest minus smallest sample, 0..65535
  std::uint32_t spanR = 0;
  std::uint32_t level = 0;  // the larger of the two spans
};

// Scans `frames` frames (at least one) of left/right samples.
inline BufferMeasure MeasureFrames(const std::int16_t* s, std::uint32_t frames) {
  std::int32_t minL = s[0], maxL = s[0], minR = s[1], maxR = s[1];
  std::int64_t sumL = 0, sumR = 0;
  for (std::uint32_t i = 0; i < frames; ++i) {
    const std::int32_t l = s[2 * i];
    const std::int32_t r = s[2 * i + 1];
    minL = l < minL ? l : minL;
    maxL = l > maxL ? l : maxL;
    minR = r < minR ? r : minR;
    maxR = r > maxR ? r : maxR;
    sumL += l;
    sumR += r;
  }
  BufferMeasure m;
  m.sumL = sumL;
  m.sumR = sumR;
  m.minL = static_cast<std::int16_t>(minL);
  m.maxL = static_cast<std::int16_t>(maxL);
  m.minR = static_cast<std::int16_t>(minR);
  m.maxR = static_cast<std::int16_t>(maxR);
  m.spanL = static_cast<std::uint32_t>(maxL - minL);
  m.spanR = static_cast<std::uint32_t>(maxR - minR);
  m.level = m.spanL > m.spanR ? m.spanL : m.spanR;
  return m;
}

// What a track's written buffers add up to.
struct TrackStats {
  std::uint32_t peak = 0;  // largest (level + 1) / 2
  std::int64_t sumL = 0;
  std::int64_t sumR = 0;
  ChannelRange rangeL;  // smallest and largest sample
  ChannelRange rangeR;
  bool any = false;  // a buffer has been added

  void Add(const BufferMeasure& b) {
    const std::uint32_t p = (b.level + 1) / 2;
    if (p > peak) peak = p;
    sumL += b.sumL;
    sumR += b.sumR;
    if (!any) {
      rangeL = ChannelRange{b.minL, b.maxL};
      rangeR = ChannelRange{b.minR, b.maxR};
      any = true;
      return;
    }
    if (b.minL < rangeL.min) rangeL.min = b.minL;
    if (b.maxL > rangeL.max) rangeL.max = b.maxL;
    if (b.minR < rangeR.min) rangeR.min = b.minR;
    if (b.maxR > rangeR.max) rangeR.max = b.maxR;
  }
};

}  // namespace mivo
