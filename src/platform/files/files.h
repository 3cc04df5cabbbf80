// Files that must survive a crash: the identity of a file's contents as the
// system sees them, whole-file reads, and a file replaced in one step.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace mivo::platform {

// One version of one file: the file (device and inode) and what its
// contents look like from outside (length and modification time). A file
// renamed keeps all four; a file rewritten through a new file and a rename
// gets a new inode; one written in place a new length or time.
struct FileId {
  std::uint64_t dev = 0;
  std::uint64_t ino = 0;
  std::int64_t size = 0;
  std::int64_t mtimeNs = 0;  // nanoseconds since 1970

  // The same file, whatever became of its contents.
  bool SameFile(const FileId& o) const { return dev == o.dev && ino == o.ino; }
  bool operator==(const FileId&) const = default;
};

// False when the file cannot be looked at (errno tells why).
bool FileIdOf(int fd, FileId* id);
bool FileIdAt(const std::string& path, FileId* id);

// Writes every byte; false on an error (errno) or a write that makes no progress.
bool WriteAll(int fd, std::string_view data);

// The whole file into `bytes`. False with errno set when it cannot be
// opened or read; ENOENT for a missing file.
bool ReadWholeFile(const std::string& path, std::string* bytes);

// Writes `bytes` to "<path>.tmp", syncs it, renames it over `path` and syncs
// the folder: afterwards `path` holds either the old or the new bytes, never
// a mixture, whenever the process or the machine stops. False with the file
// and the system's reason in `error`; the temporary file is then removed and
// `path` is as it was.
bool ReplaceFileAtomically(const std::string& path, std::string_view bytes, std::string* error);

// Starts writing `length` bytes of the file from `offset` to the disk and
// returns without waiting for them, so that a later sync waits for less.
// False when the file system cannot (errno).
bool StartWriteback(int fd, std::uint64_t offset, std::uint64_t length);

// Syncs the folder holding `path` (a rename inside it reaches the disk).
bool SyncFolderOf(const std::string& path);

// Removes a file; a missing one is not an error.
bool RemoveFile(const std::string& path);

}  // namespace mivo::platform
