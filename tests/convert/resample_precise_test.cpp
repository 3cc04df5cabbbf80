// The high-precision method: Bessel function, filter, lengths, refusals, the
// ends of the input, clipping, and the same bytes from every kernel.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>

#include "convert/resample_precise.h"
#include "support/no_new_threads.h"
#include "track_files.h"

namespace mivo {
namespace {

using testing::RecordingProgress;
using testing::TempFolder;

struct PassRun {
  bool ok = false;
  std::string before;
  std::string bytes;
  std::vector<std::int16_t> samples;
  RecordingProgress progress;
};

struct Lines final : IStepLog {
  void Note(std::string_view line) override { notes.emplace_back(line); }
  void Detail(std::string_view line) override { details.emplace_back(line); }
  std::vector<std::string> notes, details;
};

PassRun Precise(const std::vector<std::int16_t>& in, testing::TrackSpec spec, int precision,
            PreciseKernel kernel = PreciseKernel::Auto, int taps = 0, int threads = 1,
            PreciseTableCache* tables = nullptr, IStepLog* log = nullptr) {
  TempFolder dir;
  const std::string track = dir.PathOf("music001.wav");
  PassRun run;
  run.before = testing::TrackBytes(in, spec);
  testing::WriteBytes(track, run.before);
  PassContext ctx{run.progress, spec.shortening};
  ctx.threads = threads;
  ctx.preciseTables = tables;
  ctx.log = log;
  run.ok = Resample4844Precise(track, precision, 0.0, taps, 44100, ctx, kernel);
  run.bytes = testing::ReadBytes(track);
  run.samples = testing::SamplesOf(run.bytes, spec.shortening);
  EXPECT_FALSE(std::filesystem::exists(track + ".tmp"));
  return run;
}

// Output frame m from its definition: Σ x[i] h[|mD - iU|] over the input
// frames whose taps reach it, scaled by 255/256, limited, rounded half up.
std::int16_t ModelSample(const PreciseFilter& f, const std::vector<std::int16_t>& in, long long m, int ch) {
  const long long M = static_cast<long long>(in.size() / 2);
  double y = 0.0;
  for (long long i = (m * f.D - f.N) / f.U - 2; i <= (m * f.D + f.N) / f.U + 2; ++i) {
    const long long k = std::llabs(m * f.D - i * f.U);
    if (k > f.N) continue;
    const double x = (i >= 0 && i < M) ? in[2 * i + ch] : 0;
    y += x * f.h[k];
  }
  return static_cast<std::int16_t>(std::floor(std::clamp(0.99609375 * y, -32768.0, 32767.0) + 0.5));
}

TEST(BesselI0, PowerSeriesValues) {
  EXPECT_EQ(BesselI0(0.0), 1.0);
  EXPECT_NEAR(BesselI0(10.0), 2815.716628466254, 1e-6);
  EXPECT_NEAR(BesselI0(1.0), 1.2660658777520082, 1e-12);
}

TEST(PreciseFilter, TableAndOverrides) {
  PreciseFilter f;
  ASSERT_TRUE(MakePreciseFilter(48000, 1, 0.0, 0, f));
  EXPECT_EQ(f.U, 147);
  EXPECT_EQ(f.D, 160);
  EXPECT_EQ(f.N, 12287);
  EXPECT_DOUBLE_EQ(f.h[0], 2.0 * 147 * 21200 / 7056000.0);
  EXPECT_NEAR(f.h[12287], 0.0, 1e-6);  // the window's end
  ASSERT_TRUE(MakePreciseFilter(32000, 3, 15000.0, 100, f));
  EXPECT_EQ(f.U, 441);
  EXPECT_EQ(f.N, 100);
  EXPECT_EQ(f.fc, 15000.0);
  EXPECT_FALSE(MakePreciseFilter(44100, 1, 0.0, 0, f));
  EXPECT_FALSE(MakePreciseFilter(48000, 4, 0.0, 0, f));
  EXPECT_FALSE(MakePreciseFilter(48000, 1, 0.0, 65536, f));
}

TEST(PreciseFilter, EveryPhaseOfTheMidFilterPassesDcWithinOnePartInAMillion) {
  PreciseFilter f;
  ASSERT_TRUE(MakePreciseFilter(48000, 1, 0.0, 0, f));
  const auto dc = testing::Frames(3000, [](std::size_t) { return std::pair{10000, -20000}; });
  std::vector<double> yL(2000), yR(2000);
  for (PreciseKernel k : {PreciseKernel::Reference, PreciseKernel::Auto}) {
    PreciseFilterValues(f, k, dc.data(), 3000, 200, 2000, yL.data(), yR.data());
    for (std::size_t i = 0; i < yL.size(); ++i) {
      ASSERT_NEAR(yL[i] / 10000.0, 1.0, 1e-6) << "output " << 200 + i;
      ASSERT_NEAR(yR[i] / -20000.0, 1.0, 1e-6);
    }
  }
}

TEST(Resample4844Precise, OutputLengthIsTheCeilingOfMTimesUOverD) {
  struct Case {
    std::uint32_t rate;
    std::size_t frames;
    std::uint32_t out;
  };
  for (const Case c : {Case{48000, 160, 147}, Case{48000, 161, 148}, Case{32000, 320, 441}, Case{48000, 0, 0}}) {
    for (int shortening : {0, 2}) {
      const PassRun run = Precise(testing::Noise(c.frames, 2), {shortening, c.rate}, 0);
      ASSERT_TRUE(run.ok);
      EXPECT_EQ(run.samples.size(), c.out * 2u);
      EXPECT_EQ(testing::Get32(run.bytes, 42 - shortening), c.out * 4);
      EXPECT_EQ(testing::Get32(run.bytes, 4), c.out * 4 + 38 - shortening);
      EXPECT_EQ(testing::Get32(run.bytes, 24), 44100u);
      EXPECT_EQ(testing::Get32(run.bytes, 28), 176400u);
      EXPECT_EQ(run.progress.stages, std::vector<std::int64_t>{static_cast<std::int64_t>(c.frames)});
      if (c.frames) {
        EXPECT_EQ(run.progress.positions.back(), static_cast<std::int64_t>(c.frames));
      }
    }
  }
}

TEST(Resample4844Precise, RefusesOtherFormatsAndRatesLeavingTheTrack) {
  std::vector<testing::TrackSpec> refused = {
      {0, 44100}, {0, 96000}, {0, 48000, 1}, {0, 48000, 2, 8}, {0, 48000, 2, 16, 3},
  };
  for (const testing::TrackSpec& spec : refused) {
    const PassRun run = Precise(testing::Noise(500, 1), spec, 1);
    EXPECT_FALSE(run.ok) << spec.rate << " Hz, " << spec.channels << " ch, " << spec.bits << " bit";
    EXPECT_EQ(run.bytes, run.before);
  }
  // A byte rate that does not match the rest.
  TempFolder dir;
  const std::string track = dir.PathOf("t.wav");
  std::string bytes = testing::TrackBytes(testing::Noise(500, 1));
  testing::Put32(bytes, 28, 192001);
  testing::WriteBytes(track, bytes);
  RecordingProgress progress;
  EXPECT_FALSE(Resample4844Precise(track, 1, 0.0, 0, 44100, PassContext{progress}));
  EXPECT_FALSE(Resample4844Precise(track, 1, 0.0, 0, 48000, PassContext{progress}));
  EXPECT_EQ(testing::ReadBytes(track), bytes);
}

TEST(Resample4844Precise, TheLastOutputsUseTheRealLastInputFramesAtBlockEnds) {
  // 65536 frames end a block exactly; 65536 + 20 end within N div U (27)
  // frames after it.
  PreciseFilter f;
  ASSERT_TRUE(MakePreciseFilter(48000, 0, 0.0, 0, f));
  for (std::size_t frames : {std::size_t{65536}, std::size_t{65556}}) {
    const auto in = testing::Noise(frames, 13);
    const PassRun run = Precise(in, {0, 48000}, 0);
    ASSERT_TRUE(run.ok);
    const long long P = static_cast<long long>(run.samples.size() / 2);
    for (long long m : {0LL, 1LL, 60000LL, P - 30, P - 2, P - 1}) {
      EXPECT_EQ(run.samples[2 * m], ModelSample(f, in, m, 0)) << "frame " << m << " of " << frames;
      EXPECT_EQ(run.samples[2 * m + 1], ModelSample(f, in, m, 1));
    }
  }
}

TEST(Resample4844Precise, OvershootClipsAt32767InsteadOfWrapping) {
  // A full-scale square wave rings above full scale at each edge.
  const auto square = testing::Frames(4800, [](std::size_t i) {
    const int v = (i / 240) % 2 ? -32768 : 32767;
    return std::pair{v, v};
  });
  const PassRun run = Precise(square, {0, 48000}, 2);
  ASSERT_TRUE(run.ok);
  PreciseFilter f;
  ASSERT_TRUE(MakePreciseFilter(48000, 2, 0.0, 0, f));
  std::vector<double> yL(run.samples.size() / 2), yR(yL.size());
  PreciseFilterValues(f, PreciseKernel::Reference, square.data(), 4800, 0, static_cast<long long>(yL.size()),
                      yL.data(), yR.data());
  int clipped = 0;
  for (std::size_t m = 0; m < yL.size(); ++m) {
    if (0.99609375 * yL[m] > 32767.0) {
      ++clipped;
      ASSERT_EQ(run.samples[2 * m], 32767) << m;
    }
  }
  EXPECT_GT(clipped, 0);
}

// Every kernel the processor runs writes the bytes of the plain loop.
TEST(Resample4844Precise, EveryKernelGivesTheBytesOfThePlainSum) {
  std::vector<PreciseKernel> kernels;
  for (PreciseKernel k : {PreciseKernel::Lanes2, PreciseKernel::Lanes4, PreciseKernel::Lanes8,
                          PreciseKernel::Lanes4Fused}) {
    if (PreciseKernelSupported(k)) kernels.push_back(k);
  }
  struct Case {
    std::uint32_t rate;
    int precision;
    std::size_t frames;
    int shortening;
  };
  const Case cases[] = {{48000, 0, 70000, 0}, {48000, 1, 9000, 2}, {48000, 2, 9000, 0}, {48000, 3, 9000, 0},
                        {32000, 0, 9000, 2},  {32000, 1, 6000, 0}, {32000, 2, 6000, 0}, {32000, 3, 6000, 0}};
  for (const Case& c : cases) {
    // Loud noise, so that the scaled sums also clip.
    auto in = testing::Noise(c.frames, c.precision + c.rate);
    for (auto& s : in) s = static_cast<std::int16_t>(std::clamp(s * 2, -32768, 32767));
    const PassRun reference = Precise(in, {c.shortening, c.rate}, c.precision, PreciseKernel::Reference);
    ASSERT_TRUE(reference.ok);
    for (PreciseKernel k : kernels) {
      const PassRun run = Precise(in, {c.shortening, c.rate}, c.precision, k);
      ASSERT_TRUE(run.ok);
      EXPECT_TRUE(run.bytes == reference.bytes)
          << "kernel " << static_cast<int>(k) << ", " << c.rate << " Hz, precision " << c.precision;
    }
    PreciseFilter f;
    ASSERT_TRUE(MakePreciseFilter(c.rate, c.precision, 0.0, 0, f));
    EXPECT_EQ(reference.samples[200], ModelSample(f, in, 100, 0));

    // Before rounding too: every sum equals the plain one exactly (a zero
    // may differ in sign only, which == ignores); the fused kernel's do when
    // every sum is rechecked.
    const auto M = static_cast<long long>(c.frames);
    const long long count = std::min<long long>(PreciseOutputFrames(f, M), 5000);
    std::vector<double> pL(count), pR(count), yL(count), yR(count);
    PreciseFilterValues(f, PreciseKernel::Reference, in.data(), M, 0, count, pL.data(), pR.data());
    for (PreciseKernel k : kernels) {
      const double recheckAll = k == PreciseKernel::Lanes4Fused ? 1e9 : 0.0;
      PreciseFilterValues(f, k, in.data(), M, 0, count, yL.data(), yR.data(), recheckAll);
      long long differ = 0;
      for (long long m = 0; m < count; ++m) differ += (yL[m] != pL[m]) + (yR[m] != pR[m]);
      EXPECT_EQ(differ, 0) << "kernel " << static_cast<int>(k) << ", " << c.rate << " Hz, precision " << c.precision;
    }
  }
}

// The fused kernel sums again, the plain way, exactly the sums that lie
// within the recheck distance of a step of the output rounding, in both
// channels; the others keep their own value and round to the plain sample.
TEST(Resample4844Precise, TheFusedKernelRechecksTheSumsNearARoundingStep) {
  if (!PreciseKernelSupported(PreciseKernel::Lanes4Fused)) GTEST_SKIP() << "no FMA";
  const auto in = testing::Noise(20000, 77);
  PreciseFilter f;
  ASSERT_TRUE(MakePreciseFilter(48000, 3, 0.0, 0, f));
  const long long count = 15000;
  std::vector<double> pL(count), pR(count), yL(count), yR(count);
  PreciseFilterValues(f, PreciseKernel::Reference, in.data(), 20000, 100, count, pL.data(), pR.data());
  const double e = 0.01;  // about one sum in fifty
  PreciseFilterValues(f, PreciseKernel::Lanes4Fused, in.data(), 20000, 100, count, yL.data(), yR.data(), e);
  const auto sample = [](double y) { return std::floor(std::clamp(0.99609375 * y, -32768.0, 32767.0) + 0.5); };
  int rechecked[2] = {0, 0}, fused = 0;
  for (long long m = 0; m < count; ++m) {
    for (int ch = 0; ch < 2; ++ch) {
      const double y = ch == 0 ? yL[m] : yR[m], p = ch == 0 ? pL[m] : pR[m];
      ASSERT_EQ(sample(y), sample(p)) << m << ", channel " << ch;
      if (y == p && sample(p - e) != sample(p + e)) ++rechecked[ch];
      if (y != p) {
        ++fused;
        ASSERT_EQ(sample(y - e), sample(y + e)) << m << ", channel " << ch << ": not rechecked";
      }
    }
  }
  EXPECT_GT(rechecked[0], 50);
  EXPECT_GT(rechecked[1], 50);
  EXPECT_GT(fused, 0);  // the kernel does sum its own way
}

// Threads share the outputs of each step (four blocks of input): any count,
// over inputs whose steps end inside a block and a last step cut short,
// gives the plain loop's bytes.
TEST(Resample4844Precise, EveryThreadCountGivesTheBytesOfThePlainSum) {
  struct Case {
    std::uint32_t rate;
    int precision;
    std::size_t frames;
  };
  // 600001 frames: two full steps and a short one; 4 × 65536 + 7: a step
  // and a few frames; 70001: one short step.
  for (const Case c : {Case{48000, 0, 600001}, Case{48000, 1, 262151}, Case{32000, 0, 70001}}) {
    const auto in = testing::Noise(c.frames, static_cast<int>(c.frames));
    const PassRun reference = Precise(in, {0, c.rate}, c.precision, PreciseKernel::Reference);
    ASSERT_TRUE(reference.ok);
    PreciseTableCache tables;
    for (int threads : {2, 3, 5}) {
      Lines log;
      const PassRun run = Precise(in, {0, c.rate}, c.precision, PreciseKernel::Auto, 0, threads, &tables, &log);
      ASSERT_TRUE(run.ok);
      EXPECT_TRUE(run.bytes == reference.bytes) << c.rate << " Hz, precision " << c.precision << ", " << threads;
      // Progress stays whole: every input frame counted once, in order.
      EXPECT_EQ(run.progress.positions, reference.progress.positions);
      EXPECT_EQ(log.details, std::vector<std::string>{"48->44 high precision " + std::to_string(c.precision) + ": " +
                                                      PreciseKernelName(PreciseKernel::Auto) + ", " +
                                                      std::to_string(threads) + " threads"});
    }
    EXPECT_EQ(tables.Builds(), 1);  // one table for the three runs
  }
}

TEST(Resample4844Precise, WithoutThreadsFromTheSystemThePassRunsOnItsOwnThread) {
  const auto in = testing::Noise(70000, 5);
  const PassRun reference = Precise(in, {0, 48000}, 0, PreciseKernel::Reference);
  testing::NoNewThreads refuse;
  ASSERT_TRUE(refuse.Ok());
  Lines log;
  const PassRun run = Precise(in, {0, 48000}, 0, PreciseKernel::Auto, 0, 4, nullptr, &log);
  ASSERT_TRUE(run.ok);
  EXPECT_TRUE(run.bytes == reference.bytes);
  ASSERT_EQ(log.details.size(), 1u);
  EXPECT_NE(log.details[0].find(", 1 thread"), std::string::npos) << log.details[0];
}

TEST(PreciseTableCache, KeepsATableByRateCutoffLengthAndKernel) {
  PreciseTableCache tables;
  const PreciseKernel k = BestPreciseKernel();
  const auto a = tables.Get(48000, 1, 0.0, 0, k);
  ASSERT_TRUE(a);
  EXPECT_EQ(tables.Get(48000, 1, 0.0, 0, k), a);
  // The same cutoff and length named explicitly are the same filter.
  EXPECT_EQ(tables.Get(48000, 0, 21200.0, 12287, k), a);
  EXPECT_EQ(tables.Builds(), 1);
  EXPECT_NE(tables.Get(32000, 1, 0.0, 0, k), a);
  EXPECT_NE(tables.Get(48000, 1, 0.0, 0, PreciseKernel::Reference), a);
  EXPECT_EQ(tables.Builds(), 3);
  EXPECT_FALSE(tables.Get(44100, 1, 0.0, 0, k));
  EXPECT_FALSE(tables.Get(48000, 1, 0.0, 0, PreciseKernel::Auto));
  // Only the tables used last are kept: the first one, left alone, goes.
  for (int p : {0, 2, 3}) ASSERT_TRUE(tables.Get(48000, p, 0.0, 0, k));
  ASSERT_TRUE(tables.Get(32000, 0, 0.0, 0, k));
  const int builds = tables.Builds();
  ASSERT_TRUE(tables.Get(48000, 1, 0.0, 0, k));
  EXPECT_EQ(tables.Builds(), builds + 1);
}

}  // namespace
}  // namespace mivo
