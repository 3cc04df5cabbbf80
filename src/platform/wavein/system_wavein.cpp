// The system's wave input: the file input (when given), then the sound
// system's devices (PulseAudio when a server answers, else ALSA), then the
// demo signal when it is listed, numbered in that order. WAVE_MAPPER opens
// the file, or the demo when asked for, else the sound system's preferred
// device.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/sync/thread.h"
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
// While waiting for a server that does not answer yet: the pause between two
// looks (each look itself gives up after a couple of seconds).
constexpr unsigned kServerPollMs = 250;

class SystemWaveIn final : public IWaveIn {
 public:
  SystemWaveIn(std::unique_ptr<IWaveInBackend> file, std::unique_ptr<IWaveInBackend> pulse,
               std::unique_ptr<IWaveInBackend> alsa, std::unique_ptr<IWaveInBackend> demo,
               bool demoAsked, std::chrono::milliseconds serverWait)
      : m_file(std::move(file)),
        m_pulse(std::move(pulse)),
        m_alsa(std::move(alsa)),
        m_demo(std::move(demo)),
        m_bDemoAsked(demoAsked),
        m_serverWait(serverWait) {}

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
      if (m_file) {
        backend = m_file.get();
      } else if (m_bDemoAsked) {
        backend = m_demo.get();
      } else {
        // The preferred device as things are now: every open looks again,
        // so that Retry after a failure finds a server or card that came.
        Refresh();
        if (m_sound == nullptr || !m_sound->HasPreferred()) return MMSYSERR_NODRIVER;
        backend = m_sound;
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
    Presence presence = m_pulse->Refresh();
    if (!m_bLooked) {
      m_bLooked = true;
      presence = AwaitServer(presence);
    }
    switch (presence) {
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
        // Nor does the demo stand in: a real input is expected here.
        m_sound = nullptr;
        if (!m_bToldHung) {
          std::fprintf(stderr, "mivo: the PulseAudio server does not answer; no sound input is used\n");
          m_bToldHung = true;
        }
        break;
    }
    // The demo is there only where the system offers no capture device at all.
    const bool nothing = m_sound != nullptr && m_sound->Devices().empty() && !m_sound->HasPreferred();
    IWaveInBackend* demo = m_bDemoAsked || nothing ? m_demo.get() : nullptr;
    for (IWaveInBackend* b : {m_file.get(), m_sound, demo}) {
      if (b == nullptr) continue;
      const auto& devices = b->Devices();
      for (unsigned i = 0; i < devices.size(); ++i) m_entries.push_back({b, i, devices[i]});
    }
    m_bListed = true;
  }

  // A server that is there but does not answer yet may belong to a login
  // session that is still coming up: look again until it answers or goes
  // away, within the wait. One that is not there at all is not waited for.
  Presence AwaitServer(Presence presence) {
    if (presence != Presence::NotAnswering || m_serverWait.count() <= 0) return presence;
    std::fprintf(stderr, "mivo: the PulseAudio server does not answer yet; waiting up to %lld s\n",
                 static_cast<long long>((m_serverWait.count() + 999) / 1000));
    const auto deadline = std::chrono::steady_clock::now() + m_serverWait;
    while (presence == Presence::NotAnswering && std::chrono::steady_clock::now() < deadline) {
      Sleep(kServerPollMs);
      presence = m_pulse->Refresh();
    }
    return presence;
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
  const bool m_bDemoAsked;                   // --demo
  const std::chrono::milliseconds m_serverWait;
  IWaveInBackend* m_sound = nullptr;  // m_pulse or m_alsa, as of the last Refresh
  bool m_bLooked = false;             // the first Refresh (and its wait) is done
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
    // Not a whole frame to play: the run would capture nothing at all.
    if (info->dataBytes == 0) {
      if (error != nullptr) *error = "input file " + options.inputFile + ": no audio (the data chunk holds no whole frame)";
      return nullptr;
    }
    file = CreateFileBackend(*info);
  }
  if (error != nullptr) error->clear();
  // With the input given for the run nobody waits on the sound system: it
  // is looked at only for the list of the input dialog.
  const bool given = file != nullptr || options.demo;
  return std::make_unique<SystemWaveIn>(std::move(file), CreatePulseBackend(), CreateAlsaBackend(),
                                        CreateDemoBackend(), options.demo,
                                        given ? std::chrono::milliseconds(0) : options.serverWait);
}

}  // namespace mivo::platform
