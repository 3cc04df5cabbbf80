// The file input (--input-file): one device, named "ファイル: <file name>",
// that plays a WAV file at real-time pace and then digital silence for ever.
#pragma once

#include <memory>

#include "platform/wavein/wav_file.h"
#include "platform/wavein/wave_backend.h"

namespace mivo::platform {

std::unique_ptr<IWaveInBackend> CreateFileBackend(const WavFileInfo& file);

}  // namespace mivo::platform
