// What every wave-input device shares, whatever feeds it: the queue of the
// headers handed to it, the filling of the one at the head, the posts to the
// window, the overrun count and the lost/running state.
//
// The window thread calls the Prepare ... Close members (through IWaveIn);
// the device's capture thread (a thread of its own, or a sound library's)
// calls Deliver, CountDeviceOverrun and SetLost. Both sides meet under one
// mutex, and the capture side allocates nothing.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/wavein/wavein.h"

namespace mivo::platform {

// The formats every device takes: PCM, 16 bits, 1 or 2 channels, block align
// and byte rate consistent with them, and a rate of 1000 .. 384000 Hz.
bool IsSupportedPcm16(const WAVEFORMATEX& format);

struct WaveInDevice {
 public:
  WaveInDevice(ui::IWindow* window, const WAVEFORMATEX& format, std::string name, bool demo);
  virtual ~WaveInDevice();
  WaveInDevice(const WaveInDevice&) = delete;
  WaveInDevice& operator=(const WaveInDevice&) = delete;

  // Window thread.
  MMRESULT Prepare(WAVEHDR* hdr);
  MMRESULT Unprepare(WAVEHDR* hdr);
  MMRESULT Add(WAVEHDR* hdr);
  MMRESULT Start();
  MMRESULT Stop();
  MMRESULT Reset();
  // WAVERR_STILLPLAYING while buffers are queued; otherwise ends the
  // capture thread (Shutdown). The caller then destroys the device.
  MMRESULT Close();
  void GetStatus(WaveInStatus* status) const;

  const WAVEFORMATEX& Format() const { return m_format; }

 protected:
  // Window thread, with no lock of this class held. Begin/Pause ask the
  // capture side to deliver or to stop delivering; Shutdown ends the capture
  // thread for good (it must not return while the thread can still call in).
  virtual void BeginCapture() = 0;
  virtual void PauseCapture() = 0;
  virtual void Shutdown() = 0;

  // Capture side. Copies `bytes` bytes (zeros when data is null) into the
  // queued buffers, posting each one that is full; what finds no buffer is
  // dropped and counted. Returns false (and takes nothing) while the device
  // is stopped, so a paced source can keep its position.
  bool Deliver(const void* data, std::size_t bytes);
  // The sound system itself lost audio (an ALSA overrun): one buffer's worth.
  void CountDeviceOverrun();
  // Lost / back: posts MM_WIM_STATUS when the state changes.
  void SetLost(bool lost);
  // The size of the buffers queued (the last one added), for a sound
  // system's fragment size; a tenth of a second before any was added.
  std::uint32_t QueuedBufferBytes() const;

 private:
  using Clock = std::chrono::steady_clock;

  void CountDroppedLocked(std::size_t bytes);
  void PostStatusLocked(bool force);
  std::uint32_t UsableLength(const WAVEHDR* hdr) const;

  ui::IWindow* const m_window;
  const WAVEFORMATEX m_format;
  const bool m_bDemo;

  mutable std::mutex m_mtx;
  std::string m_strName;
  WAVEHDR* m_pHead = nullptr;  // the queue, linked through lpNext
  WAVEHDR* m_pTail = nullptr;
  bool m_bRunning = false;
  bool m_bLost = false;
  std::uint64_t m_nOverruns = 0;
  std::uint64_t m_nDropRun = 0;      // bytes dropped since a buffer was last available
  std::uint32_t m_dwUnit = 0;        // bytes of one buffer, for counting overruns
  bool m_bStatusPending = false;     // an overrun not told yet
  Clock::time_point m_lastStatus{};  // the last MM_WIM_STATUS about overruns
};

}  // namespace mivo::platform
