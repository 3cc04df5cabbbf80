// The queue journal: its bytes read back whatever damage they took, and the
// settling at start-up of what a kill cannot stage: a file system without
// hard links, a track changed or gone.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "convert/journal_recovery.h"
#include "convert/queue_journal.h"
#include "support/temp_folder.h"

namespace mivo {
namespace {

namespace fs = std::filesystem;
using testing::ReadBytes;
using testing::TempFolder;
using testing::WriteBytes;

JournalEntry Entry(const std::string& file, std::int32_t peak) {
  JournalEntry j;
  j.entry.file = file;
  j.entry.peak = peak;
  j.entry.startTime = 4'102'444'800;  // past 32 bits
  j.entry.dcL = -7;
  j.entry.dcR = 9;
  j.entry.sampleRate = 48000;
  j.entry.headerShortening = 2;
  j.entry.rangeL = {-300, 200};
  j.entry.rangeR = {-32768, 32767};
  j.version = platform::FileId{1, 2, 3, 4};
  j.steps.ended = StepBit(TrackStep::Normalize) | StepBit(TrackStep::Mp3);
  j.steps.failed = StepBit(TrackStep::Mp3);
  j.pending = PendingStep{TrackStep::Resample, false, true, file + ".tmp", file, "", {5, 6, 7, 8}};
  return j;
}

JournalState TwoTracks() {
  JournalState s;
  s.recording.active = true;
  s.recording.file = "/rec/music003.wav";
  s.recording.id = {9, 10, 0, 0};
  s.recording.started = true;
  s.recording.startTime = 1'700'000'000;
  s.recording.leadGapBytes = 400;
  s.recording.bufferFrames = 2048;
  s.entries = {Entry("/rec/music001.wav", 100), Entry("/rec/music002.wav", 200)};
  return s;
}

void ExpectSame(const JournalState& a, const JournalState& b) {
  EXPECT_EQ(EncodeJournal(a), EncodeJournal(b));
}

TEST(QueueJournalFormat, WhatIsWrittenReadsBackAndDamageKeepsWhatCameBefore) {
  const JournalState state = TwoTracks();
  const std::string bytes = EncodeJournal(state);
  const DecodedJournal whole = DecodeJournal(bytes);
  EXPECT_FALSE(whole.damaged);
  EXPECT_EQ(whole.usedBytes, bytes.size());
  ExpectSame(whole.state, state);
  EXPECT_EQ(whole.state.entries.at(1).entry.startTime, 4'102'444'800);
  EXPECT_EQ(whole.state.entries.at(1).pending.tempId, (platform::FileId{5, 6, 7, 8}));

  // Where the last record begins: everything before it is whole.
  JournalState firstTwo = state;
  firstTwo.entries.pop_back();
  const std::size_t lastRecord = EncodeJournal(firstTwo).size();

  struct Case {
    const char* name;
    std::string bytes;
    std::size_t entries;
  };
  std::string flipped = bytes;
  flipped[lastRecord + 20] ^= 0x40;
  std::string huge = bytes;
  huge[lastRecord + 3] = '\x7F';
  std::mt19937 random(11);
  std::string noise(300, '\0');
  for (char& c : noise) c = static_cast<char>(random());
  const std::vector<Case> cases = {
      {"cut inside the last record", bytes.substr(0, bytes.size() - 5), 1},
      {"cut inside a record's length", bytes.substr(0, lastRecord + 3), 1},
      {"a flipped bit", flipped, 1},
      {"an impossible length", huge, 1},
      {"garbage appended", bytes + noise, 2},
      {"random bytes", noise, 0},
      {"another file's start", "[settings]\nRecWav=1\n", 0},
  };
  for (const Case& c : cases) {
    const DecodedJournal d = DecodeJournal(c.bytes);
    EXPECT_TRUE(d.damaged) << c.name;
    EXPECT_FALSE(d.why.empty()) << c.name;
    EXPECT_EQ(d.state.entries.size(), c.entries) << c.name;
    if (c.entries > 0) {
      EXPECT_TRUE(d.state.recording.active) << c.name;
    }
  }
  const DecodedJournal empty = DecodeJournal("");
  EXPECT_FALSE(empty.damaged);
  EXPECT_TRUE(empty.state.entries.empty());
}

// A track and its journal entry as a worker left them at a given moment.
class SettleStep : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir.Ok());
    track = dir.PathOf("music001.wav");
    WriteBytes(track, "recorded");
    ASSERT_TRUE(platform::FileIdAt(track, &j.version));
    j.entry.file = track;
  }
  // The pass's complete result beside the track, and the intent recorded.
  void ResultWritten(const std::string& keep = "") {
    WriteBytes(track + ".tmp", "processed!");
    j.pending = PendingStep{TrackStep::DeEmphasis, false, true, track + ".tmp", track, keep, {}};
    ASSERT_TRUE(platform::FileIdAt(track + ".tmp", &j.pending.tempId));
  }
  TempFolder dir;
  std::string track;
  JournalEntry j;
};

TEST_F(SettleStep, AnOldTrackRenamedAsideComesBackAndAChangedOrMissingTrackIsNotProcessed) {
  // Without hard links the old track is renamed to its keep name first.
  const std::string keep = dir.PathOf("music001o.wav");
  ResultWritten(keep);
  ASSERT_EQ(std::rename(track.c_str(), keep.c_str()), 0);
  EXPECT_EQ(ResolveEntry(j), EntryFate::Resume);
  EXPECT_EQ(ReadBytes(track), "recorded");

  // Processed while the journal could not be written.
  WriteBytes(track + ".other", "processed twice?");
  ASSERT_EQ(std::rename((track + ".other").c_str(), track.c_str()), 0);
  JournalEntry changed = j;
  EXPECT_EQ(ResolveEntry(changed), EntryFate::Changed);
  EXPECT_TRUE(fs::exists(track));

  ASSERT_TRUE(fs::remove(track));
  EXPECT_EQ(ResolveEntry(j), EntryFate::Gone);
}

}  // namespace
}  // namespace mivo
