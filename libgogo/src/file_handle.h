// Owners of C file handles, for the library's own files.
#pragma once

#include <cstdio>
#include <memory>

namespace gogo {

struct FileCloser {
  void operator()(std::FILE* f) const noexcept { static_cast<void>(std::fclose(f)); }
};

// Closes on destruction without looking at the result: used where the file
// is being abandoned. A file whose contents matter is closed with
// CloseChecked.
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// Closes the file and reports whether everything written reached the system.
inline bool CloseChecked(FilePtr& file) {
  std::FILE* f = file.release();
  return f == nullptr || std::fclose(f) == 0;
}

}  // namespace gogo
