#include "platform/files/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/process/unique_fd.h"

namespace mivo::platform {
namespace {

void FromStat(const struct stat& st, FileId* id) {
  id->dev = static_cast<std::uint64_t>(st.st_dev);
  id->ino = static_cast<std::uint64_t>(st.st_ino);
  id->size = static_cast<std::int64_t>(st.st_size);
  id->mtimeNs = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
}

std::string FolderOf(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool Failed(std::string* error, const std::string& path, int err) {
  if (error != nullptr) *error = path + ": " + std::strerror(err);
  return false;
}

}  // namespace

bool FileIdOf(int fd, FileId* id) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return false;
  FromStat(st, id);
  return true;
}

bool FileIdAt(const std::string& path, FileId* id) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;
  FromStat(st, id);
  return true;
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = EIO;
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool ReadWholeFile(const std::string& path, std::string* bytes) {
  bytes->clear();
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return false;
  char chunk[16384];
  for (;;) {
    const ssize_t n = ::read(fd.Get(), chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return true;
    bytes->append(chunk, static_cast<std::size_t>(n));
  }
}

bool ReplaceFileAtomically(const std::string& path, std::string_view bytes, std::string* error) {
  const std::string temp = path + ".tmp";
  UniqueFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666));
  if (!fd) return Failed(error, temp, errno);
  // close() reports the errors of a delayed write (NFS, quotas) too.
  if (!WriteAll(fd.Get(), bytes) || ::fdatasync(fd.Get()) != 0 || ::close(fd.Release()) != 0) {
    const int err = errno;
    fd.Reset();
    static_cast<void>(::unlink(temp.c_str()));
    return Failed(error, temp, err);
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    const int err = errno;
    static_cast<void>(::unlink(temp.c_str()));
    return Failed(error, path, err);
  }
  // The rename is done; should the folder not sync, the next write tries again.
  static_cast<void>(SyncFolderOf(path));
  return true;
}

bool StartWriteback(int fd, std::uint64_t offset, std::uint64_t length) {
  return ::sync_file_range(fd, static_cast<off64_t>(offset), static_cast<off64_t>(length),
                           SYNC_FILE_RANGE_WRITE) == 0;
}

bool SyncFolderOf(const std::string& path) {
  UniqueFd dir(::open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return dir && ::fsync(dir.Get()) == 0;
}

bool RemoveFile(const std::string& path) { return ::unlink(path.c_str()) == 0 || errno == ENOENT; }

}  // namespace mivo::platform
