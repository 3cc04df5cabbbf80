// A wave input driven by the test, buffer by buffer: its devices are a list
// of names, every call is recorded, and the test fills the oldest queued
// buffer with frames of its choice, which posts MM_WIM_DATA to the window
// as a real device does. waveInOpen can be told to fail.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "platform/ui/window.h"
#include "platform/wavein/wavein.h"

namespace mivo::testing {

class ManualWaveIn final : public platform::IWaveIn {
 public:
  struct Call {
    std::string name;                    // "open", "prepare", "add", "unprepare", "start", "stop", "reset", "close"
    platform::WAVEHDR* hdr = nullptr;    // for the header calls
    unsigned deviceId = 0;               // for "open"
  };

  explicit ManualWaveIn(std::vector<std::string> devices = {}) : m_devices(std::move(devices)) {}

  // The device list from now on.
  void SetDevices(std::vector<std::string> devices);

  // The next waveInOpen calls answer these results, one each, then success.
  void QueueOpenResult(platform::MMRESULT result);

  // Fills the oldest queued buffer with `samples` (left, right, left, ...;
  // cut to the buffer, the rest zero), marks it done and, when `post`,
  // posts MM_WIM_DATA to the window. Returns the buffer, or nullptr when
  // none is queued: that is an overrun, counted and reported with
  // MM_WIM_STATUS.
  platform::WAVEHDR* Deliver(const std::vector<std::int16_t>& samples, bool post = true);
  // Every frame the same pair.
  platform::WAVEHDR* DeliverConstant(std::int16_t left, std::int16_t right, bool post = true);

  // The source goes away or comes back: MM_WIM_STATUS. The status names the
  // device opened (the first one for WAVE_MAPPER).
  void SetLost(bool lost);

  std::vector<Call> Calls() const;
  void ClearCalls();
  std::size_t QueuedCount() const;
  std::vector<platform::WAVEHDR*> Queued() const;
  bool IsOpen() const;
  bool IsStarted() const;
  platform::WAVEFORMATEX OpenedFormat() const;
  unsigned OpenedDevice() const;
  std::uint64_t Overruns() const;

  // IWaveIn
  unsigned waveInGetNumDevs() override;
  platform::MMRESULT waveInGetDevCaps(unsigned deviceId, platform::WAVEINCAPS* caps) override;
  platform::MMRESULT waveInOpen(platform::HWAVEIN* phwi, unsigned deviceId, const platform::WAVEFORMATEX& format,
                                ui::IWindow* callbackWindow) override;
  platform::MMRESULT waveInPrepareHeader(platform::HWAVEIN hwi, platform::WAVEHDR* hdr) override;
  platform::MMRESULT waveInUnprepareHeader(platform::HWAVEIN hwi, platform::WAVEHDR* hdr) override;
  platform::MMRESULT waveInAddBuffer(platform::HWAVEIN hwi, platform::WAVEHDR* hdr) override;
  platform::MMRESULT waveInStart(platform::HWAVEIN hwi) override;
  platform::MMRESULT waveInStop(platform::HWAVEIN hwi) override;
  platform::MMRESULT waveInReset(platform::HWAVEIN hwi) override;
  platform::MMRESULT waveInClose(platform::HWAVEIN hwi) override;
  platform::MMRESULT waveInGetStatus(platform::HWAVEIN hwi, platform::WaveInStatus* status) override;

 private:
  // The handle is the address of this member; it is never dereferenced.
  platform::HWAVEIN Handle() const;
  bool Ours(platform::HWAVEIN hwi) const;
  void PostStatusLocked();

  mutable std::mutex m_mtx;
  std::vector<std::string> m_devices;
  std::deque<platform::MMRESULT> m_openResults;
  std::vector<Call> m_calls;
  std::deque<platform::WAVEHDR*> m_queue;
  ui::IWindow* m_window = nullptr;
  bool m_bOpen = false;
  bool m_bStarted = false;
  platform::WAVEFORMATEX m_format;
  unsigned m_deviceId = 0;
  platform::WaveInStatus m_status;
  char m_token = 0;
};

// Frames of one buffer: every frame (left, right).
std::vector<std::int16_t> ConstantFrames(std::uint32_t frames, std::int16_t left, std::int16_t right);

}  // namespace mivo::testing
