// The bytes of one fuzz input as a file the parsers can open by name: an
// in-memory file (memfd), regular as they require, reached through
// /proc/self/fd. Made once per process and rewritten for every input.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
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

// For a parser that writes beside its input: the bytes as a file in a
// private folder of the temporary folder, removed with it at exit.
class DiskFile {
 public:
  DiskFile() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/mivo-fuzz-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    m_dir = pattern;
    m_path = m_dir + "/input";
  }
  ~DiskFile() {
    static_cast<void>(::unlink(m_path.c_str()));
    static_cast<void>(::rmdir(m_dir.c_str()));
  }
  DiskFile(const DiskFile&) = delete;
  DiskFile& operator=(const DiskFile&) = delete;

  void Set(const std::uint8_t* data, std::size_t size) {
    FILE* f = std::fopen(m_path.c_str(), "wb");
    if (f == nullptr || (size != 0 && std::fwrite(data, 1, size, f) != size) || std::fclose(f) != 0) std::abort();
  }
  const std::string& Path() const { return m_path; }

 private:
  std::string m_dir, m_path;
};

inline DiskFile& InputOnDisk(const std::uint8_t* data, std::size_t size) {
  static DiskFile file;
  file.Set(data, size);
  return file;
}

// The process's one file, for the target's entry point.
inline FuzzFile& Input(const std::uint8_t* data, std::size_t size) {
  static FuzzFile file;
  file.Set(data, size);
  return file;
}

}  // namespace mivo::fuzz
