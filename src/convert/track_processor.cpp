#include "convert/track_processor.h"

namespace mivo {

void TrackProcessor::ProcessTrack(const QueueEntry& /*entry*/, int /*headerShortening*/,
                                  IWorkerWindow& /*window*/) {
  // Normalization, de-emphasis, resampling and the MP3 and WMA encoders run
  // here, each when enabled. With none of them built in, the track is kept
  // or deleted by the worker according to RecWav.
}

}  // namespace mivo
