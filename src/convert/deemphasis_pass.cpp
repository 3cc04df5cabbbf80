// 50/15 µs de-emphasis: an analysis pass measures each channel's mean and
// the extremes of the filtered signal, an output pass writes the filtered,
// DC-corrected and scaled samples.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "convert/sample_passes.h"

namespace mivo {
namespace {

constexpr std::uint32_t kBlockFrames = 16384;

// floor(v) as an integer, limited to -32767 … 32767 (limiting first gives
// the same: floor is monotonic and the limits are integers).
inline std::int16_t RoundLimited(double v) {
  v = v < -32767.0 ? -32767.0 : (v > 32767.0 ? 32767.0 : v);
  auto i = static_cast<std::int32_t>(v);  // toward zero
  i -= static_cast<double>(i) > v;        // toward minus infinity
  return static_cast<std::int16_t>(i);
}

// Both channels side by side: lane 0 left, lane 1 right. Each lane does
// the arithmetic of its channel alone, in the order of the definition.
typedef double Pair __attribute__((vector_size(16)));

class DeEmphasis {
 public:
  explicit DeEmphasis(const DeEmphasisParams& p) : m_p(p), m_c(DeEmphasisCoefficientsFor(p.sampleRate)) {}

  // Runs one pass over `frames` frames from the sample start: the analysis
  // pass, or (output) the pass that writes. Its share of the stage's 40
  // units is 10 (analysis) or 30.
  bool Pass(TrackRewrite& rw, std::uint64_t dataStart, std::uint32_t frames, std::uint32_t dataSize,
            bool output) {
    if (!rw.SeekInput(dataStart)) return false;
    const std::int64_t share = output ? 30 : 10;
    const std::int64_t base = output ? 10 : 0;
    std::int64_t shown = -1;
    bool first = true;
    std::uint32_t remaining = frames;
    while (remaining > 0) {
      const std::uint32_t n = remaining < kBlockFrames ? remaining : kBlockFrames;
      // A track shorter than its header says fails: the result would be
      // shorter than the header it carries.
      if (!rw.ReadExact(m_samples.data(), std::size_t{n} * 4)) return false;
      remaining -= n;
      Input(n, output);
      if (first) {  // the filter starts at rest on the pass's first frame
        m_x1[0] = m_y1[0] = m_x[0];
        m_x1[1] = m_y1[1] = m_x[1];
      }
      first = false;
      if (output) {
        Filter<true>(n);
        Output(n);
        if (!rw.Write(m_samples.data(), std::size_t{n} * 4)) return false;
      } else {
        Filter<false>(n);
      }
      const std::int64_t done = static_cast<std::int64_t>(dataSize) - 4 * static_cast<std::int64_t>(remaining);
      const std::int64_t w = done * share / dataSize;
      if (w != shown) {
        rw.Context().progress.SetStagePos(w + base);
        shown = w;
      }
      if (!rw.EndBlock()) return false;
    }
    return true;
  }

  // Between the passes: the means, the peak of the filtered signal about
  // them, and the gain that makes it 32767.
  void Measure(std::uint32_t frames) {
    double v = 0.0;
    for (int ch = 0; ch < 2; ++ch) {
      m_mean[ch] = frames ? static_cast<double>(m_sum[ch]) / frames : 0.0;
      for (double e : {m_max[ch] - m_mean[ch], m_min[ch] - m_mean[ch]}) v = std::fmax(v, std::fabs(e));
    }
    // A (near) silent track is written filtered and DC-corrected as it is:
    // amplifying it 300 times and more would only raise the noise.
    m_gain = v >= 100.0 ? 32767.0 / v : 1.0;
    m_bExtremes = false;
  }

 private:
  // The block's samples as doubles: substituted at the limit, summed
  // (analysis) or DC-corrected (output).
  void Input(std::uint32_t frames, bool output) {
    const std::size_t count = std::size_t{frames} * 2;
    SamplesFromFile(m_samples.data(), count);
    if (m_p.wavLim != 0.0) {
      if (output) {
        Convert<true, true>(count);
      } else {
        Convert<false, true>(count);
      }
    } else if (output) {
      Convert<true, false>(count);
    } else {
      Convert<false, false>(count);
    }
  }

  template <bool kOutput, bool kSubstitute>
  void Convert(std::size_t count) {
    const double lim = m_p.wavLim, set = m_p.wavLimSet;
    const double mean[2] = {m_mean[0], m_mean[1]};
    std::int64_t sum[2] = {0, 0};
    const std::int16_t* in = m_samples.data();
    double* x = m_x.data();
    for (std::size_t i = 0; i < count; i += 2) {
      for (std::size_t ch = 0; ch < 2; ++ch) {
        double v = in[i + ch];
        if constexpr (kSubstitute) v = v < -lim ? -set : (v >= lim ? set : v);
        if constexpr (kOutput) {
          v = v - mean[ch];
        } else if constexpr (kSubstitute) {
          sum[ch] += static_cast<std::int64_t>(v);  // toward zero
        } else {
          sum[ch] += in[i + ch];
        }
        x[i + ch] = v;
      }
    }
    m_sum[0] += sum[0];
    m_sum[1] += sum[1];
  }

  // y = b1 x[n-1] + b0 x + a1 y[n-1] per channel; the analysis keeps the
  // extremes (the first frame sets both).
  template <bool kOutput>
  void Filter(std::uint32_t frames) {
    const Pair a1 = {m_c.a1, m_c.a1}, b0 = {m_c.b0, m_c.b0}, b1 = {m_c.b1, m_c.b1};
    Pair x1, y1, hi, lo;
    std::memcpy(&x1, m_x1, sizeof x1);
    std::memcpy(&y1, m_y1, sizeof y1);
    std::uint32_t f = 0;
    if (!kOutput && !m_bExtremes) {
      Pair x;
      std::memcpy(&x, &m_x[0], sizeof x);
      const Pair y = b1 * x1 + b0 * x + a1 * y1;
      x1 = x;
      y1 = y;
      hi = lo = y;
      f = 1;
      m_bExtremes = true;
    } else {
      std::memcpy(&hi, m_max, sizeof hi);
      std::memcpy(&lo, m_min, sizeof lo);
    }
    for (; f < frames; ++f) {
      Pair x;
      std::memcpy(&x, &m_x[2 * f], sizeof x);
      const Pair y = b1 * x1 + b0 * x + a1 * y1;
      x1 = x;
      y1 = y;
      if constexpr (kOutput) {
        std::memcpy(&m_x[2 * f], &y, sizeof y);
      } else {
        hi = y > hi ? y : hi;
        lo = y < lo ? y : lo;
      }
    }
    std::memcpy(m_x1, &x1, sizeof x1);
    std::memcpy(m_y1, &y1, sizeof y1);
    if constexpr (!kOutput) {
      std::memcpy(m_max, &hi, sizeof hi);
      std::memcpy(m_min, &lo, sizeof lo);
    }
  }

  // out = floor(y × gain + 0.5), limited to -32767 … 32767.
  void Output(std::uint32_t frames) {
    const std::size_t count = std::size_t{frames} * 2;
    const double gain = m_gain;
    for (std::size_t i = 0; i < count; ++i) m_samples[i] = RoundLimited(m_x[i] * gain + 0.5);
    SamplesToFile(m_samples.data(), count);
  }

  DeEmphasisParams m_p;
  DeEmphasisCoefficients m_c;
  double m_x1[2] = {0, 0};  // x[n-1]
  double m_y1[2] = {0, 0};  // y[n-1]
  std::int64_t m_sum[2] = {0, 0};
  double m_mean[2] = {0, 0};
  double m_max[2] = {0, 0};
  double m_min[2] = {0, 0};
  bool m_bExtremes = false;  // set by the analysis pass's first frame
  double m_gain = 1.0;
  std::vector<std::int16_t> m_samples = std::vector<std::int16_t>(kBlockFrames * 2);
  std::vector<double> m_x = std::vector<double>(kBlockFrames * 2);
};

}  // namespace

DeEmphasisCoefficients DeEmphasisCoefficientsFor(double sampleRate) {
  DeEmphasisCoefficients c;
  const double K = std::tan(10000.0 / sampleRate);
  c.a1 = (1.0 - K) / (1.0 + K);
  const double g = 0.7000000000000001 * K / (1.0 + K);
  c.b0 = g + 0.3;
  c.b1 = g - 0.3 * c.a1;
  return c;
}

bool DeEmphasisRateSupported(double sampleRate) {
  return sampleRate > 0.0 && 10000.0 / sampleRate < std::acos(-1.0) / 2.0;
}

std::string DeEmphasisKeepName(const std::string& track) {
  const auto dot = track.rfind('.');
  const auto slash = track.rfind('/');
  const bool hasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
  return (hasExtension ? track.substr(0, dot) : track) + "o.wav";
}

bool DeEmphasisWav(const std::string& track, const DeEmphasisParams& params, const PassContext& ctx) {
  ctx.progress.SetStageLabel("ﾃﾞｨｴﾝﾌｧｼｽ");
  if (!DeEmphasisRateSupported(params.sampleRate)) return false;
  TrackRewrite rw(track, ctx);
  if (!rw.Ok()) return false;

  DeEmphasis filter(params);
  std::uint8_t header[kTrackHeaderMax];
  if (!rw.ReadHeader(header) || !rw.Write(header, rw.HeaderSize())) return false;
  const std::uint64_t dataStart = rw.HeaderSize();
  const std::uint32_t dataSize = GetLe32(header + rw.DataSizeAt());
  const std::uint32_t frames = dataSize / 4;
  ctx.progress.BeginStage(40);

  if (!filter.Pass(rw, dataStart, frames, dataSize, false)) return false;
  filter.Measure(frames);
  if (!filter.Pass(rw, dataStart, frames, dataSize, true)) return false;
  // A data size that is no whole number of frames keeps its last bytes.
  std::uint8_t tail[4];
  const std::size_t tailBytes = dataSize % 4;
  if (tailBytes && (!rw.ReadExact(tail, tailBytes) || !rw.Write(tail, tailBytes))) return false;

  ctx.progress.SetStagePos(40);
  return rw.Commit(params.keepOriginal ? DeEmphasisKeepName(track) : std::string());
}

}  // namespace mivo
