// The per-buffer handler at the default 1024 frames (scan, silence decision,
// write into a track file in a temporary folder), against the length of one
// buffer at 44.1 kHz.
#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "capture/capture_engine.h"
#include "capture/recorder_control.h"
#include "capture/silence_splitter.h"
#include "capture/track_writer.h"
#include "convert/conversion_queue.h"
#include "platform/ui/headless/headless_host.h"
#include "settings/debug_log.h"
#include "settings/recorder_ids.h"
#include "settings/recorder_settings.h"

namespace mivo {
namespace {

constexpr std::uint32_t kFrames = 1024;
constexpr double kBufferSeconds = 1024.0 / 44100.0;

// A device that returns the oldest queued buffer as it is: the buffers are
// filled once with a music-like signal, so that the handler's own work is
// all that is measured.
class LoopWaveIn final : public platform::IWaveIn {
 public:
  platform::WAVEHDR* Next() {
    if (m_count == 0) return nullptr;
    platform::WAVEHDR* h = m_ring[m_head];
    m_head = (m_head + 1) % m_ring.size();
    --m_count;
    return h;
  }
  platform::HWAVEIN Handle() { return reinterpret_cast<platform::HWAVEIN>(&m_token); }

  unsigned waveInGetNumDevs() override { return 0; }
  platform::MMRESULT waveInGetDevCaps(unsigned, platform::WAVEINCAPS*) override { return platform::MMSYSERR_BADDEVICEID; }
  platform::MMRESULT waveInOpen(platform::HWAVEIN* phwi, unsigned, const platform::WAVEFORMATEX&, ui::IWindow*) override {
    *phwi = Handle();
    return platform::MMSYSERR_NOERROR;
  }
  platform::MMRESULT waveInPrepareHeader(platform::HWAVEIN, platform::WAVEHDR*) override { return 0; }
  platform::MMRESULT waveInUnprepareHeader(platform::HWAVEIN, platform::WAVEHDR*) override { return 0; }
  platform::MMRESULT waveInAddBuffer(platform::HWAVEIN, platform::WAVEHDR* h) override {
    if (h->dwUser == 0) {
      // Two tones, different on each channel, well above any threshold.
      auto* s = reinterpret_cast<std::int16_t*>(h->lpData);
      for (std::uint32_t i = 0; i < h->dwBufferLength / 4; ++i) {
        const double t = static_cast<double>(m_filled++) / 44100.0;
        s[2 * i] = static_cast<std::int16_t>(12000 * std::sin(2 * M_PI * 440 * t));
        s[2 * i + 1] = static_cast<std::int16_t>(9000 * std::sin(2 * M_PI * 660 * t));
      }
      h->dwUser = 1;
    }
    m_ring[(m_head + m_count) % m_ring.size()] = h;
    ++m_count;
    return 0;
  }
  platform::MMRESULT waveInStart(platform::HWAVEIN) override { return 0; }
  platform::MMRESULT waveInStop(platform::HWAVEIN) override { return 0; }
  platform::MMRESULT waveInReset(platform::HWAVEIN) override {
    m_count = 0;
    return 0;
  }
  platform::MMRESULT waveInClose(platform::HWAVEIN) override { return 0; }
  platform::MMRESULT waveInGetStatus(platform::HWAVEIN, platform::WaveInStatus*) override { return 0; }

 private:
  std::array<platform::WAVEHDR*, kRingSize> m_ring{};
  std::size_t m_head = 0;
  std::size_t m_count = 0;
  std::uint64_t m_filled = 0;
  char m_token = 0;
};

const ui::DialogTemplate& StatusTemplate() {
  static const ui::DialogTemplate t = [] {
    ui::DialogTemplate d;
    for (int id : {IDC_STATUS, IDC_TRACKFILE, IDC_TEMPFOLDER, IDC_REMAINING, IDC_SKIP}) {
      d.controls.push_back(ui::ControlTemplate{id, ui::ControlKind::Edit, "", {}, 0, 0});
    }
    return d;
  }();
  return t;
}

class BenchRecorder final : public IRecorderControl, public ICaptureClient {
 public:
  explicit BenchRecorder(const std::string& folder) {
    m_settings.RecTempFolder = folder;
    m_w = &m_host.Open(m_dialog);
    m_writer.SetFormat(platform::WAVEFORMATEX{}, kFrames);
    m_writer.SetMaxDataBytes(std::uint64_t{64} << 20);  // a new track every 16384 buffers
    std::string name;
    m_ok = m_engine.Open(platform::WAVEFORMATEX{}, kFrames, name, *m_w) == OpenOutcome::Opened;
  }
  ~BenchRecorder() override {
    m_engine.Close();
    m_writer.Close();
    m_host.Destroy(*m_w);
  }
  bool Ok() const { return m_ok; }
  bool Rec() {
    m_bRecording = true;
    return m_writer.Open();
  }
  // One MM_WIM_DATA, as the window delivers it.
  void OneBuffer() {
    platform::WAVEHDR* h = m_wavein.Next();
    m_engine.OnBufferDone(reinterpret_cast<std::uintptr_t>(m_wavein.Handle()), reinterpret_cast<std::intptr_t>(h), *this);
  }
  // Tracks closed at the size limit: removed between measurements.
  bool TracksWaiting() const { return m_writer.TrackNo() != m_nLastTrack; }
  void RemoveClosedTracks() {
    std::lock_guard lock(m_queue.m_mtxQueue);
    for (const std::string& f : m_queue.m_arrQueueFile) {
      std::error_code ec;
      std::filesystem::remove(f, ec);
    }
    while (!m_queue.EmptyLocked()) m_queue.PopFrontLocked();
    m_nLastTrack = m_writer.TrackNo();
  }

  ui::IWindow& Window() override { return *m_w; }
  bool IsRecording() const override { return m_bRecording; }
  bool IsSkip() const override { return false; }
  void EndSkip() override {}
  void Stop() override {
    m_bRecording = false;
    m_writer.Close();
  }
  void OnCapturedBuffer(const CapturedBuffer& buffer) override { m_splitter.OnBuffer(buffer); }

 private:
  class Dialog final : public ui::CDialog {
   public:
    Dialog() : ui::CDialog(StatusTemplate()) {}
  };

  RecorderSettings m_settings;
  ConversionQueue m_queue;
  DebugLog m_log;
  ui::HeadlessHost m_host;
  Dialog m_dialog;
  ui::HeadlessWindow* m_w = nullptr;
  LoopWaveIn m_wavein;
  CaptureEngine m_engine{&m_wavein};
  TrackWriter m_writer{m_settings, m_queue, m_log, *this};
  SilenceSplitter m_splitter{m_settings, m_writer, *this};
  bool m_bRecording = false;
  bool m_ok = false;
  int m_nLastTrack = 1;
};

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "mivo-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) m_path = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    if (!m_path.empty()) std::filesystem::remove_all(m_path, ec);
  }
  const std::string& Path() const { return m_path; }

 private:
  std::string m_path;
};

using Clock = std::chrono::steady_clock;

// Wall time per buffer, in microseconds and as a share of one buffer's
// duration: the handler runs on the window's thread, so wall time counts.
void SetCounters(benchmark::State& state, Clock::duration measured) {
  const double perBuffer =
      std::chrono::duration<double>(measured).count() / static_cast<double>(state.iterations());
  state.counters["us_per_buffer"] = perBuffer * 1e6;
  state.counters["percent_of_buffer"] = perBuffer / kBufferSeconds * 100.0;
}

// Recording: every buffer is scanned, found to carry sound and written.
void BM_BufferHandlerRecording(benchmark::State& state) {
  TempDir dir;
  BenchRecorder rec(dir.Path());
  if (dir.Path().empty() || !rec.Ok() || !rec.Rec()) {
    state.SkipWithError("cannot set up the capture side in a temporary folder");
    return;
  }
  Clock::duration paused{};
  const Clock::time_point start = Clock::now();
  for (auto _ : state) {
    rec.OneBuffer();
    if (rec.TracksWaiting()) {
      state.PauseTiming();
      const Clock::time_point p = Clock::now();
      rec.RemoveClosedTracks();
      paused += Clock::now() - p;
      state.ResumeTiming();
    }
  }
  SetCounters(state, Clock::now() - start - paused);
}
BENCHMARK(BM_BufferHandlerRecording)->UseRealTime();

// Stopped: the scan and the silence decision only, as between recordings.
void BM_BufferHandlerStopped(benchmark::State& state) {
  TempDir dir;
  BenchRecorder rec(dir.Path());
  if (!rec.Ok()) {
    state.SkipWithError("cannot set up the capture side");
    return;
  }
  const Clock::time_point start = Clock::now();
  for (auto _ : state) rec.OneBuffer();
  SetCounters(state, Clock::now() - start);
}
BENCHMARK(BM_BufferHandlerStopped)->UseRealTime();

}  // namespace
}  // namespace mivo

BENCHMARK_MAIN();
