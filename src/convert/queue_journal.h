// The queue journal: the conversion queue as it stands, kept in a small
// file beside the settings file, so that a recorder killed at any moment, or
// a machine that loses its power, loses no track and applies no step twice.
//
// What it holds. The track being recorded (its file, how it is written and,
// once known, the time of its first audio), and every queued track with all
// its queue entry carries, the steps of its processing that have ended, the
// version of the track file those steps left (device, inode, length and
// modification time), and the one step in flight, if any.
//
// How it is written. The whole contents, as checksummed records, go to
// "<journal>.tmp", which is synced and renamed over the journal: the file is
// always one complete snapshot. A thread of its own writes each change
// (several at once when they come quickly). The window thread only changes
// the contents in memory and never waits for the disk; the worker waits
// (bounded) until its change is on disk before it goes on. A write that
// fails (a full disk) is told once and retried every second; the file then
// keeps the last snapshot written.
//
// Why a step is never applied twice nor lost. A pass writes its result to
// "<track>.tmp" and syncs it; then the worker records, on disk, the step
// and the identity of that temporary file; then the rename puts it in place
// (keeping the file's identity); then the worker records the step as ended,
// with the temporary file's identity as the track's new version, on disk,
// before anything else happens. At a restart the track file is compared
// with what the journal says:
//   - it is the version recorded after the last ended step: that is where
//     it stands (a step in flight had not been renamed yet; its temporary
//     file is removed and the step runs again);
//   - it is the temporary file of the step in flight: the rename happened
//     and only its record is missing, so the step counts as ended;
//   - anything else (the journal could not be written for a while and the
//     processing went on, or someone changed the file): the journal cannot
//     say which steps the file has been through, so it is left as it is,
//     untouched and told, never processed again.
// A step's result is thus applied exactly once or not at all. Outputs work
// the same way: the encoder writes "<output>.tmp", which is renamed to the
// output after its record; an output file with the recorded identity is
// done, anything else is written again from the track, which outputs never
// change. A step that failed is recorded as ended once the user has been
// told, so it is not tried again either.
//
// The file format: the line "MIVO QUEUE JOURNAL 1\n", then records, each a
// 32-bit length, the CRC-32 of the payload and the payload; all numbers
// little-endian. Reading stops at the first record that is cut short, fails
// its checksum or makes no sense: what came before it is used, the file is
// set aside, and the rest is told.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "convert/conversion_queue.h"
#include "convert/step_ledger.h"
#include "platform/files/files.h"
#include "platform/sync/thread.h"

namespace mivo {

// The step in flight of a queued track.
struct PendingStep {
  TrackStep step = TrackStep::None;
  bool output = false;    // an output file; else a pass over the track
  bool renaming = false;  // the result is complete and about to be renamed
  std::string temp;       // what the step writes
  std::string target;     // what the temporary file becomes
  std::string keep;       // where the old track stays (a pass that keeps it)
  platform::FileId tempId;  // the complete result (renaming only)
};

struct JournalEntry {
  QueueEntry entry;
  platform::FileId version;  // the track file as its ended steps left it
  StepsDone steps;
  PendingStep pending;
};

// The track being recorded.
struct RecordingTrack {
  bool active = false;
  std::string file;
  platform::FileId id;         // the file (device and inode) created for it
  bool started = false;        // its first audio has been written
  std::int64_t startTime = 0;  // seconds since 1970 of its first audio
  std::int32_t sampleRate = 44100;
  std::int32_t headerShortening = 0;  // 0: 46-byte header, 2: 44-byte header
  std::uint32_t leadGapBytes = 0;     // zero frames before the audio
  std::uint32_t bufferFrames = 1024;  // frames per capture buffer
};

struct JournalState {
  RecordingTrack recording;
  std::vector<JournalEntry> entries;  // in queue order
};

std::string EncodeJournal(const JournalState& state);

struct DecodedJournal {
  JournalState state;
  std::size_t usedBytes = 0;  // the bytes the state was read from
  bool damaged = false;       // bytes after usedBytes could not be read
  std::string why;            // what was wrong with them
};

// Reads what it can of a journal's bytes. Never fails: garbage yields what
// came before it, an empty input an empty queue.
DecodedJournal DecodeJournal(std::string_view bytes);

class QueueJournal final : public IStepLedger {
 public:
  // Lines for the debug log and the terminal.
  using Note = std::function<void(std::string_view line)>;

  QueueJournal(std::string path, Note note);
  ~QueueJournal() override;
  QueueJournal(const QueueJournal&) = delete;
  QueueJournal& operator=(const QueueJournal&) = delete;

  // The journal of a settings file: "<settings file>.journal".
  static std::string PathFor(const std::string& settingsPath);
  const std::string& Path() const { return m_path; }

  // Start-up, before Start: what the file holds. A missing file holds
  // nothing. A file that cannot be read in full is renamed to
  // "<journal>.bad" and told; what could be read is returned.
  JournalState Load();
  // Takes `state` as the contents, starts the writing thread and writes
  // them at once. When the system gives no thread, that is told and each
  // change is written by the call that makes it instead (the start time of
  // RecordingStarted, which must not wait, with the next change).
  void Start(JournalState state);
  // Writes what is not yet written and ends the thread.
  void Stop();

  // The window thread: changes in memory, written soon; never waits.
  void RecordingOpened(const RecordingTrack& track);
  void RecordingStarted(std::int64_t startTime);  // allocates nothing
  // The track being recorded was deleted, or is kept out of the queue.
  void RecordingDropped();
  // The track being recorded (or a recovered one) joins the queue, its
  // file being `version`.
  void Queued(const QueueEntry& entry, const platform::FileId& version);

  // IStepLedger: the worker thread.
  StepsDone Done(const QueueEntry& entry) override;
  void OutputBegun(const QueueEntry& entry, TrackStep step, const ReplaceIntent& files) override;
  void Replacing(const QueueEntry& entry, TrackStep step, bool output, const ReplaceIntent& intent) override;
  void StepEnded(const QueueEntry& entry, TrackStep step, bool failed) override;
  void Finishing(const QueueEntry& entry) override;
  void Removed(const QueueEntry& entry) override;

  // The contents now.
  JournalState Contents() const;
  // Waits until every change made so far is on disk; false when a write
  // failed or `timeout` passed first.
  bool Flush(std::chrono::milliseconds timeout);

 private:
  // Under m_mtx: marks the contents changed; returns the change's number.
  std::uint64_t ChangedLocked();
  bool WaitWritten(std::uint64_t change, std::chrono::milliseconds timeout);
  JournalEntry* FindLocked(const std::string& file);
  void Run();
  // Under m_mtx (released while writing): writes the latest change if it
  // is not on disk.
  void WriteChangeLocked(std::unique_lock<std::mutex>& lock);
  // Without a thread: writes the latest change now. Otherwise nothing.
  void WriteWithoutThread();

  const std::string m_path;
  const Note m_note;

  mutable std::mutex m_mtx;
  std::condition_variable m_cvChanged;  // wakes the writing thread
  std::condition_variable m_cvWritten;  // wakes those waiting for the disk
  JournalState m_state;
  std::uint64_t m_nChanged = 0;  // number of the latest change
  std::uint64_t m_nWritten = 0;  // latest change on disk
  std::uint64_t m_nFailed = 0;   // latest change whose write failed
  bool m_bFailing = false;
  bool m_bRunning = false;
  bool m_bStop = false;
  bool m_bNoThread = false;  // the changes are written by their callers
  std::mutex m_writeMtx;     // one write at a time (taken before m_mtx)
  platform::Thread m_thread;
};

}  // namespace mivo
