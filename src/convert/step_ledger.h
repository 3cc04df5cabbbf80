// The steps of a track's processing and what the worker tells the queue
// journal about them, so that a restart resumes each track where it was.
#pragma once

#include <cstdint>

#include "convert/conversion_queue.h"
#include "convert/track_rewrite.h"

namespace mivo {

// The steps in their order. The numbers are stored in the queue journal:
// a new step gets a new number, none is ever reused.
enum class TrackStep : std::uint8_t {
  None = 0,
  Normalize = 1,
  DeEmphasis = 2,
  Resample = 3,
  Mp3 = 4,
  Wma = 5,
  Finish = 31,  // time stamps and the removal of the track
};

constexpr std::uint32_t StepBit(TrackStep step) { return 1u << static_cast<unsigned>(step); }

// The steps of one track that have ended.
struct StepsDone {
  std::uint32_t ended = 0;   // committed, or failed and told
  std::uint32_t failed = 0;  // of those, the ones that failed
  bool Ended(TrackStep step) const { return (ended & StepBit(step)) != 0; }
  bool Failed(TrackStep step) const { return (failed & StepBit(step)) != 0; }
};

// Where the worker records its progress. The calls that say "on disk"
// return once the record has reached the disk (or writing it has failed,
// which is told elsewhere); the worker goes on either way.
class IStepLedger {
 public:
  virtual ~IStepLedger() = default;
  // The steps of the track that ended in an earlier run.
  virtual StepsDone Done(const QueueEntry& entry) = 0;
  // An output step is about to write `files.temp`, to be renamed to
  // `files.target`: a restart removes what it left. On disk.
  virtual void OutputBegun(const QueueEntry& entry, TrackStep step, const ReplaceIntent& files) = 0;
  // A complete result is about to replace its target: the track itself (a
  // pass) or an output file. On disk.
  virtual void Replacing(const QueueEntry& entry, TrackStep step, bool output, const ReplaceIntent& intent) = 0;
  // The step has ended: committed, or failed and told. On disk.
  virtual void StepEnded(const QueueEntry& entry, TrackStep step, bool failed) = 0;
  // Every step has ended; the time stamps and the removal of the track are
  // next. On disk.
  virtual void Finishing(const QueueEntry& entry) = 0;
  // The track's processing has ended and it has left the queue.
  virtual void Removed(const QueueEntry& entry) = 0;
};

}  // namespace mivo
