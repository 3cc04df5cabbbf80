// Temporary folders and environment variables that tests set for their own
// duration only.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "../../support/scoped_env.h"

namespace mivo::platform::test_support {

// A fresh 0700 folder under /tmp, removed with everything in it.
class TempFolder {
 public:
  TempFolder() {
    std::string pattern = "/tmp/mivo-test-XXXXXX";
    if (::mkdtemp(pattern.data()) != nullptr) m_path = pattern;
  }
  ~TempFolder() {
    std::error_code ec;
    if (!m_path.empty()) std::filesystem::remove_all(m_path, ec);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::string& Path() const { return m_path; }
  std::string operator/(const std::string& name) const { return m_path + "/" + name; }

 private:
  std::string m_path;
};

using mivo::testing::ScopedEnv;

}  // namespace mivo::platform::test_support
