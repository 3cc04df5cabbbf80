// The replace step shared by every pass: whatever fails, and wherever the
// program could die, one complete file holds the audio and no temporary
// file is left behind.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>

#include "convert/sample_passes.h"
#include "track_files.h"

namespace mivo {
namespace {

using testing::RecordingProgress;
using testing::TempFolder;

struct Pass {
  const char* name;
  std::function<bool(const std::string&, const PassContext&)> run;
};

const std::vector<Pass>& Passes() {
  static const std::vector<Pass> passes = {
      {"normalize", [](const std::string& t, const PassContext& c) { return NormalizeWav(t, 16384, 3, -3, c); }},
      {"de-emphasis", [](const std::string& t, const PassContext& c) { return DeEmphasisWav(t, {48000}, c); }},
      {"de-emphasis keeping the original",
       [](const std::string& t, const PassContext& c) { return DeEmphasisWav(t, {48000, 0, 0, true}, c); }},
      {"linear", [](const std::string& t, const PassContext& c) { return Resample4844Linear(t, c); }},
      {"precise",
       [](const std::string& t, const PassContext& c) { return Resample4844Precise(t, 0, 0.0, 0, 44100, c); }},
  };
  return passes;
}

// 150000 frames: 600 kB, several reads and writes of the buffers.
const std::string& Original() {
  static const std::string bytes = testing::TrackBytes(testing::Noise(150000, 21));
  return bytes;
}

TEST(TrackRewrite, AFailureAtAnyPointLeavesTheTrackAndNoTemporaryFile) {
  struct Fault {
    const char* what;
    FaultPoint point;
    int at;  // the n-th time the point is reached (1-based)
  };
  const Fault faults[] = {{"read error at the start", FaultPoint::Read, 1},
                          {"read error part-way", FaultPoint::Read, 2},
                          {"full disk at the first write", FaultPoint::Write, 1},
                          {"full disk part-way", FaultPoint::Write, 2},
                          {"failure before the rename", FaultPoint::BeforeReplace, 1}};
  for (const Pass& pass : Passes()) {
    for (const Fault& fault : faults) {
      TempFolder dir;
      const std::string track = dir.PathOf("music001.wav");
      testing::WriteBytes(track, Original());
      RecordingProgress progress;
      int seen = 0;
      PassContext ctx{progress};
      ctx.fault = [&](FaultPoint p) { return p == fault.point && ++seen == fault.at; };
      EXPECT_FALSE(pass.run(track, ctx)) << pass.name << ": " << fault.what;
      EXPECT_TRUE(testing::ReadBytes(track) == Original()) << pass.name << ": " << fault.what;
      EXPECT_FALSE(std::filesystem::exists(track + ".tmp")) << pass.name << ": " << fault.what;
      EXPECT_FALSE(std::filesystem::exists(dir.PathOf("music001o.wav"))) << pass.name << ": " << fault.what;
    }
  }
}

TEST(TrackRewrite, CancellationPartWayLeavesTheTrack) {
  for (const Pass& pass : Passes()) {
    TempFolder dir;
    const std::string track = dir.PathOf("music001.wav");
    testing::WriteBytes(track, Original());
    RecordingProgress progress;
    progress.cancelAfter = 2;
    EXPECT_FALSE(pass.run(track, PassContext{progress})) << pass.name;
    EXPECT_TRUE(testing::ReadBytes(track) == Original()) << pass.name;
    EXPECT_FALSE(std::filesystem::exists(track + ".tmp")) << pass.name;
  }
}

TEST(TrackRewrite, UpToTheRenameTheTrackIsWholeAndTheResultIsWholeBesideIt) {
  // The moment a crash could strike: everything written and synced, the
  // rename not yet done. Both files must be complete then.
  for (const Pass& pass : Passes()) {
    TempFolder dir;
    const std::string track = dir.PathOf("music001.wav");
    testing::WriteBytes(track, Original());
    RecordingProgress progress;
    std::string pending;
    PassContext ctx{progress};
    ctx.fault = [&](FaultPoint p) {
      if (p != FaultPoint::BeforeReplace) return false;
      EXPECT_TRUE(testing::ReadBytes(track) == Original()) << pass.name;
      pending = testing::ReadBytes(track + ".tmp");
      return false;
    };
    ASSERT_TRUE(pass.run(track, ctx)) << pass.name;
    EXPECT_TRUE(testing::ReadBytes(track) == pending) << pass.name;
    EXPECT_GE(pending.size(), 46u + 4 * 137812) << pass.name;  // the whole result
    EXPECT_FALSE(std::filesystem::exists(track + ".tmp")) << pass.name;
  }
}

TEST(TrackRewrite, AStaleTemporaryFileOrLinkFromACrashIsReplacedNeverWrittenThrough) {
  TempFolder dir;
  const std::string track = dir.PathOf("music001.wav");
  const std::string elsewhere = dir.PathOf("elsewhere.bin");
  testing::WriteBytes(track, Original());
  testing::WriteBytes(elsewhere, "keep me");
  ASSERT_EQ(::symlink(elsewhere.c_str(), (track + ".tmp").c_str()), 0);
  RecordingProgress progress;
  ASSERT_TRUE(NormalizeWav(track, 32767, 0, 0, PassContext{progress}));
  EXPECT_EQ(testing::ReadBytes(elsewhere), "keep me");
  EXPECT_TRUE(testing::ReadBytes(track) == Original());
  EXPECT_FALSE(std::filesystem::is_symlink(track));
  EXPECT_FALSE(std::filesystem::exists(track + ".tmp"));
}

TEST(TrackRewrite, AMissingTrackFailsWithoutCreatingAnything) {
  TempFolder dir;
  RecordingProgress progress;
  const std::string track = dir.PathOf("gone.wav");
  for (const Pass& pass : Passes()) {
    EXPECT_FALSE(pass.run(track, PassContext{progress})) << pass.name;
    EXPECT_TRUE(std::filesystem::is_empty(dir.Dir())) << pass.name;
  }
}

TEST(TrackRewrite, TheProcessedTrackKeepsThePermissionsOfTheRecordedOne) {
  TempFolder dir;
  const std::string track = dir.PathOf("music001.wav");
  testing::WriteBytes(track, Original());
  ASSERT_EQ(::chmod(track.c_str(), 0640), 0);
  RecordingProgress progress;
  ASSERT_TRUE(Resample4844Linear(track, PassContext{progress}));
  struct stat st {};
  ASSERT_EQ(::stat(track.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
}

// The audio of another WAV file, with chunks before and after its samples:
// each pass makes the track it would make from the track form, and the
// file stays as it was (nothing renamed or kept beside it).
TEST(TrackRewrite, APassReadsASourceFileAsTheTrackItWouldBeAndOnlyReadsIt) {
  const std::string& track = Original();
  const std::size_t header = TrackHeaderSize(0);
  const std::string samples = track.substr(header);
  std::string file = track.substr(0, 38) + "LIST" + std::string("\x04\0\0\0INFO", 8) + track.substr(38);
  file += std::string("junk\x02\0\0\0ab", 10);
  TrackSource source;
  std::memcpy(source.header, track.data(), header);
  source.dataOffset = 38 + 12 + 8;
  source.dataSize = static_cast<std::uint32_t>(samples.size());
  for (const Pass& pass : Passes()) {
    TempFolder dir;
    RecordingProgress progress;
    const std::string plain = dir.PathOf("plain.wav");
    testing::WriteBytes(plain, track);
    ASSERT_TRUE(pass.run(plain, PassContext{progress})) << pass.name;
    source.path = dir.PathOf("given.wav");
    testing::WriteBytes(source.path, file);
    PassContext ctx{progress};
    ctx.source = &source;
    const std::string made = dir.PathOf("made.wav");
    ASSERT_TRUE(pass.run(made, ctx)) << pass.name;
    EXPECT_TRUE(testing::ReadBytes(made) == testing::ReadBytes(plain)) << pass.name;
    EXPECT_TRUE(testing::ReadBytes(source.path) == file) << pass.name;
    EXPECT_FALSE(std::filesystem::exists(dir.PathOf("madeo.wav"))) << pass.name;
    EXPECT_FALSE(std::filesystem::exists(made + ".tmp")) << pass.name;
  }
  // Copied as it is; a failed copy leaves no track.
  TempFolder dir;
  source.path = dir.PathOf("given.wav");
  testing::WriteBytes(source.path, file);
  RecordingProgress progress;
  PassContext ctx{progress};
  ctx.source = &source;
  ASSERT_TRUE(CopyTrackFromSource(dir.PathOf("copy.wav"), ctx));
  EXPECT_TRUE(testing::ReadBytes(dir.PathOf("copy.wav")) == track);
  ctx.fault = [](FaultPoint point) { return point == FaultPoint::Write; };
  EXPECT_FALSE(CopyTrackFromSource(dir.PathOf("failed.wav"), ctx));
  EXPECT_FALSE(std::filesystem::exists(dir.PathOf("failed.wav")));
  EXPECT_FALSE(std::filesystem::exists(dir.PathOf("failed.wav.tmp")));
}

}  // namespace
}  // namespace mivo
