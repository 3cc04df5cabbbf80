// The system's wave input: the file input (when given), then the sound
// system's devices (PulseAudio when a server answers, else ALSA), then the
// demo signal, numbered in that order. WAVE_MAPPER opens the file, else the
// sound system's preferred device, else the demo.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/wavein/alsa_input.h"
#include "platform/wavein/demo_signal.h"
#include "platform/wavein/file_input.h"
#include "platform/wavein/pulse_input.h"
#include "platform/wavein/wav_file.h"
#include "platform/wavein/wave_backend.h"
#include "platform/wavein/wavein.h"

namespace mivo::platform {
namespace {

// What waveInGetDevCaps(WAVE_MAPPER) calls the preferred device.
constexpr const char* kMapperName = "優先するデバイス";

class SystemWaveIn final : public IWaveIn {
 public:
  SystemWaveIn(std::unique_ptr<IWaveInBackend> file, std::unique_ptr<IWaveInBackend> pulse,
               std::unique_ptr<IWaveInBackend> alsa, std::unique_ptr<IWaveInBackend> demo)
      : m_file(std::move(file)),
        m_pulse(std::move(pulse)),
        m_alsa(std::move(alsa)),
        m_demo(std::move(demo)) {}

  // Devices still open are ended without posting anything.
  ~SystemWaveIn() override = default;

  unsigned waveInGetNumDevs() override {
    Refresh();
    return static_cast<unsigned>(m_entries.size());
  }

  MMRESULT waveInGetDevCaps(unsigned deviceId, WAVEINCAPS* caps) override {
    if (caps == nullptr) return MMSYSERR_INVALPARAM;
    if (!m_bListed) Refresh();
    if (deviceId == WAVE_MAPPER) {
      caps->szPname = kMapperName;
      caps->wChannels = 2;
      return MMSYSERR_NOERROR;
    }
    if (deviceId >= m_entries.size()) return MMSYSERR_BADDEVICEID;
    *caps = m_entries[deviceId].caps;
    return MMSYSERR_NOERROR;
  }

  MMRESULT waveInOpen(HWAVEIN* phwi, unsigned deviceId, const WAVEFORMATEX& format,
                      ui::IWindow* callbackWindow) override {
    if (phwi == nullptr || callbackWindow == nullptr) return MMSYSERR_INVALPARAM;
    *phwi = nullptr;
    IWaveInBackend* backend = nullptr;
    unsigned index = kPreferredDevice;
    if (deviceId == WAVE_MAPPER) {
      // The preferred device as things are now.
      if (!m_file) Refresh();
      if (m_file) {
        backend = m_file.get();
      } else if (m_sound != nullptr && m_sound->HasPreferred()) {
        backend = m_sound;
      } else {
        backend = m_demo.get();
      }
    } else {
      if (!m_bListed) Refresh();
      if (deviceId >= m_entries.size()) return MMSYSERR_BADDEVICEID;
      backend = m_entries[deviceId].backend;
      index = m_entries[deviceId].index;
    }
    if (!IsSupportedPcm16(format)) return WAVERR_BADFORMAT;
    std::unique_ptr<WaveInDevice> device;
    const MMRESULT r = backend->Open(index, format, callbackWindow, &device);
    if (r != MMSYSERR_NOERROR) return r;
    *phwi = device.get();
    m_open.push_back(std::move(device));
    return MMSYSERR_NOERROR;
  }

  MMRESULT waveInPrepareHeader(HWAVEIN hwi, WAVEHDR* hdr) override {
    WaveInDevice* d = Find(hwi);
    return d != nullptr ? d->Prepare(hdr) : MMSYSERR_INVALHANDLE;
  }
  MMRESULT waveInUnprepareHeader(HWAVEIN hwi, WAVEHDR* hdr) override {
    WaveInDevice* d = Find(hwi);
    return d != nullptr ? d->Unprepare(hdr) : MMSYSERR_INVALHANDLE;
  }
  MMRESULT waveInAddBuffer(HWAVEIN hwi, WAVEHDR* hdr) override {
    WaveInDevice* d = Find(hwi);
    return d != nullptr ? d->Add(hdr) : MMSYSERR_INVALHANDLE;
  }
  MMRESULT waveInStart(HWAVEIN hwi) override {
    WaveInDevice* d = Find(hwi);
    return d != nullptr ? d->Start() : MMSYSERR_INVALHANDLE;
  }
  MMRESULT waveInStop(HWAVEIN hwi) override {
    WaveInDevice* d = Find(hwi);
    return d != nullptr ? d->Stop() : MMSYSERR_INVALHANDLE;
  }
  MMRESULT waveInReset(HWAVEIN hwi) override {
    WaveInDevice* d = Find(hwi);
    return d != nullptr ? d->Reset() : MMSYSERR_INVALHANDLE;
  }
  MMRESULT waveInGetStatus(HWAVEIN hwi, WaveInStatus* status) override {
    if (status == nullptr) return MMSYSERR_INVALPARAM;
    WaveInDevice* d = Find(hwi);
    if (d == nullptr) return MMSYSERR_INVALHANDLE;
    d->GetStatus(status);
    return MMSYSERR_NOERROR;
  }
  MMRESULT waveInClose(HWAVEIN hwi) override {
    const auto it = std::find_if(m_open.begin(), m_open.end(),
                                 [hwi](const auto& d) { return d.get() == hwi; });
    if (it == m_open.end()) return MMSYSERR_INVALHANDLE;
    const MMRESULT r = (*it)->Close();
    if (r == MMSYSERR_NOERROR) m_open.erase(it);
    return r;
  }

 private:
  struct Entry {
    IWaveInBackend* backend;
    unsigned index;
    WAVEINCAPS caps;
  };

  void Refresh() {
    m_entries.clear();
    switch (m_pulse->Refresh()) {
      case Presence::Answered:
        m_sound = m_pulse.get();
        break;
      case Presence::Absent:
        m_alsa->Refresh();
        m_sound = m_alsa.get();
        break;
      case Presence::NotAnswering:
        // ALSA would not help: its configuration asks the same server
        // whether it runs (the pulse plugin's hook) and waits half a minute.
        m_sound = nullptr;
        if (!m_bToldHung) {
          std::fprintf(stderr, "mivo: the PulseAudio server does not answer; no sound input is used\n");
          m_bToldHung = true;
        }
        break;
    }
    for (IWaveInBackend* b : {m_file.get(), m_sound, m_demo.get()}) {
      if (b == nullptr) continue;
      const auto& devices = b->Devices();
      for (unsigned i = 0; i < devices.size(); ++i) m_entries.push_back({b, i, devices[i]});
    }
    m_bListed = true;
  }

  WaveInDevice* Find(HWAVEIN hwi) const {
    for (const auto& d : m_open) {
      if (d.get() == hwi) return d.get();
    }
    return nullptr;
  }

  std::unique_ptr<IWaveInBackend> m_file;  // may be null
  std::unique_ptr<IWaveInBackend> m_pulse;
  std::unique_ptr<IWaveInBackend> m_alsa;
  std::unique_ptr<IWaveInBackend> m_demo;
  IWaveInBackend* m_sound = nullptr;  // m_pulse or m_alsa, as of the last Refresh
  bool m_bListed = false;
  bool m_bToldHung = false;
  std::vector<Entry> m_entries;
  // Declared last: destroyed first, before the backends they came from.
  std::vector<std::unique_ptr<WaveInDevice>> m_open;
};

}  // namespace

std::unique_ptr<IWaveIn> CreateSystemWaveIn(const WaveInOptions& options, std::string* error) {
  std::unique_ptr<IWaveInBackend> file;
  if (!options.inputFile.empty()) {
    std::string why;
    const std::optional<WavFileInfo> info = ReadWavFileInfo(options.inputFile, &why);
    if (!info) {
      if (error != nullptr) *error = why;
      return nullptr;
    }
    file = CreateFileBackend(*info);
  }
  if (error != nullptr) error->clear();
  return std::make_unique<SystemWaveIn>(std::move(file), CreatePulseBackend(), CreateAlsaBackend(),
                                        CreateDemoBackend());
}

}  // namespace mivo::platform
