// One provider of wave-input devices: a sound system (PulseAudio, ALSA), the
// file input or the demo signal. The system wave input (system_wavein.cpp)
// puts their lists one after the other and maps device ids to them.
#pragma once

#include <memory>
#include <vector>

#include "platform/wavein/wave_device.h"
#include "platform/wavein/wavein.h"

namespace mivo::platform {

// The index that opens a backend's preferred device.
inline constexpr unsigned kPreferredDevice = WAVE_MAPPER;

// What looking a sound system up found.
enum class Presence {
  Answered,      // it is there (its list may still be empty)
  Absent,        // nobody there: no server runs
  NotAnswering,  // something is there but does not answer in time
};

class IWaveInBackend {
 public:
  virtual ~IWaveInBackend() = default;

  // Looks the devices up again; unless Answered, the list is empty.
  virtual Presence Refresh() = 0;
  // The devices found by the last Refresh, in the system's order.
  virtual const std::vector<WAVEINCAPS>& Devices() const = 0;
  // Whether kPreferredDevice opens something (as of the last Refresh).
  virtual bool HasPreferred() const = 0;
  // Opens Devices()[index] or, with kPreferredDevice, the preferred device.
  virtual MMRESULT Open(unsigned index, const WAVEFORMATEX& format, ui::IWindow* window,
                        std::unique_ptr<WaveInDevice>* device) = 0;
};

}  // namespace mivo::platform
