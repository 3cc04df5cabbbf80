#include "capture/capture_engine.h"

#include <cstdio>
#include <new>
#include <optional>
#include <utility>

#include "platform/sync/thread.h"
#include "platform/ui/dialog.h"

namespace mivo {
namespace {

using platform::MMRESULT;
using platform::WAVEHDR;

constexpr const char* kOpenCaption = "waveInOpen";

}  // namespace

const char* WaveInOpenErrorText(MMRESULT result) {
  switch (result) {
    case platform::MMSYSERR_BADDEVICEID: return "指定されたデバイス識別子は範囲外です。";
    case platform::MMSYSERR_ALLOCATED: return "指定されたリソースはすでに割り当てられています。";
    case platform::MMSYSERR_NODRIVER: return "デバイスドライバが存在しません。";
    case platform::MMSYSERR_NOMEM: return "メモリを割り当てられないか、またはロックできません。";
    case platform::WAVERR_BADFORMAT:
      return "サポートされていないウェーブフォームオーディオ形式でオープンしようとしました。";
    default: return "未知のエラー";
  }
}

CaptureEngine::~CaptureEngine() { Close(); }

bool CaptureEngine::Allocate(std::uint32_t frames) {
  Free();
  for (int i = 0; i < kRingSize; ++i) {
    auto& block = m_blocks[static_cast<std::size_t>(i)];
    block.reset(new (std::nothrow) std::int16_t[static_cast<std::size_t>(frames) * 2]());
    if (!block) {
      Free();
      return false;
    }
    WAVEHDR& h = m_hdr[static_cast<std::size_t>(i)];
    h = WAVEHDR{};
    h.lpData = reinterpret_cast<char*>(block.get());
    h.dwBufferLength = frames * 4;
    h.dwFlags = 0;
    h.dwLoops = 0;
  }
  m_nBufFrames = frames;
  return true;
}

void CaptureEngine::Free() {
  for (int i = 0; i < kRingSize; ++i) {
    m_hdr[static_cast<std::size_t>(i)] = WAVEHDR{};
    m_blocks[static_cast<std::size_t>(i)].reset();
  }
  m_nBufFrames = 0;
  m_pDoneHdr = nullptr;
}

CaptureEngine::CaptureEngine(platform::IWaveIn* waveIn, std::function<void(unsigned ms)> sleep)
    : m_waveIn(waveIn), m_sleep(sleep ? std::move(sleep) : std::function<void(unsigned)>(platform::Sleep)) {}

std::optional<unsigned> CaptureEngine::FindDevice(const std::string& name, unsigned count) const {
  for (unsigned id = 0; id < count; ++id) {
    platform::WAVEINCAPS caps;
    if (m_waveIn->waveInGetDevCaps(id, &caps) == platform::MMSYSERR_NOERROR && caps.szPname == name) return id;
  }
  return std::nullopt;
}

unsigned CaptureEngine::ChooseDevice(std::string& deviceName, ui::IWindow& window) {
  // The first look at the system may wait for a sound server still coming up.
  const unsigned count = m_waveIn->waveInGetNumDevs();
  if (deviceName.empty()) {
    // The system offers no capture device at all: the demo signal is all
    // there is (it is listed only then).
    return count == 1 && FindDevice(platform::kDemoDeviceName, 1) ? 0 : platform::WAVE_MAPPER;
  }
  if (const std::optional<unsigned> id = FindDevice(deviceName, count)) return *id;
  // A device the system lists a little late (a USB card at login, a sound
  // server still going through its cards) is waited for, within a bound,
  // before another input is recorded in its place.
  std::fprintf(stderr, "mivo: the input \"%s\" is not listed; waiting up to %u s for it\n", deviceName.c_str(),
               kDeviceWaitMs / 1000);
  for (unsigned waited = 0; waited < kDeviceWaitMs; waited += kDevicePollMs) {
    m_sleep(kDevicePollMs);
    if (const std::optional<unsigned> id = FindDevice(deviceName, m_waveIn->waveInGetNumDevs())) return *id;
  }
  // A device was expected: the preferred one, never the demo in its place.
  const std::string text = "入力デバイス:" + deviceName + " がないので、単に「優先するデバイス」にしときますね";
  window.MessageBox(text, ui::kAppTitle, ui::MB_OK);
  deviceName.clear();
  return platform::WAVE_MAPPER;
}

OpenOutcome CaptureEngine::Open(const platform::WAVEFORMATEX& format, std::uint32_t bufferFrames,
                                std::string& deviceName, ui::IWindow& window, bool inputGiven) {
  if (m_waveIn == nullptr) return OpenOutcome::Ignored;

  // The ring is allocated once; without it nothing can be captured, and the
  // user is asked as for a device that cannot get its memory.
  while (!Allocate(bufferFrames)) {
    const int answer = window.MessageBox(WaveInOpenErrorText(platform::MMSYSERR_NOMEM), kOpenCaption,
                                         ui::MB_ABORTRETRYIGNORE);
    if (answer == ui::IDABORT) return OpenOutcome::Aborted;
    if (answer != ui::IDRETRY) return OpenOutcome::Ignored;
  }

  // A named device that was not there is looked for again at each Retry:
  // a sound server that has come up meanwhile may list it now.
  std::string missing = inputGiven ? std::string() : deviceName;
  unsigned deviceId = inputGiven ? platform::WAVE_MAPPER : ChooseDevice(deviceName, window);
  if (!deviceName.empty()) missing.clear();

  for (;;) {
    platform::HWAVEIN handle = nullptr;
    const MMRESULT result = m_waveIn->waveInOpen(&handle, deviceId, format, &window);
    if (result == platform::MMSYSERR_NOERROR && handle != nullptr) {
      m_hWaveIn = handle;
      break;
    }
    const int answer = window.MessageBox(WaveInOpenErrorText(result), kOpenCaption,
                                         ui::MB_ABORTRETRYIGNORE);
    if (answer == ui::IDRETRY) {
      if (!missing.empty()) {
        if (const std::optional<unsigned> id = FindDevice(missing, m_waveIn->waveInGetNumDevs())) {
          deviceId = *id;
          deviceName = std::move(missing);  // found after all: kept
          missing.clear();
        }
      }
      continue;
    }
    if (answer == ui::IDABORT) return OpenOutcome::Aborted;
    return OpenOutcome::Ignored;  // runs without capture, the ring unused
  }

  // 62 of the 64 buffers; the results of these calls are not acted upon.
  for (int i = 0; i < kQueuedAtStart; ++i) {
    WAVEHDR* h = &m_hdr[static_cast<std::size_t>(i)];
    static_cast<void>(m_waveIn->waveInPrepareHeader(m_hWaveIn, h));
    static_cast<void>(m_waveIn->waveInAddBuffer(m_hWaveIn, h));
  }
  m_nNextHdr = kQueuedAtStart;
  static_cast<void>(m_waveIn->waveInStart(m_hWaveIn));
  return OpenOutcome::Opened;
}

int CaptureEngine::IndexOf(std::intptr_t lParam) const {
  // Only headers of this ring are taken; anything else is not ours.
  const auto p = static_cast<std::uintptr_t>(lParam);
  const auto first = reinterpret_cast<std::uintptr_t>(m_hdr.data());
  if (p < first) return -1;
  const std::uintptr_t offset = p - first;
  if (offset % sizeof(WAVEHDR) != 0) return -1;
  const std::uintptr_t index = offset / sizeof(WAVEHDR);
  return index < static_cast<std::uintptr_t>(kRingSize) ? static_cast<int>(index) : -1;
}

void CaptureEngine::OnBufferDone(std::uintptr_t wParam, std::intptr_t lParam, ICaptureClient& client) {
  // 1. Nothing open (never opened, or closed: the buffers waveInReset
  //    returned are still in the window's queue).
  if (m_hWaveIn == nullptr) return;
  if (wParam != reinterpret_cast<std::uintptr_t>(m_hWaveIn)) return;
  const int index = IndexOf(lParam);
  if (index < 0) return;

  // 2. The returned buffer.
  m_pDoneHdr = &m_hdr[static_cast<std::size_t>(index)];
  static_cast<void>(m_waveIn->waveInUnprepareHeader(m_hWaveIn, m_pDoneHdr));

  // 3. Hand the next ring entry back to the device: the one returned at the
  //    previous notification, never the one read below.
  m_nNextHdr = m_nNextHdr == kRingSize - 1 ? 0 : m_nNextHdr + 1;
  WAVEHDR* next = &m_hdr[static_cast<std::size_t>(m_nNextHdr)];
  static_cast<void>(m_waveIn->waveInPrepareHeader(m_hWaveIn, next));
  static_cast<void>(m_waveIn->waveInAddBuffer(m_hWaveIn, next));

  // 4. Scan the whole buffer, whatever its fill count says.
  const std::int16_t* s = reinterpret_cast<const std::int16_t*>(m_pDoneHdr->lpData);
  const std::uint32_t frames = m_nBufFrames;
  CapturedBuffer buffer;
  static_cast<BufferMeasure&>(buffer) = MeasureFrames(s, frames);
  buffer.data = m_pDoneHdr->lpData;
  buffer.bytes = frames * 4;
  buffer.frames = frames;

  // 5. Means (division truncates toward zero); the spans are measured.
  m_nMeanL = static_cast<std::int32_t>(buffer.sumL / static_cast<std::int64_t>(frames));
  m_nMeanR = static_cast<std::int32_t>(buffer.sumR / static_cast<std::int64_t>(frames));

  // 6. Meters.
  client.OnMeters(MeterInput{s, frames, buffer.spanL, buffer.spanR, buffer.level});

  // 7. The published level.
  m_nLevel = buffer.level;

  // 8. Silence counting and the recording decision.
  client.OnCapturedBuffer(buffer);
}

void CaptureEngine::Close() {
  if (m_hWaveIn != nullptr && m_waveIn != nullptr) {
    // The results of these calls are not acted upon: the device goes either way.
    static_cast<void>(m_waveIn->waveInStop(m_hWaveIn));
    static_cast<void>(m_waveIn->waveInReset(m_hWaveIn));
    for (int i = 0; i < kRingSize; ++i) {
      static_cast<void>(m_waveIn->waveInUnprepareHeader(m_hWaveIn, &m_hdr[static_cast<std::size_t>(i)]));
      m_hdr[static_cast<std::size_t>(i)] = WAVEHDR{};
      m_blocks[static_cast<std::size_t>(i)].reset();
    }
    static_cast<void>(m_waveIn->waveInClose(m_hWaveIn));
    m_hWaveIn = nullptr;
  }
  Free();
}

bool CaptureEngine::GetStatus(platform::WaveInStatus* status) const {
  if (m_hWaveIn == nullptr || m_waveIn == nullptr) return false;
  return m_waveIn->waveInGetStatus(m_hWaveIn, status) == platform::MMSYSERR_NOERROR;
}

}  // namespace mivo
