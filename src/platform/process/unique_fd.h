// The owner of one file descriptor: closes it when destroyed or reset.
#pragma once

#include <unistd.h>

#include <utility>

namespace mivo::platform {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) noexcept : m_fd(fd) {}
  ~UniqueFd() { Reset(); }

  UniqueFd(UniqueFd&& other) noexcept : m_fd(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int Get() const noexcept { return m_fd; }
  bool Valid() const noexcept { return m_fd >= 0; }
  explicit operator bool() const noexcept { return Valid(); }

  // Gives up ownership without closing.
  int Release() noexcept { return std::exchange(m_fd, -1); }

  // Closes the descriptor held (if any) and takes `fd`. Linux frees the
  // descriptor even when close() reports EINTR or EIO, so close() is never
  // retried and its result has nothing left to act on.
  void Reset(int fd = -1) noexcept {
    const int old = std::exchange(m_fd, fd);
    if (old >= 0) static_cast<void>(::close(old));
  }

 private:
  int m_fd = -1;
};

}  // namespace mivo::platform
