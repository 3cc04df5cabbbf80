// The sample passes of the conversion worker. Each rewrites a 16-bit stereo
// track file in place through TrackRewrite, reports its progress as one
// stage, and returns true on success. On false the track is as it was.
#pragma once

#include <cstdint>
#include <string>

#include "convert/track_rewrite.h"

namespace mivo {

// Removes a DC offset per channel and scales so that `level` becomes full
// scale: y = (x * 32767 ± level / 2) / level with x = sample - offset,
// rounded half away from zero and clipped to 16 bits. A level of 0 or less
// (a silent track measured automatically) leaves the samples unscaled; the
// offsets are still removed. Any 32-bit offset is computed without overflow.
bool NormalizeWav(const std::string& track, std::int32_t level, std::int32_t dcLeft,
                  std::int32_t dcRight, const PassContext& ctx);

struct DeEmphasisParams {
  double sampleRate = 44100.0;  // the capture rate the track was recorded at
  double wavLim = 0.0;          // m_dblWavLim: substitution when not 0.0
  double wavLimSet = 0.0;       // m_dblWavLimSet
  bool keepOriginal = false;    // m_bOrgsave: keep "<name>o.wav"
};

// The coefficients of the 50/15 µs de-emphasis filter at one rate:
// y[n] = b1 x[n-1] + b0 x[n] + a1 y[n-1].
struct DeEmphasisCoefficients {
  double a1 = 0.0;
  double b0 = 0.0;
  double b1 = 0.0;
};
DeEmphasisCoefficients DeEmphasisCoefficientsFor(double sampleRate);
// Rates at which the bilinear de-emphasis filter is defined (10000 / fs
// below a quarter turn): above 6366 Hz.
bool DeEmphasisRateSupported(double sampleRate);
// "<track without its extension>o.wav".
std::string DeEmphasisKeepName(const std::string& track);

// 50/15 µs de-emphasis with DC removal, scaled so that the loudest sample
// becomes ±32767. A track whose filtered peak stays below 100 is written
// filtered and DC-corrected without amplification. False also for a rate
// the filter is not defined at and for a track shorter than its header says.
bool DeEmphasisWav(const std::string& track, const DeEmphasisParams& params, const PassContext& ctx);

// 48000 Hz to 44100 Hz by linear interpolation in groups of 160 input
// frames to 147 output frames; the header's rate fields and sizes are set.
bool Resample4844Linear(const std::string& track, const PassContext& ctx);

// The zeroth-order modified Bessel function of the first kind, by its power
// series (terms down to 1e-10).
double BesselI0(double x);

// How the high-precision method sums its taps. Every choice gives the same
// bytes; Reference is the plain loop over the taps in order, the others
// precompute the taps of each phase and run several outputs per SIMD
// register, each lane keeping the plain order. Lanes4Fused adds each
// product with one rounding (FMA), so its sums may differ from the plain
// ones in the last bits: a sum that lies so near a step of the output's
// rounding that the difference could matter is summed again the plain way.
enum class PreciseKernel { Auto, Reference, Lanes2, Lanes4, Lanes8, Lanes4Fused };
bool PreciseKernelSupported(PreciseKernel kernel);
// The fastest kernel the processor runs.
PreciseKernel BestPreciseKernel();
// "SSE2, 2 lanes", "AVX, 4 lanes", ... as the debug log names them.
const char* PreciseKernelName(PreciseKernel kernel);

// 48000 or 32000 Hz to 44100 Hz by a Kaiser-windowed sinc polyphase filter.
// `precision` 0 … 3 picks the cutoff and half-length of the built-in table;
// a non-zero `cutoff` (Hz) or `taps` (half-length, at most 65535) replaces
// them. `targetRate` must be 44100. False for any other format than 16-bit
// stereo PCM with a consistent byte rate, and for other input rates.
// The outputs of each block are shared among the context's threads; the
// bytes are those of the plain loop whatever the kernel and threads.
bool Resample4844Precise(const std::string& track, int precision, double cutoff, int taps,
                         int targetRate, const PassContext& ctx,
                         PreciseKernel kernel = PreciseKernel::Auto);

}  // namespace mivo
