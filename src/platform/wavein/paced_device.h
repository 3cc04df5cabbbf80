// A device fed by a source that is computed or read rather than recorded
// (the file input, the demo signal): a thread of its own renders the source
// in chunks of 10 ms at real-time pace, sleeping to absolute deadlines on the
// monotonic clock so that the pace never drifts.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/sync/thread.h"
#include "platform/wavein/wave_device.h"

namespace mivo::platform {

class IPacedSource {
 public:
  virtual ~IPacedSource() = default;
  // Writes `frames` frames from frame `first` on (the device's format) to `out`.
  virtual void Render(std::uint64_t first, char* out, std::size_t frames) = 0;
};

class PacedDevice final : public WaveInDevice {
 public:
  PacedDevice(ui::IWindow* window, const WAVEFORMATEX& format, std::string name, bool demo,
              std::unique_ptr<IPacedSource> source);
  ~PacedDevice() override;

  // Starts the thread; it waits until waveInStart. False when the system
  // gives no thread.
  bool Launch();

 protected:
  void BeginCapture() override;
  void PauseCapture() override;
  void Shutdown() override;

 private:
  void Run();

  std::unique_ptr<IPacedSource> m_source;
  std::vector<char> m_scratch;  // one chunk, allocated once
  std::size_t m_nChunkFrames = 0;

  std::mutex m_mtxCtl;
  std::condition_variable m_cvCtl;
  bool m_bWanted = false;
  bool m_bQuit = false;
  Thread m_thread;
};

}  // namespace mivo::platform
