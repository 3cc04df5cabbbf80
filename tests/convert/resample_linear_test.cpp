// 48 → 44.1 kHz by linear interpolation: lengths, header fields, the fixed
// positions and the single-precision factor.
#include <gtest/gtest.h>

#include <filesystem>

#include "convert/sample_passes.h"
#include "track_files.h"

namespace mivo {
namespace {

using testing::RecordingProgress;
using testing::TempFolder;

struct PassRun {
  bool ok = false;
  std::string bytes;
  std::vector<std::int16_t> samples;
  RecordingProgress progress;
};

PassRun Linear(const std::vector<std::int16_t>& in, int shortening = 0) {
  TempFolder dir;
  const std::string track = dir.PathOf("music001.wav");
  testing::WriteBytes(track, testing::TrackBytes(in, {shortening, 48000}));
  PassRun run;
  run.ok = Resample4844Linear(track, PassContext{run.progress, shortening});
  run.bytes = testing::ReadBytes(track);
  run.samples = testing::SamplesOf(run.bytes, shortening);
  EXPECT_FALSE(std::filesystem::exists(track + ".tmp"));
  return run;
}

// Output frame k of a group lies 160k/147 input frames in; the factor is
// 1/147 as a float, applied as ((e - d) × k32) × c + d, truncated.
std::vector<std::int16_t> Model(std::vector<std::int16_t> in) {
  const double k32 = static_cast<double>(1.0f / 147.0f);
  in.resize((in.size() + 3199) / 3200 * 3200, 0);
  std::vector<std::int16_t> out;
  for (std::size_t group = 0; group < in.size() / 320; ++group) {
    for (int k = 0; k < 147; ++k) {
      const int j = 160 * k / 147, c = 160 * k % 147;
      for (int ch = 0; ch < 2; ++ch) {
        const int d = in[group * 320 + 2 * j + ch], e = in[group * 320 + 2 * j + 2 + ch];
        out.push_back(static_cast<std::int16_t>((e - d) * k32 * c + d));
      }
    }
  }
  return out;
}

TEST(Resample4844Linear, LengthsAreWholeBlocksOf1470Frames) {
  for (std::size_t frames : {std::size_t{1}, std::size_t{1600}, std::size_t{1601}, std::size_t{3200}}) {
    const PassRun run = Linear(testing::Noise(frames, 9));
    ASSERT_TRUE(run.ok);
    const std::uint32_t out = static_cast<std::uint32_t>((frames + 1599) / 1600 * 1470);
    EXPECT_EQ(run.samples.size(), out * 2) << frames;
    EXPECT_EQ(testing::Get32(run.bytes, 42), out * 4);
    EXPECT_EQ(testing::Get32(run.bytes, 4), out * 4 + 38);
    EXPECT_EQ(testing::Get32(run.bytes, 24), 44100u);
    EXPECT_EQ(testing::Get32(run.bytes, 28), 176400u);
    EXPECT_EQ(run.progress.labels, std::vector<std::string>{"48->44"});
    EXPECT_EQ(run.progress.stages, std::vector<std::int64_t>{static_cast<std::int64_t>(frames * 4 / 6400)});
    EXPECT_EQ(run.progress.positions.back(), static_cast<std::int64_t>((frames + 1599) / 1600));
  }
  // 1600 frames: exactly 1470 frames, 5880 bytes.
  EXPECT_EQ(testing::Get32(Linear(testing::Noise(1600, 1)).bytes, 42), 5880u);
}

TEST(Resample4844Linear, OldHeaderFormGetsItsSizesAt40And4) {
  const PassRun run = Linear(testing::Noise(2000, 4), 2);
  ASSERT_TRUE(run.ok);
  EXPECT_EQ(run.bytes.size(), 44u + 2940 * 4);
  EXPECT_EQ(testing::Get32(run.bytes, 40), 2940u * 4);
  EXPECT_EQ(testing::Get32(run.bytes, 4), 2940u * 4 + 36);
  EXPECT_EQ(run.samples, Model(testing::Noise(2000, 4)));
}

TEST(Resample4844Linear, FactorSlightlyBelowOneOver147TruncatesThirteenToTwelve) {
  // Output frame 1 lies between input frames 1 and 2 at 13/147.
  for (int e : {147, -147}) {
    const auto in = testing::Frames(1600, [e](std::size_t i) { return std::pair{i == 2 ? e : 0, i == 2 ? -e : 0}; });
    const PassRun run = Linear(in);
    ASSERT_TRUE(run.ok);
    EXPECT_EQ(run.samples[2], e > 0 ? 12 : -12);
    EXPECT_EQ(run.samples[3], e > 0 ? -12 : 12);
  }
}

TEST(Resample4844Linear, EveryGroupStartsOnItsFirstInputFrameAndTheEndFadesToSilence) {
  const auto in = testing::Noise(4000, 11);
  const PassRun run = Linear(in);
  ASSERT_TRUE(run.ok);
  EXPECT_EQ(run.samples, Model(in));
  for (std::size_t g = 0; g < 25; ++g) {
    EXPECT_EQ(run.samples[g * 294], in[g * 320]);
    EXPECT_EQ(run.samples[g * 294 + 1], in[g * 320 + 1]);
  }
  // Past the last input frame (4000 of 4800) everything is silence.
  for (std::size_t i = 4000 * 147 / 160 * 2 + 4; i < run.samples.size(); ++i) ASSERT_EQ(run.samples[i], 0) << i;
}

}  // namespace
}  // namespace mivo
