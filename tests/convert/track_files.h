// Track files for the pass tests: written from samples in either header
// form, read back as samples and header fields; and a progress recorder.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "convert/progress.h"
#include "support/temp_folder.h"

namespace mivo::testing {

struct TrackSpec {
  int shortening = 0;  // 0: 46-byte header, 2: 44-byte header
  std::uint32_t rate = 48000;
  std::uint16_t channels = 2;
  std::uint16_t bits = 16;
  std::uint16_t formatTag = 1;
};

inline void Put16(std::string& s, std::size_t at, std::uint16_t v) {
  s[at] = static_cast<char>(v & 0xFF);
  s[at + 1] = static_cast<char>(v >> 8);
}
inline void Put32(std::string& s, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}
inline std::uint16_t Get16(const std::string& s, std::size_t at) {
  return static_cast<std::uint16_t>(static_cast<unsigned char>(s[at]) | (static_cast<unsigned char>(s[at + 1]) << 8));
}
inline std::uint32_t Get32(const std::string& s, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(s[at + i]);
  return v;
}

// The bytes of a track: the header laid out field by field, then the
// samples (interleaved left, right).
inline std::string TrackBytes(const std::vector<std::int16_t>& samples, const TrackSpec& spec = {}) {
  const std::size_t header = 46 - static_cast<std::size_t>(spec.shortening);
  const auto dataSize = static_cast<std::uint32_t>(samples.size() * 2);
  std::string s(header, '\0');
  std::memcpy(&s[0], "RIFF", 4);
  Put32(s, 4, dataSize + 38 - static_cast<std::uint32_t>(spec.shortening));
  std::memcpy(&s[8], "WAVEfmt ", 8);
  Put32(s, 16, 18 - static_cast<std::uint32_t>(spec.shortening));
  Put16(s, 20, spec.formatTag);
  Put16(s, 22, spec.channels);
  Put32(s, 24, spec.rate);
  const auto align = static_cast<std::uint16_t>(spec.channels * spec.bits / 8);
  Put32(s, 28, spec.rate * align);
  Put16(s, 32, align);
  Put16(s, 34, spec.bits);
  // New form: cbSize 0 at 36 (already zero).
  std::memcpy(&s[header - 8], "data", 4);
  Put32(s, header - 4, dataSize);
  for (std::int16_t v : samples) {
    s.push_back(static_cast<char>(static_cast<std::uint16_t>(v) & 0xFF));
    s.push_back(static_cast<char>(static_cast<std::uint16_t>(v) >> 8));
  }
  return s;
}

inline std::vector<std::int16_t> SamplesOf(const std::string& bytes, int shortening) {
  const std::size_t header = 46 - static_cast<std::size_t>(shortening);
  std::vector<std::int16_t> out;
  for (std::size_t i = header; i + 1 < bytes.size(); i += 2) out.push_back(static_cast<std::int16_t>(Get16(bytes, i)));
  return out;
}

// Frames of a constant stereo value, or from a function of the frame index.
template <class F>
std::vector<std::int16_t> Frames(std::size_t frames, F&& f) {
  std::vector<std::int16_t> s;
  s.reserve(frames * 2);
  for (std::size_t i = 0; i < frames; ++i) {
    const auto [l, r] = f(i);
    s.push_back(static_cast<std::int16_t>(l));
    s.push_back(static_cast<std::int16_t>(r));
  }
  return s;
}

// A reproducible noisy signal of full range.
inline std::vector<std::int16_t> Noise(std::size_t frames, std::uint32_t seed) {
  std::uint32_t x = seed;
  return Frames(frames, [&x](std::size_t) {
    auto next = [&x] {
      x = x * 1664525u + 1013904223u;
      return static_cast<int>(x >> 16) - 32768;
    };
    const int l = next();
    return std::pair{l, (l / 2 + next() / 2)};
  });
}

// Records what a step reports, as the window's bars would show it.
class RecordingProgress : public IProgress {
 public:
  void SetStageLabel(std::string_view text) override { labels.emplace_back(text); }
  void BeginTrackProgress(const std::int32_t* w, int count) override { weights.assign(w, w + count); }
  void BeginStage(std::int64_t units) override {
    stages.push_back(units);
    pos = 0;
    positions.clear();
  }
  void SetStagePos(std::int64_t units) override {
    pos = units;
    positions.push_back(units);
  }
  void AdvanceStage(std::int64_t units) override { SetStagePos(pos + units); }
  bool Cancelled() const override { return cancelAfter >= 0 && static_cast<long>(positions.size()) > cancelAfter; }

  std::vector<std::string> labels;
  std::vector<std::int32_t> weights;
  std::vector<std::int64_t> stages;
  std::vector<std::int64_t> positions;
  std::int64_t pos = 0;
  long cancelAfter = -1;  // cancel once this many positions were shown
};

}  // namespace mivo::testing
