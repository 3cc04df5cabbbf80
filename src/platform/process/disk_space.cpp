#include "platform/process/disk_space.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

namespace mivo::platform {

bool QueryDiskSpace(const std::string& folder, DiskSpace* space) {
  std::error_code ec;
  std::filesystem::path path = std::filesystem::absolute(folder.empty() ? "." : folder, ec);
  if (ec) return false;
  path = path.lexically_normal();
  for (;;) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
      struct statvfs vfs {};
      if (::statvfs(path.c_str(), &vfs) != 0) return false;
      space->available = static_cast<std::uint64_t>(vfs.f_bavail) * vfs.f_frsize;
      space->fileSystem = static_cast<std::uint64_t>(st.st_dev);
      return true;
    }
    // Only a missing folder is looked for further up.
    if (errno != ENOENT && errno != ENOTDIR) return false;
    if (!path.has_relative_path()) return false;
    path = path.parent_path();
  }
}

}  // namespace mivo::platform
