// A kill at any point of a track's conversion: every pass, its rename and
// its record, the MP3 encoding and the end. The conversion side runs as a
// program of its own (crash_child) that kills itself at the point asked
// for; started again, it must leave byte for byte the files of a run that
// was never interrupted, and nothing else.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "convert/queue_journal.h"
#include "support/child_process.h"
#include "support/temp_folder.h"

namespace mivo {
namespace {

namespace fs = std::filesystem;
using testing::ReadBytes;
using testing::TempFolder;

struct Point {
  int number;
  std::string name;
};

class CrashRecovery : public ::testing::Test {
 protected:
  // A folder with the track waiting to be queued: one second of 48 kHz
  // noise as sox writes it (44-byte header), the same in every folder.
  void Prepare(const TempFolder& dir) {
    ASSERT_TRUE(dir.Ok());
    fs::create_directory(dir.PathOf("rec"));
    fs::create_directory(dir.PathOf("out"));
    const std::string track = dir.PathOf("rec/music001.wav");
    if (m_track.empty()) {
      ASSERT_TRUE(testing::RunBounded({"sox", "-D", "-n", "-r", "48000", "-c", "2", "-b", "16", track, "synth", "1",
                                       "pinknoise", "gain", "-8"},
                                      30));
      m_track = ReadBytes(track);
    }
    testing::WriteBytes(track, m_track);
  }
  static bool Child(const TempFolder& dir, int killAt, bool fresh, const std::string& log) {
    std::vector<std::string> argv = {CRASH_CHILD, dir.Dir().string(), LIBGOGO, std::to_string(killAt)};
    if (fresh) argv.emplace_back("fresh");
    return testing::RunBounded(argv, 120, log);
  }
  static std::vector<Point> PointsIn(const std::string& log) {
    std::vector<Point> points;
    std::istringstream in(log);
    Point p;
    while (in >> p.number >> p.name) points.push_back(p);
    return points;
  }
  // Every file the conversion leaves, with its bytes.
  static std::map<std::string, std::string> Results(const TempFolder& dir) {
    std::map<std::string, std::string> files;
    for (const char* sub : {"rec", "out"}) {
      for (const auto& e : fs::directory_iterator(dir.PathOf(sub))) {
        files[std::string(sub) + "/" + e.path().filename().string()] = ReadBytes(e.path().string());
      }
    }
    return files;
  }
  std::string m_track;
};

TEST_F(CrashRecovery, AKillAnywhereInTheConversionEndsInTheFilesOfAnUninterruptedRun) {
  TempFolder reference;
  Prepare(reference);
  const std::string refLog = reference.PathOf("points.log");
  ASSERT_TRUE(Child(reference, 0, true, refLog)) << ReadBytes(refLog);
  const std::map<std::string, std::string> expected = Results(reference);
  ASSERT_EQ(expected.size(), 3u);  // the track, the kept unprocessed one, the MP3
  EXPECT_TRUE(DecodeJournal(ReadBytes(reference.PathOf("mivo.ini.journal"))).state.entries.empty());

  // Every point where the work changes kind, and the encoder's middle and end.
  const std::vector<Point> points = PointsIn(ReadBytes(refLog));
  std::vector<Point> kills;
  std::vector<int> encodes;
  for (std::size_t i = 0; i < points.size(); ++i) {
    if (points[i].name == "encode") encodes.push_back(points[i].number);
    if (i == 0 || points[i].name != points[i - 1].name) kills.push_back(points[i]);
  }
  ASSERT_GE(encodes.size(), 3u);
  kills.push_back({encodes[encodes.size() / 2], "encode"});
  kills.push_back({encodes.back(), "encode"});
  for (const char* name : {"renamed", "replacing", "output-begun", "finishing", "removed"}) {
    EXPECT_TRUE(std::any_of(kills.begin(), kills.end(), [&](const Point& p) { return p.name == name; })) << name;
  }

  for (const Point& kill : kills) {
    SCOPED_TRACE("killed at point " + std::to_string(kill.number) + " (" + kill.name + ")");
    TempFolder dir;
    Prepare(dir);
    const std::string log = dir.PathOf("points.log");
    EXPECT_FALSE(Child(dir, kill.number, true, log));
    const std::vector<Point> reached = PointsIn(ReadBytes(log));
    ASSERT_FALSE(reached.empty());
    EXPECT_EQ(reached.back().number, kill.number);
    ASSERT_TRUE(Child(dir, 0, false, log)) << ReadBytes(log);
    const std::map<std::string, std::string> got = Results(dir);
    std::vector<std::string> names;
    for (const auto& [name, bytes] : got) names.push_back(name);
    ASSERT_EQ(got.size(), expected.size()) << ::testing::PrintToString(names);
    for (const auto& [name, bytes] : expected) {
      ASSERT_EQ(got.count(name), 1u) << name;
      EXPECT_TRUE(got.at(name) == bytes) << name << " differs";
    }
    EXPECT_TRUE(DecodeJournal(ReadBytes(dir.PathOf("mivo.ini.journal"))).state.entries.empty());
  }
}

}  // namespace
}  // namespace mivo
