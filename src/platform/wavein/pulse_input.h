// Wave input from a PulseAudio server (PipeWire serves the same API): its
// sources, monitors included, in the server's order and named by their
// descriptions; the preferred device is the server's default source.
#pragma once

#include <memory>

#include "platform/wavein/wave_backend.h"

namespace mivo::platform {

// Never starts a server. Refresh tells Absent when no server runs (no
// socket, connection refused) and NotAnswering when one is there but does
// not answer within a couple of seconds; each Refresh asks again.
std::unique_ptr<IWaveInBackend> CreatePulseBackend();

}  // namespace mivo::platform
