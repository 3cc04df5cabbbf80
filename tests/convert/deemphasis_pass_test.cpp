// De-emphasis: the filter's coefficients and response, the DC removal and
// scaling, substitution, the kept original, progress and short tracks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>

#include "convert/sample_passes.h"
#include "track_files.h"

namespace mivo {
namespace {

using testing::RecordingProgress;
using testing::TempFolder;

// The pass written out directly from its definition, on a whole track in
// memory, as an independent account of every output sample.
std::vector<std::int16_t> Model(const std::vector<std::int16_t>& in, double fs, double lim = 0.0,
                                double limSet = 0.0) {
  const double K = std::tan(10000.0 / fs);
  const double a1 = (1 - K) / (1 + K), g = 0.7000000000000001 * K / (1 + K);
  const double b0 = g + 0.3, b1 = g - 0.3 * a1;
  const std::size_t frames = in.size() / 2;
  auto x = [&](std::size_t f, int ch) {
    double v = in[2 * f + ch];
    if (lim != 0.0) v = v < -lim ? -limSet : (v >= lim ? limSet : v);
    return v;
  };
  double mean[2], gain = 0.0;
  double v = 0.0;
  for (int ch = 0; ch < 2; ++ch) {
    long long sum = 0;
    double x1 = x(0, ch), y1 = x1, hi = 0, lo = 0;
    for (std::size_t f = 0; f < frames; ++f) {
      sum += static_cast<long long>(x(f, ch));
      const double y = b1 * x1 + b0 * x(f, ch) + a1 * y1;
      x1 = x(f, ch);
      y1 = y;
      if (f == 0) hi = lo = y;
      hi = std::max(hi, y);
      lo = std::min(lo, y);
    }
    mean[ch] = static_cast<double>(sum) / static_cast<double>(frames);
    v = std::max({v, std::fabs(hi - mean[ch]), std::fabs(lo - mean[ch])});
  }
  gain = v >= 100 ? 32767 / v : 1.0;
  std::vector<std::int16_t> out(in.size());
  for (int ch = 0; ch < 2; ++ch) {
    double x1 = x(0, ch) - mean[ch], y1 = x1;
    for (std::size_t f = 0; f < frames; ++f) {
      const double xf = x(f, ch) - mean[ch];
      const double y = b1 * x1 + b0 * xf + a1 * y1;
      x1 = xf;
      y1 = y;
      out[2 * f + ch] = static_cast<std::int16_t>(std::clamp(std::floor(y * gain + 0.5), -32767.0, 32767.0));
    }
  }
  return out;
}

struct PassRun {
  bool ok = false;
  std::vector<std::int16_t> samples;
  std::string bytes;
  RecordingProgress progress;
};

PassRun DeEmphasis(const std::vector<std::int16_t>& in, DeEmphasisParams p, int shortening = 0) {
  TempFolder dir;
  const std::string track = dir.PathOf("music001.wav");
  testing::WriteBytes(track, testing::TrackBytes(in, {shortening}));
  PassRun run;
  run.ok = DeEmphasisWav(track, p, PassContext{run.progress, shortening});
  run.bytes = testing::ReadBytes(track);
  run.samples = testing::SamplesOf(run.bytes, shortening);
  EXPECT_FALSE(std::filesystem::exists(track + ".tmp"));
  return run;
}

TEST(DeEmphasisCoefficients, MatchTheCurveAt44100And48000) {
  const DeEmphasisCoefficients c44 = DeEmphasisCoefficientsFor(44100);
  EXPECT_NEAR(c44.a1, 0.6250576825, 1e-10);
  EXPECT_NEAR(c44.b0, 0.4312298111, 1e-10);
  EXPECT_NEAR(c44.b1, -0.0562874936, 1e-10);
  const DeEmphasisCoefficients c48 = DeEmphasisCoefficientsFor(48000);
  EXPECT_NEAR(c48.a1, 0.6509814095, 1e-10);
  EXPECT_NEAR(c48.b0, 0.4221565067, 1e-10);
  EXPECT_NEAR(c48.b1, -0.0731379162, 1e-10);
  for (const auto& c : {c44, c48}) {
    EXPECT_NEAR((c.b0 + c.b1) / (1 - c.a1), 1.0, 1e-12);  // gain 1 at DC
    EXPECT_NEAR((c.b0 - c.b1) / (1 + c.a1), 0.3, 1e-12);  // 15/50 at the top
  }
  EXPECT_TRUE(DeEmphasisRateSupported(8000));
  EXPECT_FALSE(DeEmphasisRateSupported(6000));  // tan beyond a quarter turn
  EXPECT_FALSE(DeEmphasisRateSupported(0));
}

TEST(DeEmphasisWav, FullScaleSquareWaveReaches32767AndNever32768) {
  const auto square = testing::Frames(20000, [](std::size_t i) {
    const int v = (i / 50) % 2 ? -32768 : 32767;
    return std::pair{v, -v - 1};
  });
  const PassRun run = DeEmphasis(square, {44100});
  ASSERT_TRUE(run.ok);
  ASSERT_EQ(run.samples.size(), square.size());
  int peak = 0;
  for (std::int16_t s : run.samples) {
    ASSERT_NE(s, -32768);
    peak = std::max(peak, std::abs(static_cast<int>(s)));
  }
  EXPECT_EQ(peak, 32767);
  EXPECT_EQ(run.samples, Model(square, 44100));
  EXPECT_EQ(run.progress.labels, std::vector<std::string>{"ﾃﾞｨｴﾝﾌｧｼｽ"});
}

TEST(DeEmphasisWav, EverySampleAsDefinedInBothHeaderFormsAndAcrossBlocks) {
  // 16384 frames are one block exactly; 16385 add a block of one frame.
  for (int shortening : {0, 2}) {
    for (std::size_t frames : {std::size_t{16384}, std::size_t{16385}, std::size_t{40000}}) {
      const auto noise = testing::Noise(frames, static_cast<std::uint32_t>(frames));
      const PassRun run = DeEmphasis(noise, {48000}, shortening);
      ASSERT_TRUE(run.ok);
      EXPECT_EQ(run.samples, Model(noise, 48000)) << frames << " frames, form " << shortening;
      EXPECT_EQ(run.bytes.substr(0, 46 - shortening), testing::TrackBytes(noise, {shortening}).substr(0, 46 - shortening));
    }
  }
}

TEST(DeEmphasisWav, SubstitutesSamplesAtTheLimitBeforeFiltering) {
  // Limit 32767 → 40000: 32767 and -32768 are replaced, -32767 is not.
  auto in = testing::Frames(3000, [](std::size_t i) {
    const int v[] = {32767, -32768, -32767, 1200};
    return std::pair{v[i % 4], v[(i + 1) % 4]};
  });
  const PassRun run = DeEmphasis(in, {44100, 32767, 40000});
  ASSERT_TRUE(run.ok);
  EXPECT_EQ(run.samples, Model(in, 44100, 32767, 40000));
  EXPECT_NE(run.samples, Model(in, 44100));
}

TEST(DeEmphasisWav, NearSilenceIsWrittenFilteredAndDcCorrectedWithoutAmplification) {
  // A DC of 1000 with a ±20 square: peak about the mean below 100.
  const auto quiet = testing::Frames(10000, [](std::size_t i) {
    const int v = 1000 + ((i / 20) % 2 ? 20 : -20);
    return std::pair{v, 1000};
  });
  const PassRun run = DeEmphasis(quiet, {44100});
  ASSERT_TRUE(run.ok);
  ASSERT_EQ(run.samples.size(), quiet.size());
  int peakL = 0, peakR = 0;
  for (std::size_t i = 0; i < run.samples.size(); i += 2) {
    peakL = std::max(peakL, std::abs(static_cast<int>(run.samples[i])));
    peakR = std::max(peakR, std::abs(static_cast<int>(run.samples[i + 1])));
  }
  EXPECT_GT(peakL, 5);
  EXPECT_LE(peakL, 21);
  EXPECT_EQ(peakR, 0);  // a pure DC channel becomes silence
  EXPECT_EQ(run.samples, Model(quiet, 44100));
}

TEST(DeEmphasisWav, KeepsTheUnprocessedTrackUnderItsONameWhenAsked) {
  TempFolder dir;
  const std::string track = dir.PathOf("music001.wav");
  const std::string keep = dir.PathOf("music001o.wav");
  const auto noise = testing::Noise(5000, 3);
  const std::string original = testing::TrackBytes(noise);
  testing::WriteBytes(track, original);
  testing::WriteBytes(keep, "an older kept copy");
  RecordingProgress progress;
  ASSERT_TRUE(DeEmphasisWav(track, {44100, 0, 0, true}, PassContext{progress}));
  EXPECT_EQ(testing::ReadBytes(keep), original);
  EXPECT_EQ(testing::SamplesOf(testing::ReadBytes(track), 0), Model(noise, 44100));
  EXPECT_EQ(DeEmphasisKeepName("/rec/music001.wav"), "/rec/music001o.wav");
  EXPECT_EQ(DeEmphasisKeepName("/rec.d/track"), "/rec.d/tracko.wav");
}

TEST(DeEmphasisWav, AnalysisFillsAQuarterOfTheStageAndOutputTheRest) {
  const PassRun run = DeEmphasis(testing::Noise(100000, 5), {48000});
  ASSERT_TRUE(run.ok);
  EXPECT_EQ(run.progress.stages, std::vector<std::int64_t>{40});
  const auto& p = run.progress.positions;
  ASSERT_FALSE(p.empty());
  EXPECT_TRUE(std::is_sorted(p.begin(), p.end()));
  EXPECT_NE(std::find(p.begin(), p.end(), 10), p.end());  // 25 % at the end of the analysis
  EXPECT_EQ(p.back(), 40);
}

TEST(DeEmphasisWav, RefusesWhatItCannotFilterAndLeavesTheTrack) {
  TempFolder dir;
  const std::string track = dir.PathOf("t.wav");
  std::string bytes = testing::TrackBytes(testing::Noise(1000, 1));
  testing::WriteBytes(track, bytes);
  RecordingProgress progress;
  EXPECT_FALSE(DeEmphasisWav(track, {6000}, PassContext{progress}));
  // A header that claims more samples than the file holds.
  testing::Put32(bytes, 42, 8000);
  testing::WriteBytes(track, bytes);
  EXPECT_FALSE(DeEmphasisWav(track, {44100}, PassContext{progress}));
  EXPECT_EQ(testing::ReadBytes(track), bytes);
  EXPECT_FALSE(std::filesystem::exists(track + ".tmp"));
}

}  // namespace
}  // namespace mivo
