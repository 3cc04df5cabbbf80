// The meters' share of the buffer handler: one drawn spectrum (both
// channels: transform, heights, 256 columns) and one drawn level display,
// against the length of one 1024-frame buffer at 44.1 kHz. The window only
// counts its rectangles, so that the meter's own work is what is measured.
//
// Drawing happens on every second buffer; each iteration feeds two buffers,
// the drawn one and the one in between (which only updates the holds). The
// counter buffer_percent is that (wall-clock) time in percent of one
// buffer's duration.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

#include "capture/level_meter.h"
#include "platform/ui/window.h"
#include "support/counting_window.h"

namespace mivo {
namespace {

constexpr std::uint32_t kFrames = 1024;
constexpr double kBufferSeconds = 1024.0 / 44100.0;

using testing::CountingWindow;

// Two tones with some harmonics, different on each channel.
std::vector<std::int16_t> MusicLike() {
  std::vector<std::int16_t> s(2 * kFrames);
  for (std::uint32_t i = 0; i < kFrames; ++i) {
    const double t = static_cast<double>(i) / 44100.0;
    const double l = 0.5 * std::sin(2 * std::numbers::pi * 440 * t) + 0.2 * std::sin(2 * std::numbers::pi * 1320 * t);
    const double r = 0.4 * std::sin(2 * std::numbers::pi * 660 * t) + 0.3 * std::sin(2 * std::numbers::pi * 5000 * t);
    s[2 * i] = static_cast<std::int16_t>(32767 * l);
    s[2 * i + 1] = static_cast<std::int16_t>(32767 * r);
  }
  return s;
}

// Times the benchmark's loop and sets buffer_percent from it.
class BufferShare {
 public:
  explicit BufferShare(benchmark::State& state) : m_state(state), m_start(std::chrono::steady_clock::now()) {}
  ~BufferShare() {
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - m_start;
    const double iterations = static_cast<double>(m_state.iterations());
    if (iterations > 0) m_state.counters["buffer_percent"] = 100.0 * elapsed.count() / iterations / kBufferSeconds;
  }
  BufferShare(const BufferShare&) = delete;
  BufferShare& operator=(const BufferShare&) = delete;

 private:
  benchmark::State& m_state;
  std::chrono::steady_clock::time_point m_start;
};

void RunMeter(benchmark::State& state, std::int32_t meterType) {
  const std::vector<std::int16_t> buffer = MusicLike();
  RecorderSettings settings;
  settings.RecMeterType = meterType;
  CountingWindow window;
  CLevelMeter meter;
  const BufferShare share(state);
  for (auto _ : state) {
    meter.OnBuffer(buffer.data(), kFrames, 52000, 45000, settings, window);  // drawn
    meter.OnBuffer(buffer.data(), kFrames, 52000, 45000, settings, window);  // in between
    benchmark::DoNotOptimize(window.fillSum);
  }
}

void BM_DrawnSpectrum(benchmark::State& state) { RunMeter(state, kMeterSpectrum); }
void BM_DrawnLevel(benchmark::State& state) { RunMeter(state, kMeterLevel); }

// The transform of one channel alone.
void BM_Fft1024(benchmark::State& state) {
  const std::vector<std::int16_t> buffer = MusicLike();
  const CIntegerFft fft;
  FftBuffer work;
  const BufferShare share(state);
  for (auto _ : state) {
    for (std::size_t i = 0; i < kFrames; ++i) {
      work.re[i] = buffer[2 * i] / 32;
      work.im[i] = 0;
    }
    fft.Transform(work);
    benchmark::DoNotOptimize(work.re.data());
  }
}

BENCHMARK(BM_DrawnSpectrum);
BENCHMARK(BM_DrawnLevel);
BENCHMARK(BM_Fft1024);

}  // namespace
}  // namespace mivo

BENCHMARK_MAIN();
