// A fresh folder per test, with the whole-file helpers of the test support.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/temp_folder.h"

namespace mivo::testing {

class TempFolderTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(m_folder.Ok()); }
  std::string PathOf(const std::string& name) const { return m_folder.PathOf(name); }

  TempFolder m_folder;
  const std::filesystem::path& m_dir = m_folder.Dir();
};

}  // namespace mivo::testing
