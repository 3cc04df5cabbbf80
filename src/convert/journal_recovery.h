// Start-up: what became of each track the queue journal held, and the
// files that an interrupted step left behind.
#pragma once

#include <string>

#include "convert/queue_journal.h"

namespace mivo {

enum class EntryFate {
  Resume,    // queued again; it resumes after its ended steps
  Finished,  // only its removal from the queue was left, and its track is gone as asked
  Gone,      // its track file no longer exists
  Changed,   // its track file is not the version the journal knows: left as it is
};

// Settles the step that was in flight (its rename happened or it did not),
// removes the temporary files of the entry's steps, and tells whether the
// track file is where the journal says it is. `entry` is updated to resume.
EntryFate ResolveEntry(JournalEntry& entry);

// Removes `temp` and whatever an encoder left beside it under a longer name
// ("<temp>.<anything>").
void RemoveLeftovers(const std::string& temp);

}  // namespace mivo
