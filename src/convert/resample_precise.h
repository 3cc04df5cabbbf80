// The high-precision method's filter and its summation, for the pass, the
// tests and the benchmarks.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "convert/sample_passes.h"

namespace mivo {

// A polyphase low-pass at the intermediate rate U × input = D × 44100:
// symmetric taps h[|k|], k = -N … N.
struct PreciseFilter {
  int U = 0;
  int D = 0;
  int N = 0;
  double fc = 0.0;
  std::vector<double> h;  // h[0 … N]
};

// Builds the filter for `inputRate` (32000 or 48000) at `precision` 0 … 3;
// a non-zero `cutoff` or `taps` replaces the table's value. False for
// anything the method does not do (the filter is left empty).
bool MakePreciseFilter(std::uint32_t inputRate, int precision, double cutoff, int taps,
                       PreciseFilter& filter);

// The filter of one (input rate, cutoff, half-length) and the taps of
// every phase laid out for a kernel's lanes.
struct PreciseTables;

// Tables built once and shared: by every pass of a program that uses the
// same filter and kernel, and by all threads of a pass. Safe to use from
// several threads. It keeps the few tables used last (a table still in use
// lives on until its pass ends).
class PreciseTableCache {
 public:
  PreciseTableCache();
  ~PreciseTableCache();
  PreciseTableCache(const PreciseTableCache&) = delete;
  PreciseTableCache& operator=(const PreciseTableCache&) = delete;

  // The tables for `kernel` (not Auto) of the filter MakePreciseFilter
  // would make from the same arguments; nullptr where it would fail.
  std::shared_ptr<const PreciseTables> Get(std::uint32_t inputRate, int precision, double cutoff, int taps,
                                           PreciseKernel kernel);
  // How many tables were built (not found) so far.
  int Builds() const;

 private:
  struct Entry;
  mutable std::mutex m_mtx;
  std::vector<Entry> m_entries;
  std::uint64_t m_uses = 0;
  int m_builds = 0;
};

// Output frames for `inputFrames` input frames: ⌈M × U ÷ D⌉.
std::int64_t PreciseOutputFrames(const PreciseFilter& filter, std::int64_t inputFrames);

// The filtered values (before the 255/256 scaling and rounding) of output
// frames first … first + count - 1 of an input held in memory (`frames`
// interleaved left, right). Frames outside the input count as silence.
// `recheck`: how near a step of the output's rounding a fused kernel's sum
// must lie to be summed again the plain way; 0 takes the proven bound of
// the difference (a larger one makes more sums, or all, go the plain way).
void PreciseFilterValues(const PreciseFilter& filter, PreciseKernel kernel, const std::int16_t* frames,
                         std::int64_t inputFrames, std::int64_t first, std::int64_t count, double* yL,
                         double* yR, double recheck = 0.0);

}  // namespace mivo
