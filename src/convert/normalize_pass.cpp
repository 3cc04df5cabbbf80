// Normalization and DC offset removal: one integer pass over the track.
#include <cstdint>
#include <vector>

#include "convert/sample_passes.h"

namespace mivo {
namespace {

constexpr std::size_t kBlockSamples = 65536;
constexpr std::size_t kBlockBytes = kBlockSamples * 2;

// One sample: offset removed, scaled, clipped. 64-bit throughout, so any
// offset and level are safe; within the usual ranges the 32-bit formula
// gives the same values.
inline std::int16_t Scale(std::int16_t sample, std::int64_t offset, std::int64_t level,
                          std::int64_t half) {
  const std::int64_t x = sample - offset;
  std::int64_t y;
  if (level <= 0) {
    y = x;
  } else if (x > 0) {
    y = (x * 32767 + half) / level;
  } else {
    y = (x * 32767 - half) / level;
  }
  if (y > 32767) y = 32767;
  if (y < -32768) y = -32768;
  return static_cast<std::int16_t>(y);
}

}  // namespace

bool NormalizeWav(const std::string& track, std::int32_t level, std::int32_t dcLeft,
                  std::int32_t dcRight, const PassContext& ctx) {
  ctx.progress.SetStageLabel("正規化");
  TrackRewrite rw(track, ctx);
  if (!rw.Ok()) return false;

  std::uint8_t header[kTrackHeaderMax];
  if (!rw.ReadHeader(header) || !rw.Write(header, rw.HeaderSize())) return false;
  const std::uint32_t dataSize = GetLe32(header + rw.DataSizeAt());
  ctx.progress.BeginStage(dataSize >> 17);
  ctx.progress.SetStagePos(0);

  // A sample's result depends on its value only: one table per channel,
  // indexed by the sample's bits (as unsigned).
  const std::int64_t L = level;
  const std::int64_t h = L / 2;
  std::vector<std::int16_t> tableL(65536), tableR(65536);
  for (int v = -32768; v <= 32767; ++v) {
    const auto index = static_cast<std::uint16_t>(v);
    tableL[index] = Scale(static_cast<std::int16_t>(v), dcLeft, L, h);
    tableR[index] = Scale(static_cast<std::int16_t>(v), dcRight, L, h);
  }

  std::vector<std::int16_t> samples(kBlockSamples);
  for (;;) {
    const std::size_t bytes = rw.Read(samples.data(), kBlockBytes);
    if (bytes == 0) break;
    // Samples alternate left, right. A stray last byte is copied as it is.
    const std::size_t count = bytes / 2;
    SamplesFromFile(samples.data(), count);
    std::int16_t* x = samples.data();
    for (std::size_t i = 0; i + 1 < count; i += 2) {
      x[i] = tableL[static_cast<std::uint16_t>(x[i])];
      x[i + 1] = tableR[static_cast<std::uint16_t>(x[i + 1])];
    }
    if (count % 2) x[count - 1] = tableL[static_cast<std::uint16_t>(x[count - 1])];
    SamplesToFile(samples.data(), count);
    if (!rw.Write(samples.data(), bytes)) return false;
    ctx.progress.AdvanceStage(1);
    if (!rw.EndBlock()) return false;
  }
  return rw.Commit();
}

}  // namespace mivo
