// The capture engine: one wave-input device open for the life of the window,
// a ring of 64 buffers of which 62 are always queued, and the per-buffer
// cycle run on the window's thread for every MM_WIM_DATA.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "capture/track_stats.h"
#include "platform/ui/window.h"
#include "platform/wavein/wavein.h"

namespace mivo {

inline constexpr int kRingSize = 64;
inline constexpr int kQueuedAtStart = 62;

// One returned buffer as the later steps see it, with its measure. Frames
// are 4 bytes: a signed 16-bit left sample, then the right one, little-endian.
struct CapturedBuffer : BufferMeasure {
  const char* data = nullptr;
  std::uint32_t bytes = 0;   // frames * 4
  std::uint32_t frames = 0;
};

// What the meters receive for each buffer.
struct MeterInput {
  const std::int16_t* samples = nullptr;  // frames * 2, left then right
  std::uint32_t frames = 0;
  std::uint32_t spanL = 0;  // largest minus smallest sample, 0..65535
  std::uint32_t spanR = 0;
  std::uint32_t level = 0;
};

// The steps of the buffer cycle that belong to other parts of the window.
class ICaptureClient {
 public:
  virtual ~ICaptureClient() = default;
  // Peak hold, meter scaling and drawing, the peak number.
  virtual void OnMeters(const MeterInput& /*input*/) {}
  // Silence counting and the recording decision; the buffer may be written.
  virtual void OnCapturedBuffer(const CapturedBuffer& buffer) = 0;
};

enum class OpenOutcome {
  Opened,   // capture runs
  Ignored,  // no device (the user chose Ignore, or there is no wave input): no buffer ever arrives
  Aborted,  // the user chose Abort: the window should close
};

// How long a named device that the system does not list is looked for
// before another input is taken in its place, and how often.
constexpr unsigned kDeviceWaitMs = 10000;
constexpr unsigned kDevicePollMs = 250;

class CaptureEngine {
 public:
  // `waveIn` may be null: the window then runs without capture. `sleep`
  // waits between looks for a named device the system does not list yet
  // (empty: the system's sleep).
  explicit CaptureEngine(platform::IWaveIn* waveIn, std::function<void(unsigned ms)> sleep = {});
  ~CaptureEngine();
  CaptureEngine(const CaptureEngine&) = delete;
  CaptureEngine& operator=(const CaptureEngine&) = delete;

  // Allocates the ring, chooses the device by `deviceName` (empty: the
  // preferred device; a name no device has is looked for again for up to
  // kDeviceWaitMs, then reported and cleared, and the preferred device is
  // used), opens it for `format` with notifications
  // to `window`, queues 62 buffers and starts capture. Failures are asked
  // about with Abort/Retry/Ignore boxes shown by `window`; a named device
  // that was missing is looked for again at Retry (and kept when found).
  // The demo signal stands in only when no device is named and the system
  // offers nothing else. With `inputGiven` (the input of this run was named
  // on the command line) the preferred device is opened and `deviceName`
  // is neither looked at nor changed.
  OpenOutcome Open(const platform::WAVEFORMATEX& format, std::uint32_t bufferFrames,
                   std::string& deviceName, ui::IWindow& window, bool inputGiven = false);

  // MM_WIM_DATA: wParam the device, lParam the returned WAVEHDR*.
  void OnBufferDone(std::uintptr_t wParam, std::intptr_t lParam, ICaptureClient& client);

  // Stops, resets and closes the device and frees the ring. Notifications
  // still waiting in the window's queue do nothing afterwards.
  void Close();

  // The device's state (overruns, lost, demo); false without a device.
  bool GetStatus(platform::WaveInStatus* status) const;

  bool IsOpen() const { return m_hWaveIn != nullptr; }
  platform::HWAVEIN Handle() const { return m_hWaveIn; }
  std::uint32_t BufferFrames() const { return m_nBufFrames; }
  std::uint32_t Level() const { return m_nLevel; }
  std::int32_t MeanL() const { return m_nMeanL; }
  std::int32_t MeanR() const { return m_nMeanR; }
  int NextHdr() const { return m_nNextHdr; }
  const platform::WAVEHDR* Header(int index) const { return &m_hdr[static_cast<std::size_t>(index)]; }
  const platform::WAVEHDR* DoneHdr() const { return m_pDoneHdr; }

 private:
  unsigned ChooseDevice(std::string& deviceName, ui::IWindow& window);
  std::optional<unsigned> FindDevice(const std::string& name, unsigned count) const;
  bool Allocate(std::uint32_t frames);
  void Free();
  int IndexOf(std::intptr_t lParam) const;

  platform::IWaveIn* m_waveIn;
  std::function<void(unsigned ms)> m_sleep;
  platform::HWAVEIN m_hWaveIn = nullptr;
  std::uint32_t m_nBufFrames = 0;
  std::array<std::unique_ptr<std::int16_t[]>, kRingSize> m_blocks;
  std::array<platform::WAVEHDR, kRingSize> m_hdr{};
  int m_nNextHdr = 0;
  platform::WAVEHDR* m_pDoneHdr = nullptr;
  std::uint32_t m_nLevel = 0;
  std::int32_t m_nMeanL = 0;
  std::int32_t m_nMeanR = 0;
};

// The text of the waveInOpen failure box for a result code.
const char* WaveInOpenErrorText(platform::MMRESULT result);

}  // namespace mivo
