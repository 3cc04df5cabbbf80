#include "settings/debug_log.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>

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
    log.Line("overrun: 3 buffers");
    log.TrackLine("/rec/録音 002.wav", -5);
    log.Close();
    EXPECT_FALSE(log.IsOpen());
  }
  {
    DebugLog log;  // a reserved bit only: start and end lines, nothing else
    log.Open(2, path);
    log.TrackLine("/rec/music003.wav", 1);
    log.Line("input lost: Line In");
    log.Close();
  }
  EXPECT_EQ(testing::ReadBytes(path),
            "earlier\n"
            "start logging...\n"
            "/rec/music001.wav  peak = 30000\n"
            "overrun: 3 buffers\n"
            "/rec/録音 002.wav  peak = -5\n"
            "end logging...\n\n"
            "start logging...\n"
            "end logging...\n\n");
}

TEST_F(DebugLogTest, LinesFromTheWorkerArriveWholeAndNeverAfterTheEnd) {
  // The worker notes failures while the window writes its track lines and,
  // at the end, closes the log.
  const std::string path = PathOf("debug.log");
  DebugLog log;
  log.Open(DebugLog::kNormalizeLevel, path);
  std::atomic<bool> stop{false};
  std::thread worker([&] {
    while (!stop) log.Line("MP3 encoding of /rec/music001.wav failed");
  });
  for (int i = 0; i < 2000; ++i) log.TrackLine("/rec/music002.wav", i % 10);
  log.Close();
  stop = true;
  worker.join();
  const std::string text = testing::ReadBytes(path);
  ASSERT_GE(text.size(), 16u);
  EXPECT_EQ(text.substr(text.size() - 16), "end logging...\n\n");
  std::istringstream in(text.substr(0, text.size() - 16));
  std::string line;
  std::getline(in, line);
  EXPECT_EQ(line, "start logging...");
  while (std::getline(in, line)) {
    const bool trackLine = line.size() == 27 && line.rfind("/rec/music002.wav  peak = ", 0) == 0;
    if (!trackLine) EXPECT_EQ(line, "MP3 encoding of /rec/music001.wav failed");
  }
}

}  // namespace
}  // namespace mivo
