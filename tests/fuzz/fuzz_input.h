// The bytes of one fuzz input as a file the parsers can open by name: an
// in-memory file (memfd), regular as they require, reached through
// /proc/self/fd. Made once per process and rewritten for every input.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace mivo::fuzz {

class FuzzFile {
 public:
  FuzzFile() : m_fd(::memfd_create("mivo-fuzz", MFD_CLOEXEC)) {
    if (m_fd < 0) std::abort();
    m_path = "/proc/self/fd/" + std::to_string(m_fd);
  }
  ~FuzzFile() { ::close(m_fd); }
  FuzzFile(const FuzzFile&) = delete;
  FuzzFile& operator=(const FuzzFile&) = delete;

  // Replaces the file's content with `data`.
  void Set(const std::uint8_t* data, std::size_t size) {
    if (::ftruncate(m_fd, 0) != 0) std::abort();
    std::size_t done = 0;
    while (done < size) {
      const ssize_t n = ::pwrite(m_fd, data + done, size - done, static_cast<off_t>(done));
      if (n <= 0) std::abort();
      done += static_cast<std::size_t>(n);
    }
  }
  int Fd() const { return m_fd; }
  const std::string& Path() const { return m_path; }

 private:
  int m_fd;
  std::string m_path;
};

// The process's one file, for the target's entry point.
inline FuzzFile& Input(const std::uint8_t* data, std::size_t size) {
  static FuzzFile file;
  file.Set(data, size);
  return file;
}

}  // namespace mivo::fuzz
