// The per-buffer handler at the default 1024 frames (scan, silence decision,
// write into a track file in a temporary folder), against the length of one
// buffer at 44.1 kHz; alone, and while a conversion runs as the recorder's
// worker runs it (idle class, the high-precision method on every
// processor).
#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "capture/capture_engine.h"
#include "capture/recorder_control.h"
#include "capture/silence_splitter.h"
#include "capture/track_writer.h"
#include "convert/conversion_queue.h"
#include "convert/sample_passes.h"
#include "platform/sync/thread.h"
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

// The worker converting tracks over and over while it lives: 30 s of
// 48 kHz noise through the high-precision method (precision 3) on every
// processor, at a worker priority (TransThreadPriority: -15, the idle
// class, by default; 0 normal).
class BackgroundConversion {
 public:
  BackgroundConversion(const std::string& folder, int priority)
      : m_original(folder + "/original.wav"), m_track(folder + "/music001.wav"), m_priority(priority) {
    m_ok = Write(m_original) && m_thread.Start([this] { Loop(); });
  }
  ~BackgroundConversion() {
    m_stop = true;
    m_thread.Join();
  }
  bool Ok() const { return m_ok; }
  int Passes() const { return m_passes.load(); }

 private:
  struct Quiet final : IProgress {
    void SetStageLabel(std::string_view) override {}
    void BeginTrackProgress(const std::int32_t*, int) override {}
    void BeginStage(std::int64_t) override {}
    void SetStagePos(std::int64_t) override {}
    void AdvanceStage(std::int64_t) override {}
    bool Cancelled() const override { return stop->load(); }
    const std::atomic<bool>* stop = nullptr;
  };

  static bool Write(const std::string& path) {
    constexpr std::uint32_t kFrames = 48000 * 30;
    std::vector<std::uint8_t> bytes(46 + std::size_t{kFrames} * 4, 0);
    std::uint8_t* h = bytes.data();
    std::memcpy(h, "RIFFxxxxWAVEfmt ", 16);
    PutLe32(h + 4, kFrames * 4 + 38);
    PutLe32(h + 16, 18);
    PutLe16(h + 20, 1);
    PutLe16(h + 22, 2);
    PutLe32(h + 24, 48000);
    PutLe32(h + 28, 48000 * 4);
    PutLe16(h + 32, 4);
    PutLe16(h + 34, 16);
    std::memcpy(h + 38, "data", 4);
    PutLe32(h + 42, kFrames * 4);
    std::uint32_t noise = 7;
    for (std::size_t i = 46; i < bytes.size(); i += 2) {
      noise = noise * 1664525u + 1013904223u;
      PutLe16(&bytes[i], static_cast<std::uint16_t>((noise >> 16) & 0x3FFF));
    }
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
  }

  void Loop() {
    static_cast<void>(platform::SetCurrentThreadPriority(m_priority));
    Quiet quiet;
    quiet.stop = &m_stop;
    PassContext ctx{quiet};
    ctx.threads = 0;
    while (!m_stop.load()) {
      std::error_code ec;
      std::filesystem::copy_file(m_original, m_track, std::filesystem::copy_options::overwrite_existing, ec);
      if (ec || !Resample4844Precise(m_track, 3, 0.0, 0, 44100, ctx)) break;
      ++m_passes;
    }
  }

  std::string m_original, m_track;
  int m_priority;
  std::atomic<bool> m_stop{false};
  std::atomic<int> m_passes{0};
  bool m_ok = false;
  platform::Thread m_thread;
};

// Recording: every buffer is scanned, found to carry sound and written.
// range(0): 0 alone; 1 while a conversion runs beside it at the worker's
// default priority, 2 at the normal one.
void BM_BufferHandlerRecording(benchmark::State& state) {
  TempDir dir, convertDir;
  std::unique_ptr<BackgroundConversion> conversion;
  if (state.range(0) != 0) {
    conversion = std::make_unique<BackgroundConversion>(convertDir.Path(), state.range(0) == 1 ? -15 : 0);
    if (!conversion->Ok()) {
      state.SkipWithError("cannot start the conversion");
      return;
    }
  }
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
  // Tracks the worker finished meanwhile (30 s each).
  if (conversion) state.counters["conversions"] = conversion->Passes();
}
BENCHMARK(BM_BufferHandlerRecording)->ArgName("converting")->Arg(0)->Arg(1)->Arg(2)->UseRealTime()->MinTime(2.0);

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
