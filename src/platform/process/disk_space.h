// Free space of the file system that holds a folder (statvfs).
#pragma once

#include <cstdint>
#include <string>

namespace mivo::platform {

struct DiskSpace {
  std::uint64_t available = 0;  // bytes an unprivileged user may still write
  std::uint64_t fileSystem = 0;  // the device: equal values share the space
};

// The space of the file system of `folder`, or of its nearest existing
// parent when the folder does not exist yet. A relative folder is taken from
// the current folder. False when the system cannot tell.
bool QueryDiskSpace(const std::string& folder, DiskSpace* space);

}  // namespace mivo::platform
