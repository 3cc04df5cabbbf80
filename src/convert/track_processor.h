// The processing of one queued track: the sample passes and the encoders
// that are enabled, in their fixed order.
#pragma once

#include "convert/conversion_worker.h"

namespace mivo {

class TrackProcessor final : public ITrackProcessor {
 public:
  void ProcessTrack(const QueueEntry& entry, int headerShortening, IWorkerWindow& window) override;
};

}  // namespace mivo
