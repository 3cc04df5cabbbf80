// Wave input straight from ALSA, for systems without a sound server: the
// capture-capable cards by card name (opened through "plughw", which converts
// rate and format), and the "default" PCM as the preferred device.
#pragma once

#include <memory>

#include "platform/wavein/wave_backend.h"

namespace mivo::platform {

std::unique_ptr<IWaveInBackend> CreateAlsaBackend();

}  // namespace mivo::platform
