// 48000 Hz to 44100 Hz by linear interpolation: every group of 160 input
// frames gives 147 output frames at the same fixed positions.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "convert/sample_passes.h"

namespace mivo {
namespace {

constexpr int kGroupIn = 160;
constexpr int kGroupOut = 147;
constexpr int kGroups = 10;
constexpr std::size_t kBlockInSamples = 2 * kGroupIn * kGroups;    // 3200
constexpr std::size_t kBlockOutSamples = 2 * kGroupOut * kGroups;  // 2940

// 1/147 rounded to single precision: slightly below 1/147, so that for
// example d = 0, e = 147, c = 13 gives 12, not 13.
constexpr double kK32 = 0.0068027209490537643;
static_assert(static_cast<double>(static_cast<float>(kK32)) == kK32);

// Where output frame k of a group lies: between input frames j and j + 1,
// at the fraction c / 147.
struct Pattern {
  int j[kGroupOut];
  double c[kGroupOut];
  constexpr Pattern() : j(), c() {
    for (int k = 0; k < kGroupOut; ++k) {
      j[k] = kGroupIn * k / kGroupOut;
      c[k] = kGroupIn * k % kGroupOut;
    }
  }
};
constexpr Pattern kPattern;

// Both channels of a frame side by side; each lane does its channel's
// arithmetic alone.
typedef double Pair __attribute__((vector_size(16)));
typedef std::int32_t IntPair __attribute__((vector_size(8)));

// out = d + (e - d) × k32 × c, in double precision in that order, toward
// zero. (e - d) is exact in double as it is in int.
void ConvertBlock(const std::int16_t* in, std::int16_t* out) {
  double x[kBlockInSamples];
  for (std::size_t i = 0; i < kBlockInSamples; ++i) x[i] = in[i];
  const Pair k32 = {kK32, kK32};
  for (int g = 0; g < kGroups; ++g) {
    const double* group = x + 2 * kGroupIn * g;
    std::int16_t* to = out + 2 * kGroupOut * g;
    for (int k = 0; k < kGroupOut; ++k) {
      Pair d, e;
      std::memcpy(&d, group + 2 * kPattern.j[k], sizeof d);
      std::memcpy(&e, group + 2 * kPattern.j[k] + 2, sizeof e);
      const Pair v = (e - d) * k32 * kPattern.c[k] + d;
      const IntPair t = __builtin_convertvector(v, IntPair);
      to[2 * k] = static_cast<std::int16_t>(t[0]);
      to[2 * k + 1] = static_cast<std::int16_t>(t[1]);
    }
  }
}

}  // namespace

bool Resample4844Linear(const std::string& track, const PassContext& ctx) {
  ctx.progress.SetStageLabel("48->44");
  TrackRewrite rw(track, ctx);
  if (!rw.Ok()) return false;

  std::uint8_t header[kTrackHeaderMax];
  if (!rw.ReadHeader(header)) return false;
  const std::uint32_t dataSize = GetLe32(header + rw.DataSizeAt());
  ctx.progress.BeginStage(dataSize / 6400);
  ctx.progress.SetStagePos(0);
  PutLe32(header + kSampleRateOffset, 44100);
  PutLe32(header + kByteRateOffset, 176400);
  if (!rw.Write(header, rw.HeaderSize())) return false;

  std::vector<std::int16_t> in(kBlockInSamples);
  std::vector<std::int16_t> out(kBlockOutSamples);
  std::uint32_t outputBytes = 0;
  for (;;) {
    const std::size_t samples = rw.Read(in.data(), kBlockInSamples * 2) / 2;
    if (samples == 0) break;
    // A short last block is interpolated toward silence.
    SamplesFromFile(in.data(), samples);
    std::fill(in.begin() + static_cast<std::ptrdiff_t>(samples), in.end(), std::int16_t{0});
    ConvertBlock(in.data(), out.data());
    SamplesToFile(out.data(), kBlockOutSamples);
    if (!rw.Write(out.data(), kBlockOutSamples * 2)) return false;
    outputBytes += kBlockOutSamples * 2;
    ctx.progress.AdvanceStage(1);
    if (!rw.EndBlock()) return false;
  }
  if (rw.Failed()) return false;  // a read error, not the end of the track

  std::uint8_t size[4];
  PutLe32(size, outputBytes);
  if (!rw.Patch(rw.DataSizeAt(), size, 4)) return false;
  PutLe32(size, outputBytes + 38 - static_cast<std::uint32_t>(ctx.headerShortening));
  if (!rw.Patch(kRiffSizeOffset, size, 4)) return false;
  return rw.Commit();
}

}  // namespace mivo
