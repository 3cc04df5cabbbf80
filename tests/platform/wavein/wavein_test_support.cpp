#include "wavein_test_support.h"

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <thread>

namespace mivo::platform::test_support {

WAVEFORMATEX Pcm16(std::uint32_t rate, std::uint16_t channels) {
  WAVEFORMATEX f;
  f.wFormatTag = 1;
  f.nChannels = channels;
  f.nSamplesPerSec = rate;
  f.wBitsPerSample = 16;
  f.nBlockAlign = static_cast<std::uint16_t>(channels * 2);
  f.nAvgBytesPerSec = rate * f.nBlockAlign;
  f.cbSize = 0;
  return f;
}

std::vector<std::int16_t> NoiseSignal(std::size_t frames, std::uint16_t channels, std::uint32_t seed) {
  std::vector<std::int16_t> s(frames * channels);
  std::uint32_t x = seed * 2654435761u + 1;
  for (auto& v : s) {
    x = x * 1664525u + 1013904223u;
    int n = static_cast<int>((x >> 16) % 16001) - 8000;  // -8000 .. 8000
    if (n == 0) n = 1;
    v = static_cast<std::int16_t>(n);
  }
  return s;
}

std::string Le16(std::uint16_t v) {
  return std::string{static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)};
}
std::string Le32(std::uint32_t v) {
  return Le16(static_cast<std::uint16_t>(v & 0xFFFF)) + Le16(static_cast<std::uint16_t>(v >> 16));
}
std::string Chunk(const std::string& id, const std::string& body) {
  std::string c = id + Le32(static_cast<std::uint32_t>(body.size())) + body;
  if (body.size() % 2 != 0) c.push_back('\0');
  return c;
}

std::string RawBytes(const std::vector<std::int16_t>& samples) {
  std::string b;
  b.reserve(samples.size() * 2);
  for (std::int16_t v : samples) b += Le16(static_cast<std::uint16_t>(v));
  return b;
}

std::string WavBytes(const std::vector<std::int16_t>& samples, std::uint32_t rate,
                     std::uint16_t channels) {
  const std::string fmt = Le16(1) + Le16(channels) + Le32(rate) + Le32(rate * channels * 2) +
                          Le16(static_cast<std::uint16_t>(channels * 2)) + Le16(16);
  const std::string body = "WAVE" + Chunk("fmt ", fmt) + Chunk("data", RawBytes(samples));
  return "RIFF" + Le32(static_cast<std::uint32_t>(body.size())) + body;
}

bool WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

// ---------------------------------------------------------------------------

int ThreadCount() {
  int n = 0;
  if (DIR* d = ::opendir("/proc/self/task")) {
    while (const dirent* e = ::readdir(d)) {
      if (e->d_name[0] != '.') ++n;
    }
    ::closedir(d);
  }
  return n;
}

// ---------------------------------------------------------------------------

PulseDaemon::PulseDaemon()
    : m_envRuntime("XDG_RUNTIME_DIR", m_runtime.Path().c_str()),
      m_envHome("HOME", m_home.Path().c_str()),
      m_envServer("PULSE_SERVER", nullptr),
      m_envDisplay("DISPLAY", nullptr) {}

PulseDaemon::~PulseDaemon() { Kill(SIGTERM); }

bool PulseDaemon::Available(std::string* why) {
  for (const char* p : {"pulseaudio", "paplay", "pactl"}) {
    if (!OnPath(p)) {
      *why = std::string(p) + " is not installed (packages pulseaudio, pulseaudio-utils)";
      return false;
    }
  }
  return true;
}

bool PulseDaemon::Start(std::string* error) {
  m_pid = Spawn({"pulseaudio", "--daemonize=no", "--exit-idle-time=-1", "-n",
                 "--load=module-native-protocol-unix",
                 "--load=module-null-sink sink_name=recsink "
                 "sink_properties=device.description=RecTestSink",
                 "--log-target=file:" + m_runtime / "pa.log"},
                m_runtime / "pa.out");
  if (m_pid <= 0) {
    *error = "cannot start pulseaudio";
    return false;
  }
  const auto end = std::chrono::steady_clock::now() + 10s;
  while (std::chrono::steady_clock::now() < end) {
    if (Exited(m_pid)) {
      m_pid = -1;
      *error = "pulseaudio ended at start (see its log)";
      return false;
    }
    if (Pactl({"info"})) return true;
    std::this_thread::sleep_for(20ms);
  }
  *error = "pulseaudio does not answer";
  return false;
}

void PulseDaemon::Kill(int sig) {
  KillAndWait(m_pid, sig);
  m_pid = -1;
}

bool PulseDaemon::Pactl(const std::vector<std::string>& args) const {
  std::vector<std::string> argv{"pactl"};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunBounded(argv, 5);
}

pid_t PulseDaemon::Play(const std::string& wavPath) const {
  return Spawn({"paplay", "-d", "recsink", wavPath}, m_runtime / "paplay.out");
}

// ---------------------------------------------------------------------------

namespace {
const ui::DialogTemplate& RecorderTemplate() {
  static const ui::DialogTemplate t = [] {
    ui::DialogTemplate d;
    d.id = 9100;
    d.title = "wavein test";
    d.width = 100;
    d.height = 50;
    return d;
  }();
  return t;
}
}  // namespace

RecorderDialog::RecorderDialog() : CDialog(RecorderTemplate()) {}

void RecorderDialog::OnMessage(unsigned msg, std::uintptr_t wParam, std::intptr_t lParam) {
  posted.push_back({msg, wParam, lParam});
  if (onPosted) onPosted(posted.back());
}

Capture::Capture(IWaveIn& wave) : m_wave(wave) {
  m_window = &m_host.Open(m_dialog);
  m_dialog.onPosted = [this](const Posted& p) {
    if (p.msg != MM_WIM_DATA || !m_bRecirculate || m_hwi == nullptr) return;
    auto* hdr = reinterpret_cast<WAVEHDR*>(p.lParam);
    const auto* s = reinterpret_cast<const std::int16_t*>(hdr->lpData);
    m_data.insert(m_data.end(), s, s + hdr->dwBytesRecorded / 2);
    m_wave.waveInAddBuffer(m_hwi, hdr);
  };
}

Capture::~Capture() {
  if (m_hwi != nullptr) Close();
  m_host.Destroy(*m_window);
}

MMRESULT Capture::Open(unsigned deviceId, const WAVEFORMATEX& format) {
  m_blockAlign = format.nBlockAlign;
  return m_wave.waveInOpen(&m_hwi, deviceId, format, m_window);
}

void Capture::Queue(unsigned count, std::uint32_t frames) {
  const std::uint32_t bytes = frames * m_blockAlign;
  for (unsigned i = 0; i < count; ++i) {
    auto block = std::make_unique<char[]>(bytes);
    auto hdr = std::make_unique<WAVEHDR>();
    hdr->lpData = block.get();
    hdr->dwBufferLength = bytes;
    m_wave.waveInPrepareHeader(m_hwi, hdr.get());
    m_wave.waveInAddBuffer(m_hwi, hdr.get());
    m_blocks.push_back(std::move(block));
    m_headers.push_back(std::move(hdr));
  }
}

void Capture::Pump() { m_window->PumpMessages(); }

bool Capture::PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    Pump();
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(2ms);
  }
}

void Capture::PumpFor(std::chrono::milliseconds duration) {
  PumpUntil([] { return false; }, duration);
}

std::vector<WAVEHDR*> Capture::Returned() const {
  std::vector<WAVEHDR*> r;
  for (const Posted& p : m_dialog.posted) {
    if (p.msg == MM_WIM_DATA) r.push_back(reinterpret_cast<WAVEHDR*>(p.lParam));
  }
  return r;
}

std::size_t Capture::DataPosts() const {
  std::size_t n = 0;
  for (const Posted& p : m_dialog.posted) n += p.msg == MM_WIM_DATA;
  return n;
}

std::size_t Capture::StatusPosts() const {
  std::size_t n = 0;
  for (const Posted& p : m_dialog.posted) n += p.msg == MM_WIM_STATUS;
  return n;
}

WaveInStatus Capture::Status() {
  WaveInStatus st;
  m_wave.waveInGetStatus(m_hwi, &st);
  return st;
}

MMRESULT Capture::Close() {
  m_bRecirculate = false;
  m_wave.waveInStop(m_hwi);
  m_wave.waveInReset(m_hwi);
  Pump();
  for (const auto& h : m_headers) m_wave.waveInUnprepareHeader(m_hwi, h.get());
  const MMRESULT r = m_wave.waveInClose(m_hwi);
  if (r == MMSYSERR_NOERROR) m_hwi = nullptr;
  return r;
}

std::vector<std::int16_t> Capture::ReturnedSamples() const {
  std::vector<std::int16_t> out;
  for (const WAVEHDR* h : Returned()) {
    const auto* s = reinterpret_cast<const std::int16_t*>(h->lpData);
    out.insert(out.end(), s, s + h->dwBytesRecorded / 2);
  }
  return out;
}

std::size_t FirstNonZeroFrame(const std::vector<std::int16_t>& samples, std::uint16_t channels) {
  for (std::size_t i = 0; i < samples.size(); ++i) {
    if (samples[i] != 0) return i / channels;
  }
  return static_cast<std::size_t>(-1);
}

}  // namespace mivo::platform::test_support
