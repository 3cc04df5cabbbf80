#include "settings/debug_log.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "test_files.h"

namespace mivo {
namespace {

using DebugLogTest = testing::TempFolderTest;

TEST_F(DebugLogTest, LevelZeroTouchesNothing) {
  const std::string path = PathOf("debug.log");
  DebugLog log;
  log.Open(0, path);
  EXPECT_FALSE(log.IsOpen());
  log.TrackLine("/rec/music001.wav", 1);
  log.Close();
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(DebugLogTest, UnopenableFileMeansNoLog) {
  for (const std::string& name : {std::string(), PathOf("no/such/dir.log")}) {
    DebugLog log;
    log.Open(1, name);
    EXPECT_FALSE(log.IsOpen()) << name;
    log.TrackLine("/rec/music001.wav", 1);
    log.Close();
  }
  EXPECT_TRUE(std::filesystem::is_empty(m_dir));
}

TEST_F(DebugLogTest, EachRunAppendsOneBlock) {
  const std::string path = PathOf("debug.log");
  testing::WriteBytes(path, "earlier\n");
  {
    DebugLog log;
    log.Open(DebugLog::kNormalizeLevel, path);
    EXPECT_TRUE(log.IsOpen());
    log.TrackLine("/rec/music001.wav", 30000);
    log.TrackLine("/rec/録音 002.wav", -5);
    log.Close();
    EXPECT_FALSE(log.IsOpen());
  }
  {
    DebugLog log;  // a reserved bit only: start and end lines
    log.Open(2, path);
    log.TrackLine("/rec/music003.wav", 1);
    log.Close();
  }
  EXPECT_EQ(testing::ReadBytes(path),
            "earlier\n"
            "start logging...\n"
            "/rec/music001.wav  peak = 30000\n"
            "/rec/録音 002.wav  peak = -5\n"
            "end logging...\n\n"
            "start logging...\n"
            "end logging...\n\n");
}

}  // namespace
}  // namespace mivo
