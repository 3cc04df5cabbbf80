#include "backend_envs.h"

#include <signal.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "platform/wavein/demo_signal.h"

namespace mivo::platform::test_support {
namespace {

constexpr const char* kSystemAlsaConf = "/usr/share/alsa/alsa.conf";

// An ALSA configuration: the system's, then `rc` on top of it.
std::string AlsaConfigPath(const std::string& rc) { return std::string(kSystemAlsaConf) + ":" + rc; }

}  // namespace

std::vector<std::int16_t> PaddedWithZeros(const std::vector<std::int16_t>& input,
                                          std::size_t frames, std::uint16_t channels) {
  std::vector<std::int16_t> out(frames * channels, 0);
  std::copy_n(input.begin(), std::min(input.size(), out.size()), out.begin());
  return out;
}

NoSystemInput::NoSystemInput()
    : m_runtime("XDG_RUNTIME_DIR", m_folder.Path().c_str()),
      m_home("HOME", m_folder.Path().c_str()),
      m_server("PULSE_SERVER", nullptr),
      m_display("DISPLAY", nullptr),
      m_alsa("ALSA_CONFIG_PATH", AlsaConfigPath(m_folder / "asoundrc").c_str()) {
  // A default PCM on a card that is not there.
  WriteFile(m_folder / "asoundrc", "pcm.!default {\n  type hw\n  card 99\n}\n");
}

// ---------------------------------------------------------------------------

std::string FileEnv::SetUp() {
  m_none = std::make_unique<NoSystemInput>();
  m_input = NoiseSignal(kInputFrames, 2, 1);
  if (!WriteFile(m_folder / "input.wav", WavBytes(m_input, kRate, 2))) return "cannot write input.wav";
  return {};
}

WaveInOptions FileEnv::Options() const {
  WaveInOptions o;
  o.inputFile = m_folder / "input.wav";
  return o;
}

void FileEnv::CheckList(const std::vector<std::string>& names) const {
  ASSERT_FALSE(names.empty());
  EXPECT_EQ(names.front(), "ファイル: input.wav");
}

std::vector<std::int16_t> FileEnv::Expected(std::size_t frames) const {
  return PaddedWithZeros(m_input, frames, 2);
}

// ---------------------------------------------------------------------------

std::string DemoEnv::SetUp() {
  m_none = std::make_unique<NoSystemInput>();
  return {};
}

std::string DemoEnv::DeviceName() const { return kDemoDeviceName; }

void DemoEnv::CheckList(const std::vector<std::string>& names) const {
  // Nothing else to capture from: the demo signal is all there is.
  EXPECT_EQ(names, std::vector<std::string>{kDemoDeviceName});
}

std::vector<std::int16_t> DemoEnv::Expected(std::size_t frames) const {
  std::vector<std::int16_t> out(frames * 2);
  DemoSignal(kRate, 2).Render(0, reinterpret_cast<char*>(out.data()), frames);
  return out;
}

// ---------------------------------------------------------------------------

PulseEnv::~PulseEnv() {
  StopInput();
  m_daemon.reset();  // killed by its PID
}

std::string PulseEnv::SetUp() {
  std::string why;
  if (!PulseDaemon::Available(&why)) {
    m_bSkipped = true;
    return why;
  }
  m_daemon = std::make_unique<PulseDaemon>();
  // ALSA is not wanted here: should the daemon not answer, the layer must not
  // find a card of the machine instead.
  WriteFile(m_folder / "asoundrc", "pcm.!default {\n  type hw\n  card 99\n}\n");
  m_alsa = std::make_unique<ScopedEnv>("ALSA_CONFIG_PATH", AlsaConfigPath(m_folder / "asoundrc").c_str());
  m_input = NoiseSignal(kInputFrames, 2, 3);
  m_wav = m_folder / "input.wav";
  // Half a second of silence first: when a stream starts, the sink rewinds
  // to mix it in at once, and the monitor never sees what was rewritten.
  std::vector<std::int16_t> played(kRate, 0);
  played.insert(played.end(), m_input.begin(), m_input.end());
  if (!WriteFile(m_wav, WavBytes(played, kRate, 2))) return "cannot write input.wav";
  std::string error;
  if (!m_daemon->Start(&error)) return error;
  return {};
}

unsigned PulseEnv::DeviceId(IWaveIn& wave) const {
  const unsigned n = wave.waveInGetNumDevs();
  for (unsigned i = 0; i < n; ++i) {
    WAVEINCAPS caps;
    if (wave.waveInGetDevCaps(i, &caps) == MMSYSERR_NOERROR && caps.szPname == DeviceName()) return i;
  }
  ADD_FAILURE() << "no device named " << DeviceName();
  return n;
}

void PulseEnv::CheckList(const std::vector<std::string>& names) const {
  // The server's sources; no demo signal where there is a real input.
  EXPECT_EQ(names, std::vector<std::string>{"Monitor of RecTestSink"});
}

std::vector<std::int16_t> PulseEnv::Expected(std::size_t frames) const {
  return PaddedWithZeros(m_input, frames, 2);
}

void PulseEnv::StartInput() {
  StopInput();
  m_player = m_daemon->Play(m_wav);
  ASSERT_GT(m_player, 0) << "cannot start paplay";
}

void PulseEnv::StopInput() {
  if (m_player > 0) KillAndWait(m_player, SIGTERM);
  m_player = -1;
}

// ---------------------------------------------------------------------------

std::string AlsaEnv::SetUp() {
  // An empty runtime folder: no PulseAudio server, so the layer uses ALSA.
  m_runtime = std::make_unique<ScopedEnv>("XDG_RUNTIME_DIR", m_folder.Path().c_str());
  m_home = std::make_unique<ScopedEnv>("HOME", m_folder.Path().c_str());
  m_server = std::make_unique<ScopedEnv>("PULSE_SERVER", nullptr);
  m_display = std::make_unique<ScopedEnv>("DISPLAY", nullptr);
  m_input = NoiseSignal(kInputFrames, 2, 2);
  if (!WriteFile(m_folder / "input.raw", RawBytes(m_input))) return "cannot write input.raw";
  const std::string rc =
      "pcm.!default {\n"
      "  type file\n"
      "  slave.pcm \"null\"\n"
      "  file \"/dev/null\"\n"
      "  infile \"" + m_folder / "input.raw" + "\"\n"
      "  format \"raw\"\n"
      "}\n";
  if (!WriteFile(m_folder / "asoundrc", rc)) return "cannot write asoundrc";
  m_alsa = std::make_unique<ScopedEnv>("ALSA_CONFIG_PATH", AlsaConfigPath(m_folder / "asoundrc").c_str());
  return {};
}

void AlsaEnv::CheckList(const std::vector<std::string>& names) const {
  // No server answers: nothing of PulseAudio, the cards (none on a machine
  // without sound hardware), and no demo signal: the default PCM captures.
  for (const std::string& n : names) {
    EXPECT_EQ(n.find("Monitor of"), std::string::npos) << n;
    EXPECT_NE(n, kDemoDeviceName);
  }
}

std::vector<std::int16_t> AlsaEnv::Expected(std::size_t frames) const {
  return PaddedWithZeros(m_input, frames, 2);
}

}  // namespace mivo::platform::test_support
