// The capture format and buffer size of this run, built once at start-up
// from the settings. Values the engine cannot capture with (a hand-edited
// settings file) are replaced by the defaults for this run and named in a
// refusal text; the settings record itself keeps them.
#pragma once

#include <cstdint>
#include <string>

#include "platform/wavein/wavein.h"
#include "settings/recorder_settings.h"

namespace mivo {

// Frames per capture buffer: the spectrum needs 1024; the upper bound keeps
// the 64-buffer ring at 16 MiB and a buffer under 1.5 s at 44.1 kHz.
inline constexpr std::int32_t kMinBufferFrames = 1024;
inline constexpr std::int32_t kMaxBufferFrames = 65536;
inline constexpr std::int32_t kMinSampleRate = 8000;
inline constexpr std::int32_t kMaxSampleRate = 192000;

struct CaptureSetup {
  platform::WAVEFORMATEX format;  // PCM, 16-bit stereo at the chosen rate
  std::uint32_t bufferFrames = 1024;
  std::string refusal;  // empty when every value was usable
};

CaptureSetup BuildCaptureSetup(const RecorderSettings& settings);

// The header form of a new track: 2 (old, 44 bytes) or 0 (new, 46 bytes);
// any other stored value writes the new form.
int HeaderShortening(std::int32_t setting);

}  // namespace mivo
