// Normalization and DC offset against values worked out by hand.
#include <gtest/gtest.h>

#include <filesystem>
#include <limits>

#include "convert/sample_passes.h"
#include "track_files.h"

namespace mivo {
namespace {

using testing::RecordingProgress;
using testing::TempFolder;

struct PassRun {
  bool ok = false;
  std::vector<std::int16_t> samples;
  std::string bytes;
  RecordingProgress progress;
};

PassRun Normalize(const std::vector<std::int16_t>& in, std::int32_t level, std::int32_t dcL, std::int32_t dcR,
              int shortening = 0) {
  TempFolder dir;
  const std::string track = dir.PathOf("music001.wav");
  testing::WriteBytes(track, testing::TrackBytes(in, {shortening}));
  PassRun run;
  const PassContext ctx{run.progress, shortening};
  run.ok = NormalizeWav(track, level, dcL, dcR, ctx);
  run.bytes = testing::ReadBytes(track);
  run.samples = testing::SamplesOf(run.bytes, shortening);
  EXPECT_FALSE(std::filesystem::exists(track + ".tmp"));
  return run;
}

TEST(NormalizeWav, ScalesTheLevelToFullScaleRoundingHalfAwayFromZero) {
  // L = 16384, no offset: (100 × 32767 + 8192) / 16384 = 200.
  const PassRun run = Normalize({100, -1, 20000, -20000, 0, 1}, 16384, 0, 0);
  ASSERT_TRUE(run.ok);
  EXPECT_EQ(run.samples, (std::vector<std::int16_t>{200, -2, 32767, -32768, 0, 2}));
  EXPECT_EQ(run.progress.labels, std::vector<std::string>{"正規化"});

  // An odd level halves by truncation: L = 3 adds h = 1, so
  // (±1 × 32767 ± 1) / 3 = ±10922 (a rounded-up h of 2 would give ±10923).
  EXPECT_EQ(Normalize({1, -1}, 3, 0, 0).samples, (std::vector<std::int16_t>{10922, -10922}));
}

TEST(NormalizeWav, FullScaleLevelWithoutOffsetKeepsEverySample) {
  const auto noise = testing::Noise(5000, 7);
  for (int shortening : {0, 2}) {
    TempFolder dir;
    const std::string track = dir.PathOf("t.wav");
    const std::string before = testing::TrackBytes(noise, {shortening});
    testing::WriteBytes(track, before);
    RecordingProgress progress;
    ASSERT_TRUE(NormalizeWav(track, 32767, 0, 0, PassContext{progress, shortening}));
    EXPECT_EQ(testing::ReadBytes(track), before) << "header form " << shortening;
  }
}

TEST(NormalizeWav, RemovesEachChannelsOwnOffset) {
  // Left offset 10, right offset -5, L = 16384.
  const PassRun run = Normalize({10, -5, 9, -4, 11, -6}, 16384, 10, -5);
  ASSERT_TRUE(run.ok);
  // 10 - 10 = 0; 9 - 10 = -1 → (-32767 - 8192) / 16384 = -2; 11 - 10 = 1 → 2.
  // Right: -5 + 5 = 0; -4 + 5 = 1 → 2; -6 + 5 = -1 → -2.
  EXPECT_EQ(run.samples, (std::vector<std::int16_t>{0, 0, -2, 2, 2, -2}));
}

TEST(NormalizeWav, LevelZeroLeavesSamplesUnscaledButRemovesTheOffset) {
  const PassRun run = Normalize({100, -100, 32767, -32768}, 0, 10, 0);
  ASSERT_TRUE(run.ok);
  EXPECT_EQ(run.samples, (std::vector<std::int16_t>{90, -100, 32757, -32768}));
}

TEST(NormalizeWav, OffsetsBeyondSixteenBitsNeverOverflow) {
  // x = 5 - 100000 = -99995: x × 32767 leaves 32 bits; the result clips.
  // x = 0 + 100000: full positive scale, never a wrapped negative value.
  PassRun run = Normalize({5, 0, -32768, 32767}, 32767, 100000, -100000);
  ASSERT_TRUE(run.ok);
  EXPECT_EQ(run.samples, (std::vector<std::int16_t>{-32768, 32767, -32768, 32767}));
  run = Normalize({0, 0}, 1, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max());
  ASSERT_TRUE(run.ok);
  EXPECT_EQ(run.samples, (std::vector<std::int16_t>{32767, -32768}));
}

TEST(NormalizeWav, BothHeaderFormsAndBlockBoundaries) {
  // 32768 frames fill exactly one block of 65536 samples; one more frame
  // makes a short second block. The header is copied as it is.
  for (int shortening : {0, 2}) {
    for (std::size_t frames : {std::size_t{32768}, std::size_t{32769}, std::size_t{3}}) {
      const auto in = testing::Frames(frames, [](std::size_t i) {
        return std::pair{static_cast<int>(i % 200) - 100, -static_cast<int>(i % 50)};
      });
      const PassRun run = Normalize(in, 16384, 0, 0, shortening);
      ASSERT_TRUE(run.ok);
      const std::string header = testing::TrackBytes(in, {shortening}).substr(0, 46 - shortening);
      EXPECT_EQ(run.bytes.substr(0, header.size()), header);
      ASSERT_EQ(run.samples.size(), in.size());
      for (std::size_t i = 0; i < in.size(); ++i) {
        const int x = in[i];
        const int y = x > 0 ? (x * 32767 + 8192) / 16384 : (x * 32767 - 8192) / 16384;
        ASSERT_EQ(run.samples[i], y) << "sample " << i;
      }
      // Stage: data size >> 17 units, one per block.
      const std::int64_t blocks = static_cast<std::int64_t>((frames * 4 + 131071) / 131072);
      EXPECT_EQ(run.progress.stages, std::vector<std::int64_t>{static_cast<std::int64_t>(frames * 4 >> 17)});
      EXPECT_EQ(run.progress.positions.back(), blocks);
    }
  }
}

}  // namespace
}  // namespace mivo
