// 48000 or 32000 Hz to 44100 Hz by a Kaiser-windowed sinc polyphase filter.
//
// Output frame m lies at m × D on the intermediate grid, input frame i at
// i × U; output m sums x[i] × h[|mD - iU|] over the input frames i whose
// taps reach it, in order of rising i. The plain loop does exactly that.
// The lane engine gives the same bytes faster. Outputs U apart share their
// taps (a round: U outputs, D input frames). Each round is cut into groups
// of W consecutive outputs starting at 0, W, 2W, ... (the last group has
// fewer); for each group start the engine precomputes the taps of its W
// outputs side by side, each twice, once for each channel (zero where an
// output's taps have not begun or have ended), so that one input frame
// (left, right), repeated across a register, times two vectors of taps
// advances W outputs of both channels at once while each lane adds its own
// products in the plain order. One row of taps serves the same group in
// several consecutive rounds, whose inputs overlap, so the inputs stay in
// the nearest cache. Adding a zero product changes a sum at most in the
// sign of a zero, which rounds to the same sample. The build keeps a × b + c
// as two roundings (no fused multiply-add) except in the fused kernel.
//
// The fused kernel adds each product with one rounding (FMA), which spares
// the processor half its operations. Its sum of n products differs from
// the plain one by at most 2·γn·Σ|x·h| (γn = n·u / (1 - n·u), u = 2^-53:
// the error bound of a dot product in any order, with or without fused
// operations, taken twice), where |x| ≤ 32768. The output sample is a
// non-decreasing function of the sum, so when the samples of sum - e and
// sum + e agree, for e at least that bound, the plain sum gives that sample
// too; the few sums where they do not are summed again the plain way.
//
// Threads share the outputs of each block: every output is still summed by
// the same code in the same order, whichever thread computes it, so the
// bytes do not depend on the number of threads.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include "convert/resample_precise.h"
#include "platform/sync/thread.h"
#include "platform/sync/work_crew.h"

namespace mivo {
namespace {

constexpr int kTargetRate = 44100;
constexpr std::int64_t kBlockFrames = 65536;
constexpr std::int64_t kRingFrames = 2 * kBlockFrames;
// Input frames per step of the threads: a few blocks, so that handing a
// step to the helpers and waiting for them costs little beside the sums.
constexpr std::int64_t kStepFrames = 4 * kBlockFrames;
constexpr double kOutputScale = 0.99609375;  // 255 / 256
constexpr int kMaxThreads = 64;

struct Mode {
  std::uint32_t inputRate;
  int U, D;
  double fc[4];
  int N[4];
};
constexpr Mode kModes[] = {
    {32000, 441, 320, {14500, 15100, 15540, 15680}, {12287, 24575, 49151, 65535}},
    {48000, 147, 160, {19400, 21200, 21400, 21600}, {4095, 12287, 24575, 32767}},
};

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}
std::int64_t CeilDiv(std::int64_t a, std::int64_t b) { return -FloorDiv(-a, b); }

// The output sample of a filtered value: scaled by 255/256, limited, then
// rounded half up (floor(out + 0.5)).
inline std::int16_t OutputSample(double y) {
  double out = kOutputScale * y;
  out = out > 32767.0 ? 32767.0 : (out < -32768.0 ? -32768.0 : out);
  const double v = out + 0.5;
  auto i = static_cast<std::int32_t>(v);  // toward zero
  i -= static_cast<double>(i) > v;        // toward minus infinity
  return static_cast<std::int16_t>(i < 32767 ? i : 32767);
}

// ---------------------------------------------------------------------------
// Lane kernels: K groups of W outputs, both channels, one table of taps.
// Six groups keep twelve sums in registers (of the sixteen SSE2 and AVX
// have), so that each row of taps loaded serves twelve products.

constexpr int kGroupsPerCall = 6;

// W doubles in one register (an attribute on an alias template would be
// dropped, so one explicit type per width).
template <int W>
struct LaneType;
template <>
struct LaneType<2> {
  typedef double type __attribute__((vector_size(16)));
};
template <>
struct LaneType<4> {
  typedef double type __attribute__((vector_size(32)));
};
template <>
struct LaneType<8> {
  typedef double type __attribute__((vector_size(64)));
};

struct KernelArgs {
  const double* taps;  // per tap: W outputs' taps, each twice
  int count;           // taps per lane
  const double* x[kGroupsPerCall];  // input frames as (left, right) pairs
  double* yL[kGroupsPerCall];  // `lanes` outputs each
  double* yR[kGroupsPerCall];
  int lanes;  // outputs of a group (W, fewer in a round's last group)
};

// The pair (p[0], p[1]) repeated across W doubles: written out, so that
// the compiler makes it one broadcasting load (vbroadcastf128 with AVX).
template <int W>
[[gnu::always_inline]] inline void Pairs(const double* p, typename LaneType<W>::type& v) {
  if constexpr (W == 2) {
    v = typename LaneType<W>::type{p[0], p[1]};
  } else if constexpr (W == 4) {
    v = typename LaneType<W>::type{p[0], p[1], p[0], p[1]};
  } else {
    static_assert(W == 8);
    v = typename LaneType<W>::type{p[0], p[1], p[0], p[1], p[0], p[1], p[0], p[1]};
  }
}

// Outputs 0 … W/2 - 1 of a group are in `lo`, W/2 … W - 1 in `hi`, each as
// (left, right); the first `lanes` are stored.
template <int W>
[[gnu::always_inline]] inline void StoreGroup(const typename LaneType<W>::type& lo,
                                              const typename LaneType<W>::type& hi, int lanes, double* yL,
                                              double* yR) {
  for (int k = 0; k < W / 2 && k < lanes; ++k) {
    yL[k] = lo[2 * k];
    yR[k] = lo[2 * k + 1];
  }
  for (int k = 0; k < W / 2 && W / 2 + k < lanes; ++k) {
    yL[W / 2 + k] = hi[2 * k];
    yR[W / 2 + k] = hi[2 * k + 1];
  }
}

template <int W>
[[gnu::always_inline]] inline void LaneKernel(const KernelArgs& a) {
  using V = typename LaneType<W>::type;
  static_assert(sizeof(V) == W * sizeof(double));
  constexpr int K = kGroupsPerCall;
  V lo[K], hi[K];
#pragma GCC unroll 8
  for (int q = 0; q < K; ++q) lo[q] = hi[q] = V{};
  const double* taps = a.taps;
  for (int t = 0; t < a.count; ++t, taps += 2 * W) {
    V c0, c1;
    std::memcpy(&c0, taps, sizeof c0);
    std::memcpy(&c1, taps + W, sizeof c1);
#pragma GCC unroll 8
    for (int q = 0; q < K; ++q) {
      V b;
      Pairs<W>(a.x[q] + 2 * t, b);
      lo[q] += b * c0;
      hi[q] += b * c1;
    }
  }
#pragma GCC unroll 8
  for (int q = 0; q < K; ++q) StoreGroup<W>(lo[q], hi[q], a.lanes, a.yL[q], a.yR[q]);
}

void LaneKernel2(const KernelArgs& a) { LaneKernel<2>(a); }
#if defined(__x86_64__) || defined(__i386__)
#define MIVO_X86_KERNELS 1
[[gnu::target("avx")]] void LaneKernel4(const KernelArgs& a) { LaneKernel<4>(a); }
// LaneKernel<4> with each product added in one rounding. Written out: a
// compiler takes the FMA builtin only in a function built for FMA.
[[gnu::target("avx,fma")]] void LaneKernel4Fused(const KernelArgs& a) {
  using V = LaneType<4>::type;
  constexpr int K = kGroupsPerCall;
  V lo[K], hi[K];
#pragma GCC unroll 8
  for (int q = 0; q < K; ++q) lo[q] = hi[q] = V{};
  const double* taps = a.taps;
  for (int t = 0; t < a.count; ++t, taps += 8) {
    V c0, c1;
    std::memcpy(&c0, taps, sizeof c0);
    std::memcpy(&c1, taps + 4, sizeof c1);
#pragma GCC unroll 8
    for (int q = 0; q < K; ++q) {
      V b;
      Pairs<4>(a.x[q] + 2 * t, b);
      lo[q] = __builtin_ia32_vfmaddpd256(b, c0, lo[q]);
      hi[q] = __builtin_ia32_vfmaddpd256(b, c1, hi[q]);
    }
  }
#pragma GCC unroll 8
  for (int q = 0; q < K; ++q) StoreGroup<4>(lo[q], hi[q], a.lanes, a.yL[q], a.yR[q]);
}
[[gnu::target("avx512f")]] void LaneKernel8(const KernelArgs& a) { LaneKernel<8>(a); }
#else
void LaneKernel4(const KernelArgs& a) { LaneKernel<4>(a); }
void LaneKernel8(const KernelArgs& a) { LaneKernel<8>(a); }
#endif

// ---------------------------------------------------------------------------
// The conversions around the sums, on whole runs of frames: input samples
// to doubles, sums to output samples. The AVX forms do the same operations
// (a product, a limit, a sum, a floor, each exact as in the plain form).

void SamplesToDoubles(const std::int16_t* s, std::size_t count, double* x) {
  for (std::size_t i = 0; i < count; ++i) x[i] = s[i];
}

void RoundOutputs(const double* yL, const double* yR, std::size_t frames, std::int16_t* out) {
  for (std::size_t i = 0; i < frames; ++i) {
    out[2 * i] = OutputSample(yL[i]);
    out[2 * i + 1] = OutputSample(yR[i]);
  }
}

#ifdef MIVO_X86_KERNELS
[[gnu::target("avx")]] void SamplesToDoublesAvx(const std::int16_t* s, std::size_t count, double* x) {
  std::size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
    const __m128i lo = _mm_cvtepi16_epi32(v);
    const __m128i hi = _mm_cvtepi16_epi32(_mm_unpackhi_epi64(v, v));
    _mm256_storeu_pd(x + i, _mm256_cvtepi32_pd(lo));
    _mm256_storeu_pd(x + i + 4, _mm256_cvtepi32_pd(hi));
  }
  SamplesToDoubles(s + i, count - i, x + i);
}

// Four sums to four samples (as 32-bit whole numbers within 16 bits).
[[gnu::target("avx")]] inline __m128i RoundFourAvx(__m256d y) {
  __m256d v = _mm256_mul_pd(_mm256_set1_pd(kOutputScale), y);
  v = _mm256_max_pd(_mm256_min_pd(v, _mm256_set1_pd(32767.0)), _mm256_set1_pd(-32768.0));
  v = _mm256_round_pd(_mm256_add_pd(v, _mm256_set1_pd(0.5)), _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
  return _mm256_cvttpd_epi32(v);
}

[[gnu::target("avx")]] void RoundOutputsAvx(const double* yL, const double* yR, std::size_t frames,
                                            std::int16_t* out) {
  std::size_t i = 0;
  for (; i + 4 <= frames; i += 4) {
    const __m128i l = RoundFourAvx(_mm256_loadu_pd(yL + i)), r = RoundFourAvx(_mm256_loadu_pd(yR + i));
    const __m128i frames01 = _mm_unpacklo_epi32(l, r), frames23 = _mm_unpackhi_epi32(l, r);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i), _mm_packs_epi32(frames01, frames23));
  }
  // The compiler leaves the upper halves of the registers in use before a
  // jump to code without AVX, which then runs several times slower (and so
  // would everything after it on this thread): clear them.
  _mm256_zeroupper();
  RoundOutputs(yL + i, yR + i, frames - i, out + 2 * i);
}
#endif

// The first of the sums y[from … count) whose samples at y - e and y + e
// differ (count when there is none).
std::size_t NextUnsettled(const double* y, std::size_t from, std::size_t count, double e) {
  for (std::size_t i = from; i < count; ++i) {
    if (OutputSample(y[i] - e) != OutputSample(y[i] + e)) return i;
  }
  return count;
}

#ifdef MIVO_X86_KERNELS
[[gnu::target("avx")]] std::size_t NextUnsettledAvx(const double* y, std::size_t from, std::size_t count,
                                                    double e) {
  const __m256d ve = _mm256_set1_pd(e);
  std::size_t i = from;
  for (; i + 4 <= count; i += 4) {
    const __m256d v = _mm256_loadu_pd(y + i);
    const __m128i below = RoundFourAvx(_mm256_sub_pd(v, ve)), above = RoundFourAvx(_mm256_add_pd(v, ve));
    if (_mm_movemask_epi8(_mm_cmpeq_epi32(below, above)) != 0xFFFF) {
      _mm256_zeroupper();  // as in RoundOutputsAvx
      const std::size_t at = NextUnsettled(y, i, i + 4, e);
      if (at < i + 4) return at;
    }
  }
  _mm256_zeroupper();
  return NextUnsettled(y, i, count, e);
}
#endif

// The forms this processor runs.
struct Conversions {
  void (*toDoubles)(const std::int16_t*, std::size_t, double*) = SamplesToDoubles;
  void (*round)(const double*, const double*, std::size_t, std::int16_t*) = RoundOutputs;
};
Conversions BestConversions() {
  Conversions c;
#ifdef MIVO_X86_KERNELS
  if (__builtin_cpu_supports("avx")) {
    c.toDoubles = SamplesToDoublesAvx;
    c.round = RoundOutputsAvx;
  }
#endif
  return c;
}

int LanesOf(PreciseKernel kernel) {
  switch (kernel) {
    case PreciseKernel::Lanes8: return 8;
    case PreciseKernel::Lanes4:
    case PreciseKernel::Lanes4Fused: return 4;
    default: return 2;
  }
}

// The taps of every group start laid out for W lanes, and the walk over
// the outputs in chunks of K rounds that reuses each table for K groups
// while it is in cache.
class LaneEngine {
 public:
  // `recheck` as PreciseFilterValues takes it.
  LaneEngine(const PreciseFilter& f, PreciseKernel kernel, double recheck = 0.0)
      : m_f(f), m_w(LanesOf(kernel)), m_fused(kernel == PreciseKernel::Lanes4Fused) {
    const std::int64_t U = f.U, D = f.D, N = f.N;
    const std::int64_t groups = CeilDiv(U, m_w);
    m_lo.resize(static_cast<std::size_t>(groups));
    m_count.resize(static_cast<std::size_t>(groups));
    m_offset.resize(static_cast<std::size_t>(groups));
    std::vector<std::int64_t> lo(static_cast<std::size_t>(m_w)), taps(static_cast<std::size_t>(m_w));
    double mostWeight = 0.0;  // the largest Σ|h| of an output
    int mostTerms = 0;
    for (std::int64_t g = 0; g < groups; ++g) {
      const std::int64_t m0 = m_w * g;
      const int n = static_cast<int>(std::min<std::int64_t>(m_w, U - m0));
      int count = 0;
      for (int k = 0; k < n; ++k) {
        const std::int64_t mD = (m0 + k) * D;
        lo[k] = CeilDiv(mD - N, U);
        taps[k] = FloorDiv(mD + N, U) - lo[k] + 1;
        count = std::max(count, static_cast<int>(lo[k] - lo[0] + taps[k]));
      }
      m_lo[g] = lo[0];
      m_count[g] = count;
      m_offset[g] = m_taps.size();
      // A row per tap: the W outputs' taps, each twice (left, right).
      m_taps.resize(m_taps.size() + static_cast<std::size_t>(count) * 2 * m_w, 0.0);
      double* table = &m_taps[m_offset[g]];
      for (int k = 0; k < n; ++k) {
        const std::int64_t mD = (m0 + k) * D;
        const std::int64_t delta = lo[k] - lo[0];
        double weight = 0.0;
        for (std::int64_t t = 0; t < taps[k]; ++t) {
          const std::int64_t index = mD - (lo[k] + t) * U;
          const double h = f.h[static_cast<std::size_t>(index < 0 ? -index : index)];
          table[(delta + t) * 2 * m_w + 2 * k] = h;
          table[(delta + t) * 2 * m_w + 2 * k + 1] = h;
          weight += std::fabs(h);
        }
        mostWeight = std::max(mostWeight, weight);
      }
      mostTerms = std::max(mostTerms, count);
    }
    m_maxEnd = 0;
    for (std::int64_t g = 0; g < groups; ++g) m_maxEnd = std::max(m_maxEnd, m_lo[g] + m_count[g]);
    switch (m_w) {
      case 8: m_kernel = LaneKernel8; break;
      case 4: m_kernel = LaneKernel4; break;
      default: m_kernel = LaneKernel2; break;
    }
#ifdef MIVO_X86_KERNELS
    if (m_fused) {
      m_kernel = LaneKernel4Fused;
      m_nextUnsettled = NextUnsettledAvx;
    }
#endif
    // Twice the bound: room for the roundings of the bound itself and of
    // sum - e and sum + e.
    const double nu = mostTerms * std::ldexp(1.0, -53);
    m_recheck = recheck > 0.0 ? recheck : 2.0 * (2.0 * nu / (1.0 - nu) * 32768.0 * mostWeight);
  }

  std::int64_t ChunkOutputs() const { return std::int64_t{m_f.U} * kGroupsPerCall; }
  // Input frames from one chunk to the next.
  std::int64_t ChunkInputFrames() const { return RoundShift(kGroupsPerCall); }
  // Input frames chunk c reads: [FirstFrame(c), EndFrame(c)).
  std::int64_t FirstFrame(std::int64_t c) const { return m_lo[0] + RoundShift(c * kGroupsPerCall); }
  std::int64_t EndFrame(std::int64_t c) const {
    return m_maxEnd + RoundShift(c * kGroupsPerCall + kGroupsPerCall - 1);
  }

  // Computes the ChunkOutputs() outputs of chunk c. x holds frames from
  // `winStart` on as (left, right) pairs, covering the chunk's frames.
  void Chunk(std::int64_t c, const double* x, std::int64_t winStart, double* yL, double* yR) const {
    const std::int64_t U = m_f.U;
    const std::int64_t round0 = c * kGroupsPerCall;
    KernelArgs a{};
    for (std::size_t g = 0; g < m_lo.size(); ++g) {
      const std::int64_t m0 = m_w * static_cast<std::int64_t>(g);
      a.taps = &m_taps[m_offset[g]];
      a.count = m_count[g];
      a.lanes = static_cast<int>(std::min<std::int64_t>(m_w, U - m0));
      for (int q = 0; q < kGroupsPerCall; ++q) {
        const std::int64_t base = m_lo[g] + RoundShift(round0 + q) - winStart;
        const std::int64_t out = q * U + m0;
        a.x[q] = x + 2 * base;
        a.yL[q] = yL + out;
        a.yR[q] = yR + out;
      }
      m_kernel(a);
    }
    if (m_fused) Recheck(c, x, winStart, yL, yR);
  }

 private:
  // Rounds r apart share their taps; their inputs lie r × D apart.
  std::int64_t RoundShift(std::int64_t round) const { return round * m_f.D; }

  // The fused sums of chunk c that lie too near a step of the output
  // rounding, summed again the plain way.
  void Recheck(std::int64_t c, const double* x, std::int64_t winStart, double* yL, double* yR) const {
    const auto n = static_cast<std::size_t>(ChunkOutputs());
    for (int ch = 0; ch < 2; ++ch) {
      double* y = ch == 0 ? yL : yR;
      for (std::size_t j = m_nextUnsettled(y, 0, n, m_recheck); j < n;
           j = m_nextUnsettled(y, j + 1, n, m_recheck)) {
        y[j] = PlainValue(c * ChunkOutputs() + static_cast<std::int64_t>(j), ch, x, winStart);
      }
    }
  }

  // Output m of channel ch as the plain loop sums it.
  double PlainValue(std::int64_t m, int ch, const double* x, std::int64_t winStart) const {
    const std::int64_t U = m_f.U, mD = m * m_f.D;
    double sum = 0.0;
    for (std::int64_t i = CeilDiv(mD - m_f.N, U), hi = FloorDiv(mD + m_f.N, U); i <= hi; ++i) {
      const std::int64_t k = mD - i * U;
      sum += x[2 * (i - winStart) + ch] * m_f.h[static_cast<std::size_t>(k < 0 ? -k : k)];
    }
    return sum;
  }

  const PreciseFilter& m_f;
  int m_w;
  std::vector<std::int64_t> m_lo;  // per group start
  std::vector<int> m_count;
  std::vector<std::size_t> m_offset;
  std::vector<double> m_taps;
  std::int64_t m_maxEnd = 0;
  void (*m_kernel)(const KernelArgs&) = nullptr;
  bool m_fused;
  double m_recheck = 0.0;  // e of the fused kernel's recheck
  std::size_t (*m_nextUnsettled)(const double*, std::size_t, std::size_t, double) = NextUnsettled;
};

// The plain sum of one output frame, as the method defines it.
void PlainSum(const PreciseFilter& f, const std::int16_t* frames, std::int64_t inputFrames, std::int64_t m,
              double& yL, double& yR) {
  const std::int64_t mD = m * f.D;
  const std::int64_t lo = CeilDiv(mD - f.N, f.U), hi = FloorDiv(mD + f.N, f.U);
  double sL = 0.0, sR = 0.0;
  for (std::int64_t i = lo; i <= hi; ++i) {
    const std::int64_t k = mD - i * f.U;
    const double h = f.h[static_cast<std::size_t>(k < 0 ? -k : k)];
    const bool inside = i >= 0 && i < inputFrames;
    sL += (inside ? frames[2 * i] : 0) * h;
    sR += (inside ? frames[2 * i + 1] : 0) * h;
  }
  yL = sL;
  yR = sR;
}

// ---------------------------------------------------------------------------
// The pass around either summation.

struct Track {
  std::uint32_t dataSize = 0;
  std::int64_t frames = 0;  // M
  std::int64_t outFrames = 0;  // P
};

// Steps 3 and 4 of the pass: the header checks and the stage.
bool ReadInputHeader(TrackRewrite& rw, std::uint8_t* header, Track& t, std::uint32_t& rate) {
  const PassContext& ctx = rw.Context();
  if (!rw.ReadHeader(header)) return false;
  const std::uint16_t blockAlign = GetLe16(header + kBlockAlignOffset);
  rate = GetLe32(header + kSampleRateOffset);
  if (GetLe16(header + kFormatTagOffset) != 1 || GetLe16(header + kChannelsOffset) != 2 ||
      GetLe16(header + kBitsOffset) != 16 || blockAlign != 4 ||
      std::uint64_t{blockAlign} * rate != GetLe32(header + kByteRateOffset)) {
    return false;
  }
  t.dataSize = GetLe32(header + rw.DataSizeAt());
  ctx.progress.BeginStage(static_cast<std::int32_t>(t.dataSize / 4));
  ctx.progress.SetStagePos(0);
  t.frames = t.dataSize / blockAlign;
  return true;
}

// Step 8: the header of the output.
bool WriteOutputHeader(TrackRewrite& rw, std::uint8_t* header, const Track& t) {
  const auto outBytes = static_cast<std::uint32_t>(4 * t.outFrames);
  PutLe32(header + kSampleRateOffset, kTargetRate);
  PutLe32(header + kByteRateOffset, 4 * kTargetRate);
  PutLe32(header + rw.DataSizeAt(), outBytes);
  PutLe32(header + kRiffSizeOffset, outBytes + 38 - static_cast<std::uint32_t>(rw.Context().headerShortening));
  return rw.Write(header, rw.HeaderSize());
}

// Reads `frames` frames as 16-bit samples.
bool ReadFrames(TrackRewrite& rw, std::vector<std::uint8_t>& bytes, std::int64_t frames) {
  bytes.resize(static_cast<std::size_t>(frames) * 4);
  return rw.ReadExact(bytes.data(), bytes.size());
}

// Output frames to the temporary file, through buffers kept for the pass.
class OutputWriter {
 public:
  explicit OutputWriter(TrackRewrite& rw) : m_rw(rw) {}
  bool Write(const double* yL, const double* yR, std::int64_t count) {
    m_samples.resize(static_cast<std::size_t>(count) * 2);
    for (std::int64_t i = 0; i < count; ++i) {
      m_samples[2 * i] = OutputSample(yL[i]);
      m_samples[2 * i + 1] = OutputSample(yR[i]);
    }
    SamplesToFile(m_samples.data(), m_samples.size());
    return m_rw.Write(m_samples.data(), m_samples.size() * 2);
  }

 private:
  TrackRewrite& m_rw;
  std::vector<std::int16_t> m_samples;
};

// The method as written: a ring of two 65536-frame halves, one output frame
// at a time, the taps in order of rising input frame.
bool RunReference(TrackRewrite& rw, const PreciseFilter& f, const Track& t) {
  const PassContext& ctx = rw.Context();
  const std::int64_t U = f.U, D = f.D, N = f.N, M = t.frames;
  std::vector<std::int16_t> ring(2 * kRingFrames, 0);
  std::vector<std::uint8_t> bytes;
  std::int64_t lo = -(N / U), rLo = -(N % U), hi = N / U, rHi = N % U, loaded = 0;
  OutputWriter writer(rw);
  for (std::int64_t m = 0; m < t.outFrames; ++m) {
    if (hi >= loaded) {
      std::int16_t* half = &ring[static_cast<std::size_t>(2 * (loaded & (kRingFrames - 1)))];
      std::int64_t r = 0;
      if (loaded < M) {
        r = std::min(kBlockFrames, M - loaded);
        if (!ReadFrames(rw, bytes, r)) return false;
        for (std::int64_t i = 0; i < 2 * r; ++i) half[i] = static_cast<std::int16_t>(GetLe16(&bytes[2 * i]));
      }
      std::fill(half + 2 * r, half + 2 * kBlockFrames, std::int16_t{0});
      if (r > 0) ctx.progress.AdvanceStage(r);
      loaded += kBlockFrames;
      if (!rw.EndBlock()) return false;
    }
    double sL = 0.0, sR = 0.0;
    std::int64_t k = N + rLo;  // mD - lo × U
    for (std::int64_t i = lo; i <= hi; ++i, k -= U) {
      const double h = f.h[static_cast<std::size_t>(k < 0 ? -k : k)];
      const std::int16_t* x = &ring[static_cast<std::size_t>(2 * (i & (kRingFrames - 1)))];
      sL += x[0] * h;
      sR += x[1] * h;
    }
    if (!writer.Write(&sL, &sR, 1)) return false;
    lo += D / U;
    rLo += D % U;
    if (rLo > 0) {
      rLo -= U;
      ++lo;
    }
    hi += D / U;
    rHi += D % U;
    if (rHi >= U) {
      rHi -= U;
      ++hi;
    }
  }
  return true;
}

// The track's frames in order, as doubles in (left, right) pairs, read in
// blocks of 65536 frames (the last one shorter) with the stage advanced by
// each; frames before 0 and from M on are silence.
class FrameSource {
 public:
  FrameSource(TrackRewrite& rw, std::int64_t frames, const Conversions& conversions)
      : m_rw(rw), m_frames(frames), m_toDoubles(conversions.toDoubles) {}

  // Appends frames [from, to) to `x`; `from` is where the last call ended
  // (or any frame up to the first one read).
  bool Append(std::int64_t from, std::int64_t to, std::vector<double>& x) {
    while (from < to) {
      if (from < 0 || from >= m_frames) {
        const std::int64_t stop = from < 0 ? std::min<std::int64_t>(0, to) : to;
        x.insert(x.end(), static_cast<std::size_t>(2 * (stop - from)), 0.0);
        from = stop;
        continue;
      }
      if (from >= m_blockEnd && !ReadBlock()) return false;
      const std::int64_t stop = std::min(to, m_blockEnd);
      const std::size_t at = x.size();
      x.resize(at + static_cast<std::size_t>(2 * (stop - from)));
      m_toDoubles(&m_block[static_cast<std::size_t>(2 * (from - m_blockStart))],
                  static_cast<std::size_t>(2 * (stop - from)), x.data() + at);
      from = stop;
    }
    return true;
  }

 private:
  bool ReadBlock() {
    const std::int64_t r = std::min(kBlockFrames, m_frames - m_blockEnd);
    m_block.resize(static_cast<std::size_t>(2 * r));
    if (!m_rw.ReadExact(m_block.data(), m_block.size() * 2)) return false;
    SamplesFromFile(m_block.data(), m_block.size());
    m_blockStart = m_blockEnd;
    m_blockEnd += r;
    m_rw.Context().progress.AdvanceStage(r);
    return m_rw.EndBlock();
  }

  TrackRewrite& m_rw;
  std::int64_t m_frames;
  void (*m_toDoubles)(const std::int16_t*, std::size_t, double*);
  std::int64_t m_blockStart = 0, m_blockEnd = 0;
  std::vector<std::int16_t> m_block;
};

// The input frames a step reads: [start, end) as (left, right) pairs.
struct StepInput {
  std::int64_t start = 0, end = 0;
  std::vector<double> x;
};

// The outputs are computed in steps of a few blocks of input, each step in
// chunks. Every thread takes the step's chunks one at a time, sums them
// into a scratch of its own and rounds them into the step's samples. The
// calling thread first writes the previous step's samples and reads the
// next step's input (so the file work overlaps the sums, and the progress
// is reported on it), then takes chunks too. Which thread sums a chunk
// changes nothing in its bytes.
bool RunLanes(TrackRewrite& rw, const LaneEngine& engine, const Track& t, platform::WorkCrew* crew) {
  const std::int64_t chunk = engine.ChunkOutputs();
  const std::int64_t chunks = CeilDiv(t.outFrames, chunk);
  const std::int64_t perStep = std::max<std::int64_t>(1, CeilDiv(kStepFrames, engine.ChunkInputFrames()));
  const std::int64_t steps = CeilDiv(chunks, perStep);
  const int slices = crew ? crew->Size() : 1;
  const Conversions conversions = BestConversions();
  FrameSource source(rw, t.frames, conversions);
  StepInput input[2];
  std::vector<std::int16_t> samples[2];
  std::vector<std::vector<double>> scratch(static_cast<std::size_t>(2 * slices),
                                           std::vector<double>(static_cast<std::size_t>(chunk)));
  auto firstChunk = [&](std::int64_t step) { return step * perStep; };
  auto endChunk = [&](std::int64_t step) { return std::min(chunks, (step + 1) * perStep); };
  auto outputsOf = [&](std::int64_t step) {
    return std::min(t.outFrames, endChunk(step) * chunk) - firstChunk(step) * chunk;
  };
  // The next step's input: what the last one holds of it, then the file.
  auto load = [&](std::int64_t step) {
    StepInput& in = input[step % 2];
    const StepInput& last = input[(step + 1) % 2];
    const std::int64_t start = engine.FirstFrame(firstChunk(step));
    const std::int64_t end = engine.EndFrame(endChunk(step) - 1);
    in.x.clear();
    std::int64_t from = start;
    if (step > 0 && last.end > start) {
      from = last.end;
      const auto at = last.x.begin() + 2 * (start - last.start);
      in.x.insert(in.x.end(), at, last.x.end());
    }
    in.start = start;
    in.end = end;
    return source.Append(from, end, in.x);
  };
  auto write = [&](std::int64_t step) {
    std::vector<std::int16_t>& out = samples[step % 2];
    SamplesToFile(out.data(), static_cast<std::size_t>(2 * outputsOf(step)));
    return rw.Write(out.data(), static_cast<std::size_t>(4 * outputsOf(step))) && rw.EndBlock();
  };

  if (steps > 0 && !load(0)) return false;
  bool ok = true;
  for (std::int64_t step = 0; step < steps && ok; ++step) {
    const StepInput& in = input[step % 2];
    std::vector<std::int16_t>& out = samples[step % 2];
    out.resize(static_cast<std::size_t>(2 * outputsOf(step)));
    const std::int64_t c0 = firstChunk(step), c1 = endChunk(step), count = outputsOf(step);
    std::atomic<std::int64_t> next{c0};
    const auto job = [&](int slice) {
      if (slice == 0) {
        ok = (step == 0 || write(step - 1)) && (step + 1 == steps || load(step + 1));
      }
      double* yL = scratch[static_cast<std::size_t>(2 * slice)].data();
      double* yR = scratch[static_cast<std::size_t>(2 * slice + 1)].data();
      for (std::int64_t c; (c = next.fetch_add(1, std::memory_order_relaxed)) < c1;) {
        engine.Chunk(c, in.x.data(), in.start, yL, yR);
        const std::int64_t at = (c - c0) * chunk;
        conversions.round(yL, yR, static_cast<std::size_t>(std::min(chunk, count - at)),
                          &out[static_cast<std::size_t>(2 * at)]);
      }
    };
    if (crew) {
      crew->Run(job);
    } else {
      job(0);
    }
  }
  return ok && (steps == 0 || write(steps - 1));
}

}  // namespace

double BesselI0(double x) {
  const double a = x / 2.0;
  double sum = 1.0;
  double t = a;
  int j = 1;
  while (t > 1e-10) {
    ++j;
    sum = sum + t * t;
    t = t * a / j;
  }
  return sum;
}

namespace {

// The mode and the filter's cutoff and half-length for the arguments of
// the method; false for anything it does not do.
struct FilterChoice {
  const Mode* mode = nullptr;
  double fc = 0.0;
  int N = 0;
};
bool ChooseFilter(std::uint32_t inputRate, int precision, double cutoff, int taps, FilterChoice& c) {
  for (const Mode& m : kModes) {
    if (m.inputRate == inputRate) c.mode = &m;
  }
  if (!c.mode || precision < 0 || precision > 3 || taps < 0 || taps > 65535 || !(cutoff >= 0.0)) return false;
  c.fc = cutoff != 0.0 ? cutoff : c.mode->fc[precision];
  c.N = taps != 0 ? taps : c.mode->N[precision];
  const double Fi = static_cast<double>(c.mode->D) * kTargetRate;
  return c.fc < Fi / 2.0;
}

void BuildFilter(const FilterChoice& c, PreciseFilter& filter) {
  const Mode* mode = c.mode;
  const int N = c.N;
  const double fc = c.fc;
  const double Fi = static_cast<double>(mode->D) * kTargetRate;
  filter.U = mode->U;
  filter.D = mode->D;
  filter.N = N;
  filter.fc = fc;
  filter.h.resize(static_cast<std::size_t>(N) + 1);
  const double h0 = 2.0 * mode->U * fc / Fi;
  const double pi = std::acos(-1.0);
  const double omega = 2.0 * pi * fc / Fi;
  const double i0Beta = BesselI0(10.0);
  filter.h[0] = h0;
  for (int n = 1; n <= N; ++n) {
    const double r = static_cast<double>(n) / N;
    const double w = BesselI0(10.0 * std::sqrt(1.0 - r * r)) / i0Beta;
    filter.h[static_cast<std::size_t>(n)] = w * h0 * std::sin(omega * n) / (omega * n);
  }
}

}  // namespace

bool MakePreciseFilter(std::uint32_t inputRate, int precision, double cutoff, int taps,
                       PreciseFilter& filter) {
  filter = PreciseFilter{};
  FilterChoice choice;
  if (!ChooseFilter(inputRate, precision, cutoff, taps, choice)) return false;
  BuildFilter(choice, filter);
  return true;
}

struct PreciseTables {
  PreciseFilter filter;
  PreciseKernel kernel = PreciseKernel::Reference;
  std::unique_ptr<const LaneEngine> engine;  // the lane kernels' layout of the taps
};

namespace {

constexpr std::size_t kCachedTables = 4;

std::shared_ptr<const PreciseTables> BuildTables(const FilterChoice& choice, PreciseKernel kernel) {
  auto tables = std::make_shared<PreciseTables>();
  BuildFilter(choice, tables->filter);
  tables->kernel = kernel;
  if (kernel != PreciseKernel::Reference) tables->engine = std::make_unique<LaneEngine>(tables->filter, kernel);
  return tables;
}

}  // namespace

struct PreciseTableCache::Entry {
  std::uint32_t inputRate = 0;
  double fc = 0.0;
  int N = 0;
  PreciseKernel kernel = PreciseKernel::Reference;
  std::uint64_t lastUse = 0;
  std::shared_ptr<const PreciseTables> tables;
};

PreciseTableCache::PreciseTableCache() = default;
PreciseTableCache::~PreciseTableCache() = default;

std::shared_ptr<const PreciseTables> PreciseTableCache::Get(std::uint32_t inputRate, int precision, double cutoff,
                                                            int taps, PreciseKernel kernel) {
  // The precision only picks the cutoff and the length: the filter is
  // known by the mode (the input rate), the cutoff and the length.
  FilterChoice choice;
  if (kernel == PreciseKernel::Auto || !ChooseFilter(inputRate, precision, cutoff, taps, choice)) return nullptr;
  std::lock_guard lock(m_mtx);
  for (Entry& e : m_entries) {
    if (e.inputRate == inputRate && e.fc == choice.fc && e.N == choice.N && e.kernel == kernel) {
      e.lastUse = ++m_uses;
      return e.tables;
    }
  }
  // Built while the lock is held: a second pass that wants the same table
  // waits for it instead of building it again.
  Entry entry{inputRate, choice.fc, choice.N, kernel, ++m_uses, BuildTables(choice, kernel)};
  ++m_builds;
  std::shared_ptr<const PreciseTables> tables = entry.tables;
  if (m_entries.size() < kCachedTables) {
    m_entries.push_back(std::move(entry));
  } else {
    *std::min_element(m_entries.begin(), m_entries.end(),
                      [](const Entry& a, const Entry& b) { return a.lastUse < b.lastUse; }) = std::move(entry);
  }
  return tables;
}

int PreciseTableCache::Builds() const {
  std::lock_guard lock(m_mtx);
  return m_builds;
}

std::int64_t PreciseOutputFrames(const PreciseFilter& f, std::int64_t M) {
  return (M / f.D) * f.U + CeilDiv((M % f.D) * f.U, f.D);
}

bool PreciseKernelSupported(PreciseKernel kernel) {
  switch (kernel) {
    case PreciseKernel::Auto:
    case PreciseKernel::Reference:
    case PreciseKernel::Lanes2: return true;
#ifdef MIVO_X86_KERNELS
    case PreciseKernel::Lanes4: return __builtin_cpu_supports("avx");
    case PreciseKernel::Lanes4Fused: return __builtin_cpu_supports("avx") && __builtin_cpu_supports("fma");
    case PreciseKernel::Lanes8: return __builtin_cpu_supports("avx512f");
#else
    case PreciseKernel::Lanes4:
    case PreciseKernel::Lanes8: return true;  // plain vector code of the target
    case PreciseKernel::Lanes4Fused: return false;
#endif
  }
  return false;
}

const char* PreciseKernelName(PreciseKernel kernel) {
  switch (kernel) {
    case PreciseKernel::Auto: return PreciseKernelName(BestPreciseKernel());
    case PreciseKernel::Reference: return "plain loop";
#ifdef MIVO_X86_KERNELS
    case PreciseKernel::Lanes2: return "SSE2, 2 lanes";
    case PreciseKernel::Lanes4: return "AVX, 4 lanes";
    case PreciseKernel::Lanes4Fused: return "AVX and FMA, 4 lanes";
    case PreciseKernel::Lanes8: return "AVX-512, 8 lanes";
#else
    case PreciseKernel::Lanes2: return "vector, 2 lanes";
    case PreciseKernel::Lanes4: return "vector, 4 lanes";
    case PreciseKernel::Lanes4Fused: return "vector and FMA, 4 lanes";
    case PreciseKernel::Lanes8: return "vector, 8 lanes";
#endif
  }
  return "?";
}

PreciseKernel BestPreciseKernel() {
  if (PreciseKernelSupported(PreciseKernel::Lanes8)) return PreciseKernel::Lanes8;
  if (PreciseKernelSupported(PreciseKernel::Lanes4Fused)) return PreciseKernel::Lanes4Fused;
  if (PreciseKernelSupported(PreciseKernel::Lanes4)) return PreciseKernel::Lanes4;
  return PreciseKernel::Lanes2;
}

void PreciseFilterValues(const PreciseFilter& f, PreciseKernel kernel, const std::int16_t* frames,
                         std::int64_t inputFrames, std::int64_t first, std::int64_t count, double* yL,
                         double* yR, double recheck) {
  if (kernel == PreciseKernel::Auto) kernel = BestPreciseKernel();
  if (kernel == PreciseKernel::Reference || !PreciseKernelSupported(kernel)) {
    for (std::int64_t i = 0; i < count; ++i) PlainSum(f, frames, inputFrames, first + i, yL[i], yR[i]);
    return;
  }
  const LaneEngine engine(f, kernel, recheck);
  const std::int64_t chunk = engine.ChunkOutputs();
  std::vector<double> cL(static_cast<std::size_t>(chunk)), cR(static_cast<std::size_t>(chunk));
  std::vector<double> x;
  for (std::int64_t c = first / chunk; c * chunk < first + count; ++c) {
    const std::int64_t start = engine.FirstFrame(c), end = engine.EndFrame(c);
    x.assign(static_cast<std::size_t>(2 * (end - start)), 0.0);
    for (std::int64_t i = std::max<std::int64_t>(start, 0); i < std::min(end, inputFrames); ++i) {
      x[static_cast<std::size_t>(2 * (i - start))] = frames[2 * i];
      x[static_cast<std::size_t>(2 * (i - start) + 1)] = frames[2 * i + 1];
    }
    engine.Chunk(c, x.data(), start, cL.data(), cR.data());
    for (std::int64_t m = std::max(first, c * chunk); m < std::min(first + count, (c + 1) * chunk); ++m) {
      yL[m - first] = cL[static_cast<std::size_t>(m - c * chunk)];
      yR[m - first] = cR[static_cast<std::size_t>(m - c * chunk)];
    }
  }
}

bool Resample4844Precise(const std::string& track, int precision, double cutoff, int taps, int targetRate,
                         const PassContext& ctx, PreciseKernel kernel) {
  ctx.progress.SetStageLabel("48->44");
  TrackRewrite rw(track, ctx);
  if (!rw.Ok()) return false;
  std::uint8_t header[kTrackHeaderMax];
  Track t;
  std::uint32_t rate = 0;
  if (!ReadInputHeader(rw, header, t, rate)) return false;
  if (kernel == PreciseKernel::Auto) kernel = BestPreciseKernel();
  if (!PreciseKernelSupported(kernel)) return false;
  std::shared_ptr<const PreciseTables> tables;
  if (ctx.preciseTables != nullptr) {
    tables = ctx.preciseTables->Get(rate, precision, cutoff, taps, kernel);
  } else if (FilterChoice choice; ChooseFilter(rate, precision, cutoff, taps, choice)) {
    tables = BuildTables(choice, kernel);
  }
  if (targetRate != kTargetRate || !tables) return false;
  const PreciseFilter& filter = tables->filter;
  t.outFrames = PreciseOutputFrames(filter, t.frames);
  if (!WriteOutputHeader(rw, header, t)) return false;

  // The plain loop is the definition and runs alone; the lane kernels
  // share each block among the threads the system gives.
  int threads = ctx.threads > 0 ? ctx.threads : platform::ProcessorCount();
  threads = kernel == PreciseKernel::Reference ? 1 : std::clamp(threads, 1, kMaxThreads);
  std::unique_ptr<platform::WorkCrew> crew;
  if (threads > 1) crew = std::make_unique<platform::WorkCrew>(threads - 1);
  if (ctx.log != nullptr) {
    const int used = crew ? crew->Size() : 1;
    ctx.log->Detail(std::string("48->44 high precision ") + std::to_string(precision) + ": " +
                    PreciseKernelName(kernel) + ", " + std::to_string(used) + (used == 1 ? " thread" : " threads"));
  }
  const bool done = tables->engine ? RunLanes(rw, *tables->engine, t, crew.get()) : RunReference(rw, filter, t);
  return done && rw.Commit();
}

}  // namespace mivo
