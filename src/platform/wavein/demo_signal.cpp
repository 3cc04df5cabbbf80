#include "platform/wavein/demo_signal.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <utility>

#include "platform/wavein/paced_device.h"

namespace mivo::platform {
namespace {

struct Phrase {
  double seconds;
  int notes[8];  // MIDI note numbers of the melody
  int count;
  int bass;      // held under the whole phrase
};

constexpr Phrase kPhrases[] = {
    {3.0, {60, 64, 67, 72, 67, 64}, 6, 48},
    {4.0, {57, 60, 64, 69, 72, 69, 64, 60}, 8, 45},
    {2.5, {62, 66, 69, 74, 69}, 5, 50},
    {3.5, {55, 59, 62, 67, 71, 67, 62}, 7, 43},
};

// Harmonic amplitudes: the right channel has a different timbre.
constexpr double kLeftHarmonics[] = {1.0, 0.5, 0.3, 0.15};
constexpr double kRightHarmonics[] = {1.0, 0.35, 0.4, 0.1};
constexpr double kRightDetune = 1.0015;
constexpr double kAttack = 0.01;    // s
constexpr double kDecay = 0.4;      // s, time constant
constexpr double kRelease = 0.03;   // s, to exactly zero at the note's end
constexpr double kScale = 9000.0;

double NoteHz(int note) { return 440.0 * std::pow(2.0, (note - 69) / 12.0); }

double Voice(const double (&harmonics)[4], double hz, double t) {
  double v = 0.0;
  for (int h = 0; h < 4; ++h) {
    v += harmonics[h] * std::sin(2.0 * std::numbers::pi * (h + 1) * hz * t);
  }
  return v;
}

std::int16_t Quantize(double v) {
  return static_cast<std::int16_t>(std::clamp(std::lround(v * kScale), -32767L, 32767L));
}

void Put(char* out, std::int16_t s) {
  const auto u = static_cast<std::uint16_t>(s);
  out[0] = static_cast<char>(u & 0xFF);
  out[1] = static_cast<char>(u >> 8);
}

class DemoSource final : public IPacedSource {
 public:
  DemoSource(std::uint32_t rate, std::uint16_t channels) : m_signal(rate, channels) {}
  void Render(std::uint64_t first, char* out, std::size_t frames) override {
    m_signal.Render(first, out, frames);
  }

 private:
  DemoSignal m_signal;
};

class DemoBackend final : public IWaveInBackend {
 public:
  DemoBackend() {
    WAVEINCAPS caps;
    caps.szPname = kDemoDeviceName;
    caps.wChannels = 2;
    m_caps.push_back(std::move(caps));
  }
  Presence Refresh() override { return Presence::Answered; }
  const std::vector<WAVEINCAPS>& Devices() const override { return m_caps; }
  bool HasPreferred() const override { return true; }

  MMRESULT Open(unsigned index, const WAVEFORMATEX& format, ui::IWindow* window,
                std::unique_ptr<WaveInDevice>* device) override {
    if (index != 0 && index != kPreferredDevice) return MMSYSERR_BADDEVICEID;
    if (!IsSupportedPcm16(format)) return WAVERR_BADFORMAT;
    auto dev = std::make_unique<PacedDevice>(
        window, format, kDemoDeviceName, true,
        std::make_unique<DemoSource>(format.nSamplesPerSec, format.nChannels));
    if (!dev->Launch()) return MMSYSERR_NOMEM;
    *device = std::move(dev);
    return MMSYSERR_NOERROR;
  }

 private:
  std::vector<WAVEINCAPS> m_caps;
};

}  // namespace

DemoSignal::DemoSignal(std::uint32_t rate, std::uint16_t channels)
    : m_nRate(rate), m_nChannels(channels) {
  std::uint64_t at = 0;
  const auto silence = static_cast<std::uint64_t>(std::llround(kSilenceSeconds * rate));
  for (const Phrase& p : kPhrases) {
    Span s;
    s.begin = at;
    s.end = at + static_cast<std::uint64_t>(std::llround(p.seconds * rate));
    m_tones.push_back(s);
    at = s.end + silence;
  }
  m_nCycle = at;
}

void DemoSignal::Frame(std::size_t phrase, std::uint64_t offset, double* left, double* right) const {
  const Phrase& p = kPhrases[phrase];
  const double t = static_cast<double>(offset) / m_nRate;
  const double noteLen = p.seconds / p.count;
  const int k = std::min(static_cast<int>(t / noteLen), p.count - 1);
  const double tn = t - k * noteLen;
  double env = tn < kAttack ? tn / kAttack : std::exp(-(tn - kAttack) / kDecay);
  env *= std::clamp((noteLen - tn) / kRelease, 0.0, 1.0);
  const double hz = NoteHz(p.notes[k]);
  // Notes move between the channels: left, centre, right.
  const double pan = (k % 3) / 2.0;
  const double melodyL = env * (0.9 - 0.4 * pan) * Voice(kLeftHarmonics, hz, tn);
  const double melodyR = env * (0.5 + 0.4 * pan) * Voice(kRightHarmonics, hz * kRightDetune, tn);
  // The bass swells and fades with the phrase, to zero at both ends.
  const double swell = std::sin(std::numbers::pi * t / p.seconds);
  const double bassHz = NoteHz(p.bass);
  const double bass = swell * swell *
                      (std::sin(2.0 * std::numbers::pi * bassHz * t) +
                       0.4 * std::sin(4.0 * std::numbers::pi * bassHz * t));
  *left = melodyL + 0.35 * bass;
  *right = melodyR + 0.45 * bass;
}

void DemoSignal::Render(std::uint64_t first, char* out, std::size_t frames) const {
  for (std::size_t i = 0; i < frames; ++i) {
    const std::uint64_t pos = (first + i) % m_nCycle;
    double l = 0.0;
    double r = 0.0;
    for (std::size_t ph = 0; ph < m_tones.size(); ++ph) {
      if (pos >= m_tones[ph].begin && pos < m_tones[ph].end) {
        Frame(ph, pos - m_tones[ph].begin, &l, &r);
        break;
      }
    }
    // Outside the tones l and r stay 0.0 and quantize to exact zeros.
    if (m_nChannels == 2) {
      Put(out, Quantize(l));
      Put(out + 2, Quantize(r));
      out += 4;
    } else {
      Put(out, Quantize((l + r) / 2));
      out += 2;
    }
  }
}

std::unique_ptr<IWaveInBackend> CreateDemoBackend() { return std::make_unique<DemoBackend>(); }

}  // namespace mivo::platform
