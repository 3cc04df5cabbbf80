#include "convert/journal_recovery.h"

#include <dirent.h>

#include <cstdio>

#include "platform/files/files.h"

namespace mivo {
namespace {

using platform::FileId;
using platform::FileIdAt;

std::string FolderOf(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

void RemoveLeftovers(const std::string& temp) {
  static_cast<void>(platform::RemoveFile(temp));
  const std::string folder = FolderOf(temp);
  const std::string prefix = NameOf(temp) + ".";
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return;
  while (const dirent* e = ::readdir(dir)) {
    const std::string name = e->d_name;
    if (name.size() > prefix.size() && name.compare(0, prefix.size(), prefix) == 0) {
      static_cast<void>(platform::RemoveFile(folder + "/" + name));
    }
  }
  ::closedir(dir);
}

EntryFate ResolveEntry(JournalEntry& j) {
  const std::string& track = j.entry.file;
  FileId now;
  bool exists = FileIdAt(track, &now);
  PendingStep& p = j.pending;

  if (p.step == TrackStep::Finish) {
    // Only the time stamps and the removal of the track were left; they are
    // done again, whatever the time stamps already did to the file.
    p = PendingStep{};
    if (!exists) return EntryFate::Finished;  // the track was removed as its end asks
    j.version = now;
    return EntryFate::Resume;
  }

  if (p.step != TrackStep::None && p.output) {
    // An output whose file has the identity recorded before its rename is
    // done; anything else is written again from the track.
    FileId out;
    if (p.renaming && FileIdAt(p.target, &out) && out == p.tempId) {
      j.steps.ended |= StepBit(p.step);
    }
    RemoveLeftovers(p.temp);
  } else if (p.step != TrackStep::None) {
    // A pass that kept the old track by renaming it (no hard links) may have
    // stopped between its two renames: the old track goes back first.
    FileId kept;
    if (!exists && !p.keep.empty() && FileIdAt(p.keep, &kept) && kept == j.version &&
        std::rename(p.keep.c_str(), track.c_str()) == 0) {
      exists = FileIdAt(track, &now);
    }
    if (exists && p.renaming && now == p.tempId) {
      j.steps.ended |= StepBit(p.step);
      j.version = now;
    }
  }
  p = PendingStep{};
  // A pass interrupted before its result was complete.
  RemoveLeftovers(track + ".tmp");

  if (!exists) return EntryFate::Gone;
  return now == j.version ? EntryFate::Resume : EntryFate::Changed;
}

}  // namespace mivo
