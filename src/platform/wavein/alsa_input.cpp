#include "platform/wavein/alsa_input.h"

#include <stdarg.h>

// alsa-lib 1.2.8 declares snd_lib_error_set_local outside its extern "C"
// block; included here first, inside one, so that the call links.
extern "C" {
#include <alsa/error.h>
}
#include <alsa/asoundlib.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/sync/thread.h"

namespace mivo::platform {
namespace {

constexpr const char* kDefaultPcm = "default";
// The name the preferred device has in the status.
constexpr const char* kDefaultName = "既定の入力 (ALSA default)";
constexpr auto kRetryInterval = std::chrono::milliseconds(500);
constexpr int kWaitMs = 200;             // longest wait for data before looking at the flags
constexpr unsigned kPeriodUs = 20000;    // 20 ms periods
constexpr unsigned kBufferUs = 500000;   // half a second of slack in the sound card

// alsa-lib prints its errors to stderr; probing cards that are not there is
// normal here. The handler is per thread and put back afterwards.
void QuietError(const char*, int, const char*, int, const char*, va_list) {}

class QuietAlsa {
 public:
  QuietAlsa() : m_old(snd_lib_error_set_local(QuietError)) {}
  ~QuietAlsa() { snd_lib_error_set_local(m_old); }
  QuietAlsa(const QuietAlsa&) = delete;
  QuietAlsa& operator=(const QuietAlsa&) = delete;

 private:
  snd_local_error_handler_t m_old;
};

struct CardEntry {
  std::string name;  // the card's name, e.g. "USB Audio CODEC"
  std::string pcm;   // "plughw:N,D" of its first capture device
  std::uint16_t channels = 2;
};

std::vector<CardEntry> CaptureCards() {
  std::vector<CardEntry> cards;
  int card = -1;
  while (snd_card_next(&card) == 0 && card >= 0) {
    const std::string hw = "hw:" + std::to_string(card);
    snd_ctl_t* ctl = nullptr;
    if (snd_ctl_open(&ctl, hw.c_str(), 0) < 0) continue;
    snd_ctl_card_info_t* info = nullptr;
    snd_pcm_info_t* pcmInfo = nullptr;
    snd_ctl_card_info_alloca(&info);
    snd_pcm_info_alloca(&pcmInfo);
    if (snd_ctl_card_info(ctl, info) == 0) {
      int device = -1;
      while (snd_ctl_pcm_next_device(ctl, &device) == 0 && device >= 0) {
        snd_pcm_info_set_device(pcmInfo, static_cast<unsigned>(device));
        snd_pcm_info_set_subdevice(pcmInfo, 0);
        snd_pcm_info_set_stream(pcmInfo, SND_PCM_STREAM_CAPTURE);
        if (snd_ctl_pcm_info(ctl, pcmInfo) == 0) {
          CardEntry e;
          e.name = snd_ctl_card_info_get_name(info);
          e.pcm = "plughw:" + std::to_string(card) + "," + std::to_string(device);
          cards.push_back(std::move(e));
          break;
        }
      }
    }
    snd_ctl_close(ctl);
  }
  return cards;
}

struct PcmCloser {
  void operator()(snd_pcm_t* p) const { snd_pcm_close(p); }
};
using PcmPtr = std::unique_ptr<snd_pcm_t, PcmCloser>;

// Opens `name` for capture in `format`. Returns 0 or a negative errno;
// -EINVAL when the device does not take the format.
int OpenPcm(const std::string& name, const WAVEFORMATEX& format, PcmPtr* out,
            snd_pcm_uframes_t* periodFrames) {
  snd_pcm_t* raw = nullptr;
  int err = snd_pcm_open(&raw, name.c_str(), SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK);
  if (err < 0) return err;
  PcmPtr pcm(raw);
  snd_pcm_hw_params_t* hw = nullptr;
  snd_pcm_hw_params_alloca(&hw);
  if (snd_pcm_hw_params_any(raw, hw) < 0) return -EIO;
  if (snd_pcm_hw_params_set_access(raw, hw, SND_PCM_ACCESS_RW_INTERLEAVED) < 0 ||
      snd_pcm_hw_params_set_format(raw, hw, SND_PCM_FORMAT_S16_LE) < 0 ||
      snd_pcm_hw_params_set_channels(raw, hw, format.nChannels) < 0 ||
      snd_pcm_hw_params_set_rate(raw, hw, format.nSamplesPerSec, 0) < 0) {
    return -EINVAL;
  }
  unsigned bufferUs = kBufferUs;
  unsigned periodUs = kPeriodUs;
  int dir = 0;
  static_cast<void>(snd_pcm_hw_params_set_buffer_time_near(raw, hw, &bufferUs, &dir));
  dir = 0;
  static_cast<void>(snd_pcm_hw_params_set_period_time_near(raw, hw, &periodUs, &dir));
  err = snd_pcm_hw_params(raw, hw);
  if (err < 0) return err == -EBUSY ? err : -EINVAL;
  snd_pcm_uframes_t period = 0;
  dir = 0;
  if (snd_pcm_hw_params_get_period_size(hw, &period, &dir) < 0 || period == 0) {
    period = format.nSamplesPerSec / 50;
  }
  *periodFrames = period;
  *out = std::move(pcm);
  return 0;
}

MMRESULT OpenResult(int err) {
  switch (err) {
    case 0: return MMSYSERR_NOERROR;
    case -EBUSY:
    case -EAGAIN: return MMSYSERR_ALLOCATED;
    case -ENOENT:
    case -ENODEV:
    case -ENXIO: return MMSYSERR_NODRIVER;
    case -ENOMEM: return MMSYSERR_NOMEM;
    case -EINVAL: return WAVERR_BADFORMAT;
    default: return MMSYSERR_ERROR;
  }
}

// ---------------------------------------------------------------------------
// One open PCM, read with snd_pcm_readi on a thread of its own. After the
// open, only that thread touches the PCM.

class AlsaDevice final : public WaveInDevice {
 public:
  // `card`: the card's name, to find it again after it was replugged (and
  // perhaps renumbered); empty for the default PCM, reopened by `pcm`.
  AlsaDevice(ui::IWindow* window, const WAVEFORMATEX& format, std::string displayName,
             std::string card, std::string pcm)
      : WaveInDevice(window, format, std::move(displayName), false),
        m_strCard(std::move(card)),
        m_strPcm(std::move(pcm)) {}
  ~AlsaDevice() override { Shutdown(); }

  MMRESULT Open() {
    QuietAlsa quiet;
    snd_pcm_uframes_t period = 0;
    const int err = OpenPcm(m_strPcm, Format(), &m_pcm, &period);
    if (err < 0) return OpenResult(err);
    // Scratch for one period, allocated once; the longest period read.
    m_nPeriod = period;
    m_scratch.resize(static_cast<std::size_t>(period) * Format().nBlockAlign);
    if (!m_thread.Start([this] { Run(); })) {
      m_pcm.reset();
      return MMSYSERR_NOMEM;
    }
    return MMSYSERR_NOERROR;
  }

 protected:
  void BeginCapture() override {
    std::lock_guard lock(m_mtxCtl);
    m_bWanted = true;
    m_cvCtl.notify_all();
  }
  void PauseCapture() override { m_bWanted = false; }
  void Shutdown() override {
    {
      std::lock_guard lock(m_mtxCtl);
      m_bQuit = true;
      m_cvCtl.notify_all();
    }
    m_thread.Join();
    m_pcm.reset();
  }

 private:
  void Run();
  void ReadOnce();
  void HandleError(int err);
  void Lose();
  bool Reopen();

  const std::string m_strCard;
  const std::string m_strPcm;

  PcmPtr m_pcm;  // null while lost
  snd_pcm_uframes_t m_nPeriod = 0;
  std::vector<char> m_scratch;
  bool m_bStarted = false;  // the PCM runs (prepared and started)

  std::mutex m_mtxCtl;
  std::condition_variable m_cvCtl;
  std::atomic<bool> m_bWanted{false};
  std::atomic<bool> m_bQuit{false};
  Thread m_thread;
};

void AlsaDevice::Run() {
  QuietAlsa quiet;
  static_cast<void>(SetCurrentThreadPriority(15));  // refused without the right: fine
  while (!m_bQuit) {
    if (!m_pcm) {
      if (Reopen()) continue;
      std::unique_lock lock(m_mtxCtl);
      m_cvCtl.wait_for(lock, kRetryInterval, [this] { return m_bQuit.load(); });
      continue;
    }
    if (!m_bWanted) {
      if (m_bStarted) {
        snd_pcm_drop(m_pcm.get());
        m_bStarted = false;
      }
      std::unique_lock lock(m_mtxCtl);
      m_cvCtl.wait(lock, [this] { return m_bQuit || m_bWanted; });
      continue;
    }
    if (!m_bStarted) {
      const int err = snd_pcm_prepare(m_pcm.get());
      if (err < 0) {
        HandleError(err);
        continue;
      }
      static_cast<void>(snd_pcm_start(m_pcm.get()));
      m_bStarted = true;
    }
    ReadOnce();
  }
}

void AlsaDevice::ReadOnce() {
  const snd_pcm_sframes_t n = snd_pcm_readi(m_pcm.get(), m_scratch.data(), m_nPeriod);
  if (n > 0) {
    static_cast<void>(Deliver(m_scratch.data(), static_cast<std::size_t>(n) * Format().nBlockAlign));
    return;
  }
  if (n == -EAGAIN || n == 0) {
    const int w = snd_pcm_wait(m_pcm.get(), kWaitMs);
    if (w < 0) HandleError(w);
    return;
  }
  HandleError(static_cast<int>(n));
}

void AlsaDevice::HandleError(int err) {
  switch (err) {
    case -EPIPE:  // the sound card overran: audio was lost there
      CountDeviceOverrun();
      m_bStarted = false;  // prepared and started again by the loop
      return;
    case -ESTRPIPE: {  // the system was suspended
      int r = -EAGAIN;
      for (int i = 0; i < 10 && r == -EAGAIN && !m_bQuit; ++i) {
        r = snd_pcm_resume(m_pcm.get());
        if (r == -EAGAIN) std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
      m_bStarted = false;
      return;
    }
    case -EINTR:
      return;
    default:  // -ENODEV (unplugged), -EBADFD, -EIO ...: lost
      Lose();
      return;
  }
}

void AlsaDevice::Lose() {
  m_pcm.reset();
  m_bStarted = false;
  SetLost(true);
}

bool AlsaDevice::Reopen() {
  std::string pcmName = m_strPcm;
  if (!m_strCard.empty()) {
    pcmName.clear();
    for (const CardEntry& e : CaptureCards()) {
      if (e.name == m_strCard) {
        pcmName = e.pcm;
        break;
      }
    }
    if (pcmName.empty()) return false;
  }
  PcmPtr pcm;
  snd_pcm_uframes_t period = 0;
  if (OpenPcm(pcmName, Format(), &pcm, &period) < 0) return false;
  // The scratch holds m_nPeriod frames; a longer period is read in parts.
  if (period < m_nPeriod) m_nPeriod = period;
  m_pcm = std::move(pcm);
  m_bStarted = false;
  SetLost(false);
  return true;
}

// ---------------------------------------------------------------------------

class AlsaBackend final : public IWaveInBackend {
 public:
  Presence Refresh() override {
    QuietAlsa quiet;
    m_cards = CaptureCards();
    m_caps.clear();
    for (const CardEntry& e : m_cards) {
      WAVEINCAPS caps;
      caps.szPname = e.name;
      caps.wChannels = e.channels;
      m_caps.push_back(std::move(caps));
    }
    // The default PCM is there when it opens for capture (or is busy).
    snd_pcm_t* pcm = nullptr;
    const int err = snd_pcm_open(&pcm, kDefaultPcm, SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK);
    if (err == 0) snd_pcm_close(pcm);
    m_bDefault = err == 0 || err == -EBUSY;
    return Presence::Answered;
  }

  const std::vector<WAVEINCAPS>& Devices() const override { return m_caps; }
  bool HasPreferred() const override { return m_bDefault; }

  MMRESULT Open(unsigned index, const WAVEFORMATEX& format, ui::IWindow* window,
                std::unique_ptr<WaveInDevice>* device) override {
    if (!IsSupportedPcm16(format)) return WAVERR_BADFORMAT;
    std::unique_ptr<AlsaDevice> dev;
    if (index == kPreferredDevice) {
      dev = std::make_unique<AlsaDevice>(window, format, kDefaultName, std::string(), kDefaultPcm);
    } else if (index < m_cards.size()) {
      const CardEntry& e = m_cards[index];
      dev = std::make_unique<AlsaDevice>(window, format, e.name, e.name, e.pcm);
    } else {
      return MMSYSERR_NODRIVER;
    }
    const MMRESULT r = dev->Open();
    if (r == MMSYSERR_NOERROR) *device = std::move(dev);
    return r;
  }

 private:
  std::vector<CardEntry> m_cards;
  std::vector<WAVEINCAPS> m_caps;
  bool m_bDefault = false;
};

}  // namespace

std::unique_ptr<IWaveInBackend> CreateAlsaBackend() { return std::make_unique<AlsaBackend>(); }

}  // namespace mivo::platform
