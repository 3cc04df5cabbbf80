// What the wave-input tests share: known input signals and WAV files, a
// headless window that records the device's posts, a capture session over
// one device, and the real components (a private PulseAudio daemon, an ALSA
// configuration) with the environment pointing at them.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/ui/dialog.h"
#include "platform/ui/headless/headless_host.h"
#include "platform/wavein/wavein.h"
#include "support/child_process.h"
#include "test_folders.h"

namespace mivo::platform::test_support {

using namespace std::chrono_literals;

// ---------------------------------------------------------------------------
// Signals and files.

WAVEFORMATEX Pcm16(std::uint32_t rate, std::uint16_t channels);

// Deterministic noise, interleaved; no sample is zero, so the first frame of
// a played signal is told apart from the silence before it.
std::vector<std::int16_t> NoiseSignal(std::size_t frames, std::uint16_t channels, std::uint32_t seed);

// A canonical 44-byte-header WAV of `samples`.
std::string WavBytes(const std::vector<std::int16_t>& samples, std::uint32_t rate,
                     std::uint16_t channels);
std::string RawBytes(const std::vector<std::int16_t>& samples);
bool WriteFile(const std::string& path, const std::string& bytes);

// Little-endian pieces for hand-made headers.
std::string Le16(std::uint16_t v);
std::string Le32(std::uint32_t v);
std::string Chunk(const std::string& id, const std::string& body);

// ---------------------------------------------------------------------------
// Processes and threads.

using mivo::testing::Exited;
using mivo::testing::KillAndWait;
using mivo::testing::OnPath;
using mivo::testing::RunBounded;
using mivo::testing::Spawn;
int ThreadCount();

// ---------------------------------------------------------------------------
// A private PulseAudio daemon with the null sink "recsink"
// ("RecTestSink", its monitor "Monitor of RecTestSink").

class PulseDaemon {
 public:
  // The runtime and home folders are made here; the process's
  // XDG_RUNTIME_DIR and HOME point at them while this object lives, so that
  // the layer, pactl and paplay all reach this daemon.
  PulseDaemon();
  ~PulseDaemon();
  PulseDaemon(const PulseDaemon&) = delete;
  PulseDaemon& operator=(const PulseDaemon&) = delete;

  // Starts the daemon and waits until it answers (at most a few seconds).
  bool Start(std::string* error);
  // Ends it by its PID: SIGKILL stands for a crash.
  void Kill(int sig);
  bool Running() const { return m_pid > 0; }
  // Runs pactl with these arguments; true when it succeeded.
  bool Pactl(const std::vector<std::string>& args) const;
  // Plays a WAV file into recsink; the player ends with the file or when killed.
  pid_t Play(const std::string& wavPath) const;

  static bool Available(std::string* why);

 private:
  TempFolder m_runtime;
  TempFolder m_home;
  ScopedEnv m_envRuntime;
  ScopedEnv m_envHome;
  ScopedEnv m_envServer;
  ScopedEnv m_envDisplay;
  pid_t m_pid = -1;
};

// ---------------------------------------------------------------------------
// A headless window recording what the device posts, and a capture session.

struct Posted {
  unsigned msg;
  std::uintptr_t wParam;
  std::intptr_t lParam;
};

class RecorderDialog final : public ui::CDialog {
 public:
  RecorderDialog();
  void OnMessage(unsigned msg, std::uintptr_t wParam, std::intptr_t lParam) override;

  std::vector<Posted> posted;
  std::function<void(const Posted&)> onPosted;
};

class Capture {
 public:
  explicit Capture(IWaveIn& wave);
  ~Capture();  // stops, resets, unprepares and closes what is still open
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  MMRESULT Open(unsigned deviceId, const WAVEFORMATEX& format);
  HWAVEIN Handle() const { return m_hwi; }
  IWaveIn& Wave() { return m_wave; }
  ui::IWindow* Window() { return m_window; }

  // Allocates `count` headers of `frames` frames (of the open format),
  // prepares and adds them.
  void Queue(unsigned count, std::uint32_t frames);
  const std::vector<std::unique_ptr<WAVEHDR>>& Headers() const { return m_headers; }

  // Keep every returned buffer's samples (in Data()) and queue it again.
  void Recirculate(bool on) { m_bRecirculate = on; }
  const std::vector<std::int16_t>& Data() const { return m_data; }

  void Pump();
  bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
  void PumpFor(std::chrono::milliseconds duration);

  // MM_WIM_DATA lParams and the count of MM_WIM_STATUS, in arrival order.
  std::vector<WAVEHDR*> Returned() const;
  std::size_t DataPosts() const;
  std::size_t StatusPosts() const;
  const std::vector<Posted>& AllPosts() const { return m_dialog.posted; }
  WaveInStatus Status();

  // waveInStop, waveInReset, pump, unprepare every header, waveInClose.
  MMRESULT Close();

  // The samples of the buffers returned so far, in order.
  std::vector<std::int16_t> ReturnedSamples() const;

 private:
  IWaveIn& m_wave;
  ui::HeadlessHost m_host;
  RecorderDialog m_dialog;
  ui::HeadlessWindow* m_window = nullptr;
  HWAVEIN m_hwi = nullptr;
  std::uint32_t m_blockAlign = 4;
  std::vector<std::unique_ptr<WAVEHDR>> m_headers;
  std::vector<std::unique_ptr<char[]>> m_blocks;
  bool m_bRecirculate = false;
  std::vector<std::int16_t> m_data;
};

// Index of the first frame with a non-zero sample, or npos.
std::size_t FirstNonZeroFrame(const std::vector<std::int16_t>& samples, std::uint16_t channels);

}  // namespace mivo::platform::test_support
