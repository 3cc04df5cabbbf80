// The demo signal: music-like tones separated by exact digital silence, the
// same on every run.
#include <algorithm>
#include <cstdlib>
#include <vector>

#include <gtest/gtest.h>

#include "platform/wavein/demo_signal.h"

namespace mivo::platform {
namespace {

std::vector<std::int16_t> Render(const DemoSignal& s, std::uint64_t first, std::size_t frames,
                                 std::uint16_t channels) {
  std::vector<std::int16_t> out(frames * channels);
  s.Render(first, reinterpret_cast<char*>(out.data()), frames);
  return out;
}

TEST(DemoSignalTest, TonesOfAFewSecondsWithTwoSecondsOfExactZerosBetween) {
  const DemoSignal s(44100, 2);
  const auto& tones = s.Tones();
  ASSERT_GE(tones.size(), 3u);
  const std::vector<std::int16_t> cycle = Render(s, 0, s.CycleFrames(), 2);
  std::uint64_t silenceStart = 0;
  for (std::size_t k = 0; k < tones.size(); ++k) {
    const double seconds = static_cast<double>(tones[k].end - tones[k].begin) / 44100;
    EXPECT_GE(seconds, 2.0);
    EXPECT_LE(seconds, 5.0);
    // Between this tone and the last one (or the start): exact zeros only.
    for (std::uint64_t f = silenceStart; f < tones[k].begin; ++f) {
      ASSERT_EQ(cycle[f * 2], 0) << "frame " << f;
      ASSERT_EQ(cycle[f * 2 + 1], 0) << "frame " << f;
    }
    if (k > 0) {
      EXPECT_NEAR(static_cast<double>(tones[k].begin - silenceStart) / 44100, 2.0, 0.001);
    }
    silenceStart = tones[k].end;
  }
  for (std::uint64_t f = silenceStart; f < s.CycleFrames(); ++f) ASSERT_EQ(cycle[f * 2], 0);
  EXPECT_NEAR(static_cast<double>(s.CycleFrames() - silenceStart) / 44100, 2.0, 0.001);
}

TEST(DemoSignalTest, NoBufferInsideATonesIsSilent) {
  // The level of a 1024-frame buffer (largest minus smallest sample) is
  // above 0 everywhere in a tone, so threshold 0 finds only the gaps.
  const DemoSignal s(44100, 2);
  const std::vector<std::int16_t> cycle = Render(s, 0, s.CycleFrames(), 2);
  for (const auto& t : s.Tones()) {
    for (std::uint64_t b = t.begin; b + 1024 <= t.end; b += 512) {
      const auto first = cycle.begin() + static_cast<std::ptrdiff_t>(b * 2);
      const auto [lo, hi] = std::minmax_element(first, first + 2048);
      ASSERT_GT(*hi - *lo, 100) << "frame " << b;
    }
  }
}

TEST(DemoSignalTest, IsStereoWithChannelsThatDiffer) {
  const DemoSignal s(44100, 2);
  const std::vector<std::int16_t> tone = Render(s, 4410, 44100, 2);
  std::size_t differ = 0;
  int peak = 0;
  for (std::size_t f = 0; f < 44100; ++f) {
    differ += tone[f * 2] != tone[f * 2 + 1];
    peak = std::max({peak, std::abs(tone[f * 2]), std::abs(tone[f * 2 + 1])});
  }
  EXPECT_GT(differ, 40000u);
  EXPECT_GT(peak, 8000);   // loud enough to see on the meters
  EXPECT_LT(peak, 32767);  // never clipped
}

TEST(DemoSignalTest, IsTheSameHoweverItIsCut) {
  const DemoSignal a(48000, 2);
  const DemoSignal b(48000, 2);
  const std::vector<std::int16_t> whole = Render(a, 1000, 30000, 2);
  std::vector<std::int16_t> pieces;
  for (std::uint64_t at = 1000; at < 31000; at += 500) {
    const auto part = Render(b, at, 500, 2);
    pieces.insert(pieces.end(), part.begin(), part.end());
  }
  EXPECT_EQ(whole, pieces);
  // And it repeats with its cycle.
  EXPECT_EQ(Render(a, a.CycleFrames() + 1000, 30000, 2), whole);
}

TEST(DemoSignalTest, MonoIsTheMeanOfTheChannels) {
  const DemoSignal stereo(44100, 2);
  const DemoSignal mono(44100, 1);
  const auto s = Render(stereo, 20000, 1000, 2);
  const auto m = Render(mono, 20000, 1000, 1);
  for (std::size_t f = 0; f < 1000; ++f) {
    EXPECT_NEAR(m[f], (s[f * 2] + s[f * 2 + 1]) / 2.0, 1.0) << f;
  }
}

}  // namespace
}  // namespace mivo::platform
