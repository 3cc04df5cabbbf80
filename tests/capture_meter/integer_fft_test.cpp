// The spectrum's integer FFT against a double-precision DFT, and exact
// results where the truncations leave nothing to chance.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <numbers>
#include <random>
#include <vector>

#include "capture/level_meter.h"

namespace mivo {
namespace {

TEST(IntegerFft, TablesTruncateTowardZero) {
  const CIntegerFft fft;
  EXPECT_EQ(fft.Cosine(0), 1024);
  EXPECT_EQ(fft.Sine(0), 0);
  EXPECT_EQ(fft.Sine(1), -6);      // -6.28...; flooring would give -7
  EXPECT_EQ(fft.Cosine(1), 1023);  // 1023.98...
  EXPECT_EQ(fft.Sine(64), -391);   // -391.87...
  EXPECT_EQ(fft.Cosine(64), 946);
  EXPECT_EQ(fft.Sine(128), -724);
  EXPECT_EQ(fft.Cosine(128), 724);
  EXPECT_EQ(fft.Sine(256), -1024);
  EXPECT_EQ(fft.Cosine(256), 0);
  for (int i = 1; i < 512; ++i) {
    // Truncation is symmetric about zero, so the mirrored entries match exactly.
    EXPECT_EQ(fft.Cosine(512 - i), -fft.Cosine(i)) << i;
    EXPECT_EQ(fft.Sine(512 - i), fft.Sine(i)) << i;
  }
}

TEST(IntegerFft, ImpulseAndConstantGiveExactSpectra) {
  const CIntegerFft fft;
  FftBuffer impulse;
  impulse.re[0] = 1024;
  fft.Transform(impulse);
  FftBuffer constant;
  constant.re.fill(-1);
  fft.Transform(constant);
  for (int k = 0; k < kFftSize; ++k) {
    const auto n = static_cast<std::size_t>(k);
    EXPECT_EQ(impulse.re[n], 1) << k;
    EXPECT_EQ(impulse.im[n], 0) << k;
    EXPECT_EQ(constant.re[n], k == 0 ? -1 : 0) << k;
    EXPECT_EQ(constant.im[n], 0) << k;
  }
}

TEST(IntegerFft, TruncatesEachProductOnItsOwn) {
  // 725 + 724i at index 1 reaches the last stage untouched; for bin 128 the
  // twiddle is (724, -724): 725 * 724 / 1024 = 512 and 724 * 724 / 1024 = 511
  // add to 1023, below the 1024 that the final division needs, whereas one
  // division of the sum (and the exact value, 1.0005) would give 1.
  const CIntegerFft fft;
  FftBuffer data;
  data.re[1] = 725;
  data.im[1] = 724;
  fft.Transform(data);
  EXPECT_EQ(data.re[128], 0);
  EXPECT_EQ(data.im[128], 0);
  EXPECT_EQ(data.re[0], 0);  // 725 / 1024
}

// Largest distance between the integer transform and the exact DFT / 1024:
// below 2 per component and stage of truncated products, doubled by each
// later stage (at most 2.83 after the final division), plus 1 per component
// for that division, plus the table error: each path multiplies by at most
// nine truncated twiddles, each within sqrt(2)/1024 of the exact one.
double Tolerance(const FftBuffer& in) {
  double sumAbs = 0;
  for (int n = 0; n < kFftSize; ++n) {
    sumAbs += std::abs(std::complex<double>(in.re[static_cast<std::size_t>(n)], in.im[static_cast<std::size_t>(n)]));
  }
  return 2.0 * std::numbers::sqrt2 * 1023.0 / 1024.0 + std::numbers::sqrt2 +
         sumAbs * 9.0 * std::numbers::sqrt2 / (1024.0 * 1024.0);
}

TEST(IntegerFft, MatchesADoublePrecisionDftWithinTheTruncations) {
  const CIntegerFft fft;
  std::mt19937 rng(20240611);
  const auto sample = [&rng] { return static_cast<std::int32_t>(rng() % 2048) - 1024; };
  for (const bool complexInput : {false, true}) {
    FftBuffer in;
    for (int n = 0; n < kFftSize; ++n) {
      in.re[static_cast<std::size_t>(n)] = sample();
      in.im[static_cast<std::size_t>(n)] = complexInput ? sample() : 0;
    }
    FftBuffer out = in;
    fft.Transform(out);
    FftBuffer negated;
    for (int n = 0; n < kFftSize; ++n) {
      negated.re[static_cast<std::size_t>(n)] = -in.re[static_cast<std::size_t>(n)];
      negated.im[static_cast<std::size_t>(n)] = -in.im[static_cast<std::size_t>(n)];
    }
    fft.Transform(negated);

    const double tolerance = Tolerance(in);
    double worst = 0;
    for (int k = 0; k < kFftSize; ++k) {
      std::complex<double> exact;
      for (int n = 0; n < kFftSize; ++n) {
        const double angle = -2.0 * std::numbers::pi * static_cast<double>((k * n) % kFftSize) / kFftSize;
        exact += std::complex<double>(in.re[static_cast<std::size_t>(n)], in.im[static_cast<std::size_t>(n)]) *
                 std::polar(1.0, angle);
      }
      exact /= 1024.0;
      const auto kk = static_cast<std::size_t>(k);
      const double error = std::abs(std::complex<double>(out.re[kk], out.im[kk]) - exact);
      worst = std::max(worst, error);
      EXPECT_LE(error, tolerance) << "bin " << k << " complex " << complexInput;
      // Division truncating toward zero treats a negated input alike.
      EXPECT_EQ(negated.re[kk], -out.re[kk]) << k;
      EXPECT_EQ(negated.im[kk], -out.im[kk]) << k;
    }
    RecordProperty(complexInput ? "worst_complex" : "worst_real", std::to_string(worst));
  }
}

}  // namespace
}  // namespace mivo
