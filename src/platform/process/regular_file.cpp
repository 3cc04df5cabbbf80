#include "platform/process/regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace mivo::platform {

UniqueFd OpenRegularFile(const std::string& path, std::string* error) {
  auto fail = [error](std::string why, int err = errno) {
    if (error != nullptr) *error = std::move(why);
    errno = err;
    return UniqueFd();
  };
  int raw = -1;
  do {
    raw = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  } while (raw < 0 && errno == EINTR);
  UniqueFd fd(raw);
  if (!fd) return fail(std::strerror(errno));
  struct stat st{};
  if (::fstat(fd.Get(), &st) != 0) return fail(std::strerror(errno));
  if (!S_ISREG(st.st_mode)) return fail("not a regular file", EINVAL);
  const int flags = ::fcntl(fd.Get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd.Get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return fail(std::strerror(errno));
  return fd;
}

std::FILE* OpenRegularFileStream(const std::string& path, std::string* error) {
  UniqueFd fd = OpenRegularFile(path, error);
  if (!fd) return nullptr;
  std::FILE* stream = ::fdopen(fd.Get(), "rb");
  if (stream == nullptr) {
    const int err = errno;
    if (error != nullptr) *error = std::strerror(err);
    fd.Reset();
    errno = err;
    return nullptr;
  }
  static_cast<void>(fd.Release());  // the stream owns it now
  return stream;
}

}  // namespace mivo::platform
