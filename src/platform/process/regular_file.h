// Opening a file given by the user for reading without ever blocking: a FIFO
// without a writer, a terminal or a device would otherwise hold the open (or
// the first read) for ever.
#pragma once

#include <cstdio>
#include <string>

#include "platform/process/unique_fd.h"

namespace mivo::platform {

// Opens `path` read-only without blocking, refuses anything that is not a
// regular file, then makes the descriptor blocking again for ordinary reads.
// An invalid descriptor when refused or failed; *error (when given) says why
// ("not a regular file", or the system's reason) and errno is the cause
// (EINVAL for a file that is not a regular one).
UniqueFd OpenRegularFile(const std::string& path, std::string* error);

// The same as a stdio stream ("rb"); nullptr when refused or failed.
std::FILE* OpenRegularFileStream(const std::string& path, std::string* error);

}  // namespace mivo::platform
