#include "support/manual_wavein.h"

#include <algorithm>
#include <cstring>

namespace mivo::testing {

using platform::MMRESULT;
using platform::WAVEHDR;

std::vector<std::int16_t> ConstantFrames(std::uint32_t frames, std::int16_t left, std::int16_t right) {
  std::vector<std::int16_t> samples(static_cast<std::size_t>(frames) * 2);
  for (std::size_t i = 0; i < frames; ++i) {
    samples[2 * i] = left;
    samples[2 * i + 1] = right;
  }
  return samples;
}

platform::HWAVEIN ManualWaveIn::Handle() const {
  return reinterpret_cast<platform::HWAVEIN>(const_cast<char*>(&m_token));
}

bool ManualWaveIn::Ours(platform::HWAVEIN hwi) const { return m_bOpen && hwi == Handle(); }

void ManualWaveIn::SetDevices(std::vector<std::string> devices) {
  std::lock_guard lock(m_mtx);
  m_devices = std::move(devices);
}

void ManualWaveIn::QueueOpenResult(MMRESULT result) {
  std::lock_guard lock(m_mtx);
  m_openResults.push_back(result);
}

WAVEHDR* ManualWaveIn::Deliver(const std::vector<std::int16_t>& samples, bool post) {
  std::lock_guard lock(m_mtx);
  if (!m_bOpen || !m_bStarted) return nullptr;
  if (m_queue.empty()) {
    ++m_status.overruns;
    PostStatusLocked();
    return nullptr;
  }
  WAVEHDR* h = m_queue.front();
  m_queue.pop_front();
  const std::size_t bytes = std::min<std::size_t>(samples.size() * 2, h->dwBufferLength);
  std::memcpy(h->lpData, samples.data(), bytes);
  std::memset(h->lpData + bytes, 0, h->dwBufferLength - bytes);
  h->dwBytesRecorded = h->dwBufferLength;
  h->dwFlags = (h->dwFlags & ~platform::WHDR_INQUEUE) | platform::WHDR_DONE;
  if (post && m_window) {
    m_window->PostMessage(platform::MM_WIM_DATA, reinterpret_cast<std::uintptr_t>(Handle()),
                          reinterpret_cast<std::intptr_t>(h));
  }
  return h;
}

WAVEHDR* ManualWaveIn::DeliverConstant(std::int16_t left, std::int16_t right, bool post) {
  std::uint32_t frames = 0;
  {
    std::lock_guard lock(m_mtx);
    if (!m_queue.empty()) frames = m_queue.front()->dwBufferLength / 4;
  }
  return Deliver(ConstantFrames(frames, left, right), post);
}

void ManualWaveIn::PostStatusLocked() {
  if (m_bOpen && m_window) m_window->PostMessage(platform::MM_WIM_STATUS, reinterpret_cast<std::uintptr_t>(Handle()), 0);
}

void ManualWaveIn::SetLost(bool lost) {
  std::lock_guard lock(m_mtx);
  m_status.state = lost ? platform::WaveInState::Lost : platform::WaveInState::Running;
  PostStatusLocked();
}

std::vector<ManualWaveIn::Call> ManualWaveIn::Calls() const {
  std::lock_guard lock(m_mtx);
  return m_calls;
}

void ManualWaveIn::ClearCalls() {
  std::lock_guard lock(m_mtx);
  m_calls.clear();
}

std::size_t ManualWaveIn::QueuedCount() const {
  std::lock_guard lock(m_mtx);
  return m_queue.size();
}

std::vector<WAVEHDR*> ManualWaveIn::Queued() const {
  std::lock_guard lock(m_mtx);
  return {m_queue.begin(), m_queue.end()};
}

bool ManualWaveIn::IsOpen() const {
  std::lock_guard lock(m_mtx);
  return m_bOpen;
}

bool ManualWaveIn::IsStarted() const {
  std::lock_guard lock(m_mtx);
  return m_bStarted;
}

platform::WAVEFORMATEX ManualWaveIn::OpenedFormat() const {
  std::lock_guard lock(m_mtx);
  return m_format;
}

unsigned ManualWaveIn::OpenedDevice() const {
  std::lock_guard lock(m_mtx);
  return m_deviceId;
}

std::uint64_t ManualWaveIn::Overruns() const {
  std::lock_guard lock(m_mtx);
  return m_status.overruns;
}

unsigned ManualWaveIn::waveInGetNumDevs() {
  std::lock_guard lock(m_mtx);
  return static_cast<unsigned>(m_devices.size());
}

MMRESULT ManualWaveIn::waveInGetDevCaps(unsigned deviceId, platform::WAVEINCAPS* caps) {
  std::lock_guard lock(m_mtx);
  if (deviceId >= m_devices.size()) return platform::MMSYSERR_BADDEVICEID;
  if (caps == nullptr) return platform::MMSYSERR_INVALPARAM;
  caps->szPname = m_devices[deviceId];
  caps->wChannels = 2;
  return platform::MMSYSERR_NOERROR;
}

MMRESULT ManualWaveIn::waveInOpen(platform::HWAVEIN* phwi, unsigned deviceId, const platform::WAVEFORMATEX& format,
                                  ui::IWindow* callbackWindow) {
  std::lock_guard lock(m_mtx);
  m_calls.push_back(Call{"open", nullptr, deviceId});
  if (!m_openResults.empty()) {
    const MMRESULT result = m_openResults.front();
    m_openResults.pop_front();
    if (result != platform::MMSYSERR_NOERROR) return result;
  }
  if (m_bOpen) return platform::MMSYSERR_ALLOCATED;
  if (deviceId != platform::WAVE_MAPPER && deviceId >= m_devices.size()) return platform::MMSYSERR_BADDEVICEID;
  m_bOpen = true;
  m_bStarted = false;
  m_format = format;
  m_deviceId = deviceId;
  const unsigned named = deviceId == platform::WAVE_MAPPER ? 0 : deviceId;
  m_status.deviceName = named < m_devices.size() ? m_devices[named] : "優先するデバイス";
  m_window = callbackWindow;
  *phwi = Handle();
  return platform::MMSYSERR_NOERROR;
}

MMRESULT ManualWaveIn::waveInPrepareHeader(platform::HWAVEIN hwi, WAVEHDR* hdr) {
  std::lock_guard lock(m_mtx);
  m_calls.push_back(Call{"prepare", hdr, 0});
  if (!Ours(hwi)) return platform::MMSYSERR_INVALHANDLE;
  hdr->dwFlags = platform::WHDR_PREPARED;
  return platform::MMSYSERR_NOERROR;
}

MMRESULT ManualWaveIn::waveInUnprepareHeader(platform::HWAVEIN hwi, WAVEHDR* hdr) {
  std::lock_guard lock(m_mtx);
  m_calls.push_back(Call{"unprepare", hdr, 0});
  if (!Ours(hwi)) return platform::MMSYSERR_INVALHANDLE;
  if (hdr->dwFlags & platform::WHDR_INQUEUE) return platform::WAVERR_STILLPLAYING;
  hdr->dwFlags &= ~platform::WHDR_PREPARED;
  return platform::MMSYSERR_NOERROR;
}

MMRESULT ManualWaveIn::waveInAddBuffer(platform::HWAVEIN hwi, WAVEHDR* hdr) {
  std::lock_guard lock(m_mtx);
  m_calls.push_back(Call{"add", hdr, 0});
  if (!Ours(hwi)) return platform::MMSYSERR_INVALHANDLE;
  if (!(hdr->dwFlags & platform::WHDR_PREPARED)) return platform::WAVERR_UNPREPARED;
  hdr->dwFlags = (hdr->dwFlags & ~platform::WHDR_DONE) | platform::WHDR_INQUEUE;
  hdr->dwBytesRecorded = 0;
  m_queue.push_back(hdr);
  return platform::MMSYSERR_NOERROR;
}

MMRESULT ManualWaveIn::waveInStart(platform::HWAVEIN hwi) {
  std::lock_guard lock(m_mtx);
  m_calls.push_back(Call{"start", nullptr, 0});
  if (!Ours(hwi)) return platform::MMSYSERR_INVALHANDLE;
  m_bStarted = true;
  return platform::MMSYSERR_NOERROR;
}

MMRESULT ManualWaveIn::waveInStop(platform::HWAVEIN hwi) {
  std::lock_guard lock(m_mtx);
  m_calls.push_back(Call{"stop", nullptr, 0});
  if (!Ours(hwi)) return platform::MMSYSERR_INVALHANDLE;
  m_bStarted = false;
  return platform::MMSYSERR_NOERROR;
}

MMRESULT ManualWaveIn::waveInReset(platform::HWAVEIN hwi) {
  std::lock_guard lock(m_mtx);
  m_calls.push_back(Call{"reset", nullptr, 0});
  if (!Ours(hwi)) return platform::MMSYSERR_INVALHANDLE;
  m_bStarted = false;
  // Every queued buffer comes back, unfilled.
  while (!m_queue.empty()) {
    WAVEHDR* h = m_queue.front();
    m_queue.pop_front();
    h->dwFlags = (h->dwFlags & ~platform::WHDR_INQUEUE) | platform::WHDR_DONE;
    h->dwBytesRecorded = 0;
    if (m_window) {
      m_window->PostMessage(platform::MM_WIM_DATA, reinterpret_cast<std::uintptr_t>(Handle()),
                            reinterpret_cast<std::intptr_t>(h));
    }
  }
  return platform::MMSYSERR_NOERROR;
}

MMRESULT ManualWaveIn::waveInClose(platform::HWAVEIN hwi) {
  std::lock_guard lock(m_mtx);
  m_calls.push_back(Call{"close", nullptr, 0});
  if (!Ours(hwi)) return platform::MMSYSERR_INVALHANDLE;
  if (!m_queue.empty()) return platform::WAVERR_STILLPLAYING;
  m_bOpen = false;
  m_window = nullptr;
  return platform::MMSYSERR_NOERROR;
}

MMRESULT ManualWaveIn::waveInGetStatus(platform::HWAVEIN hwi, platform::WaveInStatus* status) {
  std::lock_guard lock(m_mtx);
  if (!Ours(hwi)) return platform::MMSYSERR_INVALHANDLE;
  *status = m_status;
  return platform::MMSYSERR_NOERROR;
}

}  // namespace mivo::testing
