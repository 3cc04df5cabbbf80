// The backends the contract tests run against, each with the environment it
// needs in this test process: the file input, the demo signal, a private
// PulseAudio daemon, and ALSA reading a raw file through its `file` PCM.
//
// Every environment points XDG_RUNTIME_DIR, HOME and ALSA_CONFIG_PATH at
// folders of its own and unsets PULSE_SERVER and DISPLAY (libpulse finds a
// desktop's server through the X display too), so that no sound server of
// the machine running the tests takes part.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/wavein/wavein.h"
#include "test_folders.h"
#include "wavein_test_support.h"

namespace mivo::platform::test_support {

// The frames of the known input signal (1.5 s at 44.1 kHz).
inline constexpr std::size_t kInputFrames = 66150;
inline constexpr std::uint32_t kRate = 44100;

// No sound server and an ALSA whose default PCM does not open: a machine
// without any input.
class NoSystemInput {
 public:
  NoSystemInput();

 private:
  TempFolder m_folder;
  ScopedEnv m_runtime;
  ScopedEnv m_home;
  ScopedEnv m_server;
  ScopedEnv m_display;
  ScopedEnv m_alsa;
};

class BackendEnv {
 public:
  virtual ~BackendEnv() = default;

  // Empty when the backend is ready; otherwise why not. Skipped() tells
  // whether the test is then skipped (a missing program) or failed.
  virtual std::string SetUp() = 0;
  virtual bool Skipped() const { return false; }

  virtual WaveInOptions Options() const { return {}; }
  // The device the cases capture from (WAVE_MAPPER or an index).
  virtual unsigned DeviceId(IWaveIn& wave) const = 0;
  virtual std::string DeviceName() const = 0;
  virtual bool Demo() const { return false; }
  // Checks what the whole list must hold for this backend.
  virtual void CheckList(const std::vector<std::string>& names) const = 0;

  WAVEFORMATEX Format() const { return Pcm16(kRate, 2); }
  // Whether the device opens formats other than Format() (the file does not).
  virtual bool TakesOtherFormats() const { return true; }

  // What the device delivers, from its first frame or (AlignsOnFirstNonZero)
  // from its first non-zero one: `frames` frames of Format().
  virtual std::vector<std::int16_t> Expected(std::size_t frames) const = 0;
  virtual bool AlignsOnFirstNonZero() const { return false; }
  // Delivered at real-time pace by the layer itself.
  virtual bool Paced() const { return true; }
  // How late the first buffer may come after the start.
  virtual std::chrono::milliseconds FirstDataWithin() const { return std::chrono::seconds(2); }

  // The input begins to sound (paplay) / stops.
  virtual void StartInput() {}
  virtual void StopInput() {}
};

class FileEnv final : public BackendEnv {
 public:
  static constexpr const char* kName = "File";
  std::string SetUp() override;
  WaveInOptions Options() const override;
  unsigned DeviceId(IWaveIn&) const override { return WAVE_MAPPER; }
  std::string DeviceName() const override { return "ファイル: input.wav"; }
  void CheckList(const std::vector<std::string>& names) const override;
  bool TakesOtherFormats() const override { return false; }
  std::vector<std::int16_t> Expected(std::size_t frames) const override;

 private:
  std::unique_ptr<NoSystemInput> m_none;
  TempFolder m_folder;
  std::vector<std::int16_t> m_input;
};

class DemoEnv final : public BackendEnv {
 public:
  static constexpr const char* kName = "Demo";
  std::string SetUp() override;
  unsigned DeviceId(IWaveIn& wave) const override { return wave.waveInGetNumDevs() - 1; }
  std::string DeviceName() const override;
  bool Demo() const override { return true; }
  void CheckList(const std::vector<std::string>& names) const override;
  std::vector<std::int16_t> Expected(std::size_t frames) const override;

 private:
  std::unique_ptr<NoSystemInput> m_none;
};

class PulseEnv final : public BackendEnv {
 public:
  static constexpr const char* kName = "Pulse";
  ~PulseEnv() override;
  std::string SetUp() override;
  bool Skipped() const override { return m_bSkipped; }
  unsigned DeviceId(IWaveIn& wave) const override;
  std::string DeviceName() const override { return "Monitor of RecTestSink"; }
  void CheckList(const std::vector<std::string>& names) const override;
  std::vector<std::int16_t> Expected(std::size_t frames) const override;
  bool AlignsOnFirstNonZero() const override { return true; }
  bool Paced() const override { return false; }
  // An idle monitor delivers its first data about 1.3 s late.
  std::chrono::milliseconds FirstDataWithin() const override { return std::chrono::seconds(5); }
  void StartInput() override;
  void StopInput() override;

  PulseDaemon& Daemon() { return *m_daemon; }
  const std::string& InputWav() const { return m_wav; }

 private:
  bool m_bSkipped = false;
  std::unique_ptr<PulseDaemon> m_daemon;
  std::unique_ptr<ScopedEnv> m_alsa;
  TempFolder m_folder;
  std::string m_wav;
  std::vector<std::int16_t> m_input;
  pid_t m_player = -1;
};

class AlsaEnv final : public BackendEnv {
 public:
  static constexpr const char* kName = "Alsa";
  std::string SetUp() override;
  unsigned DeviceId(IWaveIn&) const override { return WAVE_MAPPER; }
  std::string DeviceName() const override { return "既定の入力 (ALSA default)"; }
  void CheckList(const std::vector<std::string>& names) const override;
  std::vector<std::int16_t> Expected(std::size_t frames) const override;
  // The `file` PCM reads as fast as it is asked.
  bool Paced() const override { return false; }

 private:
  TempFolder m_folder;
  std::unique_ptr<ScopedEnv> m_runtime, m_home, m_server, m_display, m_alsa;
  std::vector<std::int16_t> m_input;
};

// Samples `input` followed by zeros up to `frames` frames.
std::vector<std::int16_t> PaddedWithZeros(const std::vector<std::int16_t>& input,
                                          std::size_t frames, std::uint16_t channels);

}  // namespace mivo::platform::test_support
