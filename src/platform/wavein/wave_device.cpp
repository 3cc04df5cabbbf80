#include "platform/wavein/wave_device.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/ui/window.h"

namespace mivo::platform {
namespace {

// Overruns are told at most this often (state changes at once).
constexpr auto kStatusInterval = std::chrono::milliseconds(250);

}  // namespace

bool IsSupportedPcm16(const WAVEFORMATEX& f) {
  if (f.wFormatTag != 1 || f.wBitsPerSample != 16) return false;
  if (f.nChannels != 1 && f.nChannels != 2) return false;
  if (f.nBlockAlign != f.nChannels * 2) return false;
  if (f.nSamplesPerSec < 1000 || f.nSamplesPerSec > 384000) return false;
  return f.nAvgBytesPerSec == f.nSamplesPerSec * f.nBlockAlign;
}

WaveInDevice::WaveInDevice(ui::IWindow* window, const WAVEFORMATEX& format, std::string name,
                           bool demo)
    : m_window(window), m_format(format), m_bDemo(demo), m_strName(std::move(name)) {
  // Until a buffer is queued, a tenth of a second counts as one buffer.
  m_dwUnit = std::max<std::uint32_t>(format.nAvgBytesPerSec / 10, format.nBlockAlign);
}

WaveInDevice::~WaveInDevice() = default;

std::uint32_t WaveInDevice::UsableLength(const WAVEHDR* hdr) const {
  return hdr->dwBufferLength - hdr->dwBufferLength % m_format.nBlockAlign;
}

MMRESULT WaveInDevice::Prepare(WAVEHDR* hdr) {
  if (hdr == nullptr || hdr->lpData == nullptr) return MMSYSERR_INVALPARAM;
  std::lock_guard lock(m_mtx);
  hdr->dwFlags |= WHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT WaveInDevice::Unprepare(WAVEHDR* hdr) {
  if (hdr == nullptr) return MMSYSERR_INVALPARAM;
  std::lock_guard lock(m_mtx);
  if (hdr->dwFlags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
  hdr->dwFlags &= ~WHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT WaveInDevice::Add(WAVEHDR* hdr) {
  if (hdr == nullptr || hdr->lpData == nullptr) return MMSYSERR_INVALPARAM;
  std::lock_guard lock(m_mtx);
  if (!(hdr->dwFlags & WHDR_PREPARED)) return WAVERR_UNPREPARED;
  if (hdr->dwFlags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
  const std::uint32_t usable = UsableLength(hdr);
  if (usable == 0) return MMSYSERR_INVALPARAM;
  hdr->dwFlags = (hdr->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
  hdr->dwBytesRecorded = 0;
  hdr->lpNext = nullptr;
  if (m_pTail != nullptr) {
    m_pTail->lpNext = hdr;
  } else {
    m_pHead = hdr;
  }
  m_pTail = hdr;
  m_dwUnit = usable;
  return MMSYSERR_NOERROR;
}

MMRESULT WaveInDevice::Start() {
  {
    std::lock_guard lock(m_mtx);
    if (m_bRunning) return MMSYSERR_NOERROR;
    m_bRunning = true;
  }
  BeginCapture();
  return MMSYSERR_NOERROR;
}

MMRESULT WaveInDevice::Stop() {
  {
    std::lock_guard lock(m_mtx);
    m_bRunning = false;
    if (m_bStatusPending) PostStatusLocked(true);
  }
  PauseCapture();
  return MMSYSERR_NOERROR;
}

MMRESULT WaveInDevice::Reset() {
  Stop();
  std::lock_guard lock(m_mtx);
  // Every queued buffer comes back, in queue order, with what it holds.
  while (WAVEHDR* hdr = m_pHead) {
    m_pHead = hdr->lpNext;
    hdr->lpNext = nullptr;
    hdr->dwFlags = (hdr->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
    m_window->PostMessage(MM_WIM_DATA, reinterpret_cast<std::uintptr_t>(this),
                          reinterpret_cast<std::intptr_t>(hdr));
  }
  m_pTail = nullptr;
  m_nDropRun = 0;
  return MMSYSERR_NOERROR;
}

MMRESULT WaveInDevice::Close() {
  {
    std::lock_guard lock(m_mtx);
    if (m_pHead != nullptr) return WAVERR_STILLPLAYING;
    m_bRunning = false;
  }
  Shutdown();
  return MMSYSERR_NOERROR;
}

void WaveInDevice::GetStatus(WaveInStatus* status) const {
  std::lock_guard lock(m_mtx);
  status->state = m_bLost ? WaveInState::Lost : WaveInState::Running;
  status->overruns = m_nOverruns;
  status->demo = m_bDemo;
  status->deviceName = m_strName;
}

bool WaveInDevice::Deliver(const void* data, std::size_t bytes) {
  const auto* src = static_cast<const char*>(data);
  std::lock_guard lock(m_mtx);
  if (!m_bRunning) return false;
  while (bytes > 0) {
    WAVEHDR* hdr = m_pHead;
    if (hdr == nullptr) {
      CountDroppedLocked(bytes);
      break;
    }
    m_nDropRun = 0;
    const std::uint32_t usable = UsableLength(hdr);
    const std::size_t n = std::min<std::size_t>(usable - hdr->dwBytesRecorded, bytes);
    if (src != nullptr) {
      std::memcpy(hdr->lpData + hdr->dwBytesRecorded, src, n);
      src += n;
    } else {
      std::memset(hdr->lpData + hdr->dwBytesRecorded, 0, n);
    }
    hdr->dwBytesRecorded += static_cast<std::uint32_t>(n);
    bytes -= n;
    if (hdr->dwBytesRecorded == usable) {
      m_pHead = hdr->lpNext;
      if (m_pHead == nullptr) m_pTail = nullptr;
      hdr->lpNext = nullptr;
      hdr->dwFlags = (hdr->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
      m_window->PostMessage(MM_WIM_DATA, reinterpret_cast<std::uintptr_t>(this),
                            reinterpret_cast<std::intptr_t>(hdr));
    }
  }
  PostStatusLocked(false);
  return true;
}

void WaveInDevice::CountDroppedLocked(std::size_t bytes) {
  // Every buffer's worth begun counts: a dropped run of 1 .. unit bytes is
  // one overrun, of unit+1 .. 2*unit bytes two, and so on.
  const std::uint64_t before = (m_nDropRun + m_dwUnit - 1) / m_dwUnit;
  m_nDropRun += bytes;
  const std::uint64_t after = (m_nDropRun + m_dwUnit - 1) / m_dwUnit;
  if (after > before) {
    m_nOverruns += after - before;
    m_bStatusPending = true;
  }
}

void WaveInDevice::CountDeviceOverrun() {
  std::lock_guard lock(m_mtx);
  if (!m_bRunning) return;
  ++m_nOverruns;
  m_bStatusPending = true;
  PostStatusLocked(false);
}

void WaveInDevice::PostStatusLocked(bool force) {
  const auto now = Clock::now();
  if (!force) {
    if (!m_bStatusPending || now - m_lastStatus < kStatusInterval) return;
    m_lastStatus = now;
  }
  m_bStatusPending = false;
  m_window->PostMessage(MM_WIM_STATUS, reinterpret_cast<std::uintptr_t>(this), 0);
}

void WaveInDevice::SetLost(bool lost) {
  std::lock_guard lock(m_mtx);
  if (m_bLost == lost) return;
  m_bLost = lost;
  PostStatusLocked(true);
}

std::uint32_t WaveInDevice::QueuedBufferBytes() const {
  std::lock_guard lock(m_mtx);
  return m_dwUnit;
}

}  // namespace mivo::platform
