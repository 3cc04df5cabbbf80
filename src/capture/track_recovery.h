// Start-up after a crash or a termination: the track that was being
// recorded is repaired and queued, then every track the queue journal still
// held resumes, in the old order, after its ended steps.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "convert/conversion_queue.h"
#include "convert/queue_journal.h"

namespace mivo {

enum class RepairOutcome {
  Repaired,  // sizes and measure taken from the file
  NoAudio,   // nothing was recorded beyond the lead gap: the file is removed
  Missing,   // the file no longer exists
  Changed,   // the file is another one than the recorder created
  Failed,    // it cannot be read or written: left as it is
};

// Repairs the track `rec` describes as the writer would have closed it: the
// sizes from the file's length cut to whole frames, the peak, channel means
// and extremes measured buffer by buffer from its audio as capture measures
// them, the start time from the journal (else the file's time less its
// length). On Repaired, `entry` and `version` describe it for the queue.
RepairOutcome RepairTrack(const RecordingTrack& rec, QueueEntry* entry, platform::FileId* version, std::string* why);

struct RecoveryReport {
  std::vector<std::string> queued;  // the tracks queued again, in order
};

// Reads the journal, repairs the interrupted track, settles every queued
// track, removes the temporary files left behind, starts the journal with
// what was kept and appends those tracks to `queue`. Each track left out is
// told through `note`.
RecoveryReport RecoverTracks(QueueJournal& journal, ConversionQueue& queue,
                             const std::function<void(std::string_view)>& note);

}  // namespace mivo
