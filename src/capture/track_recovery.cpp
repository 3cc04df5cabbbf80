#include "capture/track_recovery.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "capture/track_stats.h"
#include "capture/track_writer.h"
#include "convert/journal_recovery.h"
#include "convert/track_rewrite.h"
#include "platform/process/unique_fd.h"

namespace mivo {
namespace {

bool Fail(std::string* why, const std::string& what) {
  *why = what + " (" + std::strerror(errno) + ")";
  return false;
}

bool ReadAt(int fd, std::uint64_t offset, void* data, std::size_t size) {
  auto* p = static_cast<char*>(data);
  while (size > 0) {
    const ssize_t n = ::pread(fd, p, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    p += n;
    size -= static_cast<std::size_t>(n);
    offset += static_cast<std::uint64_t>(n);
  }
  return true;
}

bool PutAt(int fd, std::uint64_t offset, std::uint32_t v) {
  std::uint8_t b[4];
  PutLe32(b, v);
  return ::pwrite(fd, b, 4, static_cast<off_t>(offset)) == 4;
}

}  // namespace

RepairOutcome RepairTrack(const RecordingTrack& rec, QueueEntry* entry, platform::FileId* version, std::string* why) {
  platform::UniqueFd fd(::open(rec.file.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW));
  if (!fd) {
    if (errno == ENOENT) return RepairOutcome::Missing;
    Fail(why, "cannot be opened");
    return RepairOutcome::Failed;
  }
  platform::FileId id;
  if (!platform::FileIdOf(fd.Get(), &id)) {
    Fail(why, "cannot be looked at");
    return RepairOutcome::Failed;
  }
  if (!id.SameFile(rec.id)) return RepairOutcome::Changed;

  const int s = rec.headerShortening;
  const std::uint64_t header = TrackHeaderSize(s);
  const std::uint64_t length = static_cast<std::uint64_t>(id.size);
  // A file that took the place (and the inode) of a track removed meanwhile
  // does not begin as the writer began the track.
  // (The journal knows a track only once its header is written.)
  std::uint8_t head[kTrackHeaderMax] = {};
  if (length < header) return RepairOutcome::Changed;
  if (!ReadAt(fd.Get(), 0, head, static_cast<std::size_t>(header))) {
    Fail(why, "cannot be read");
    return RepairOutcome::Failed;
  }
  if (std::memcmp(head, "RIFF", 4) != 0 || std::memcmp(head + 8, "WAVEfmt ", 8) != 0 ||
      GetLe32(head + 16) != 18u - static_cast<std::uint32_t>(s) || GetLe16(head + kFormatTagOffset) != 1 ||
      GetLe32(head + kSampleRateOffset) != static_cast<std::uint32_t>(rec.sampleRate) ||
      std::memcmp(head + header - 8, "data", 4) != 0) {
    return RepairOutcome::Changed;
  }
  std::uint64_t data = (length - header) & ~std::uint64_t{3};
  if (data > TrackWriter::kMaxDataBytes) data = TrackWriter::kMaxDataBytes & ~std::uint64_t{3};
  const std::uint64_t audio = data > rec.leadGapBytes ? data - rec.leadGapBytes : 0;
  if (audio == 0) {
    // Nothing was recorded: the writer would have removed it at its close.
    fd.Reset();
    if (!platform::RemoveFile(rec.file)) {
      Fail(why, "holds no audio but cannot be removed");
      return RepairOutcome::Failed;
    }
    return RepairOutcome::NoAudio;
  }

  // The audio in the capture's buffers, each measured as capture measured it.
  const std::uint64_t bufferBytes = std::uint64_t{rec.bufferFrames} * 4;
  std::vector<std::int16_t> samples(static_cast<std::size_t>(bufferBytes / 2));
  TrackStats stats;
  for (std::uint64_t at = 0; at < audio; at += bufferBytes) {
    const std::size_t n = static_cast<std::size_t>(audio - at < bufferBytes ? audio - at : bufferBytes);
    if (!ReadAt(fd.Get(), header + rec.leadGapBytes + at, samples.data(), n)) {
      Fail(why, "cannot be read");
      return RepairOutcome::Failed;
    }
    SamplesFromFile(samples.data(), n / 2);
    stats.Add(MeasureFrames(samples.data(), static_cast<std::uint32_t>(n / 4)));
  }

  // The sizes the writer would have patched, for exactly the whole frames.
  const auto dataBytes = static_cast<std::uint32_t>(data);
  if ((header + data != length && ::ftruncate(fd.Get(), static_cast<off_t>(header + data)) != 0) ||
      !PutAt(fd.Get(), kRiffSizeOffset, dataBytes + 38 - static_cast<std::uint32_t>(s)) ||
      !PutAt(fd.Get(), DataSizeOffset(s), dataBytes) || ::fsync(fd.Get()) != 0 ||
      !platform::FileIdOf(fd.Get(), version)) {
    Fail(why, "cannot be repaired");
    return RepairOutcome::Failed;
  }

  // Without a recorded start, the time of its last write less its length.
  std::int64_t start = rec.startTime;
  if (!rec.started) {
    const std::int64_t seconds = rec.sampleRate > 0 ? static_cast<std::int64_t>(audio / 4) / rec.sampleRate : 0;
    start = id.mtimeNs / 1'000'000'000 - seconds;
  }
  *entry = MakeTrackEntry(rec.file, stats, static_cast<std::uint32_t>(audio), rec.leadGapBytes != 0, start,
                          rec.sampleRate, s);
  return RepairOutcome::Repaired;
}

RecoveryReport RecoverTracks(QueueJournal& journal, ConversionQueue& queue,
                             const std::function<void(std::string_view)>& note) {
  auto tell = [&](const std::string& line) {
    if (note) note(line);
  };
  const JournalState old = journal.Load();
  JournalState kept;

  if (old.recording.active) {
    const RecordingTrack& rec = old.recording;
    JournalEntry j;
    std::string why;
    switch (RepairTrack(rec, &j.entry, &j.version, &why)) {
      case RepairOutcome::Repaired:
        tell("recovered the interrupted track " + rec.file);
        kept.entries.push_back(std::move(j));
        break;
      case RepairOutcome::NoAudio: tell("the interrupted track " + rec.file + " held no audio and is removed"); break;
      case RepairOutcome::Missing: tell("the interrupted track " + rec.file + " no longer exists"); break;
      case RepairOutcome::Changed:
        tell("the interrupted track " + rec.file + " has been replaced by another file, which is left as it is");
        break;
      case RepairOutcome::Failed: tell("the interrupted track " + rec.file + " " + why + "; it is left as it is"); break;
    }
  }

  for (JournalEntry j : old.entries) {
    bool duplicate = false;
    for (const JournalEntry& k : kept.entries) duplicate = duplicate || k.entry.file == j.entry.file;
    if (duplicate) continue;
    switch (ResolveEntry(j)) {
      case EntryFate::Resume: kept.entries.push_back(std::move(j)); break;
      case EntryFate::Finished: break;
      case EntryFate::Gone: tell("the queued track " + j.entry.file + " no longer exists; it is dropped"); break;
      case EntryFate::Changed:
        tell("the queued track " + j.entry.file +
             " has changed since it was queued; it is left as it is and not converted");
        break;
    }
  }

  RecoveryReport report;
  for (const JournalEntry& j : kept.entries) report.queued.push_back(j.entry.file);
  std::vector<QueueEntry> entries;
  for (const JournalEntry& j : kept.entries) entries.push_back(j.entry);
  journal.Start(std::move(kept));
  for (const QueueEntry& e : entries) queue.Append(e);
  return report;
}

}  // namespace mivo
