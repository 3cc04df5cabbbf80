// The queue journal: its bytes read back whatever damage they took, the
// file set aside and rewritten, a disk that refuses it, the settling of a
// step in flight at start-up, and a resumed track skipping its ended steps.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "convert/journal_recovery.h"
#include "convert/queue_journal.h"
#include "convert/track_processor.h"
#include "support/temp_folder.h"
#include "track_files.h"

namespace mivo {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
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

class QueueJournalFile : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir.Ok()); }
  QueueJournal::Note Collect() {
    return [this](std::string_view line) {
      std::lock_guard lock(m_mtx);
      notes.emplace_back(line);
    };
  }
  std::string AllNotes() {
    std::lock_guard lock(m_mtx);
    std::string all;
    for (const std::string& n : notes) all += n + "\n";
    return all;
  }
  TempFolder dir;
  std::mutex m_mtx;
  std::vector<std::string> notes;
};

TEST_F(QueueJournalFile, ADamagedFileIsSetAsideAndItsReadablePartKept) {
  const std::string path = QueueJournal::PathFor(dir.PathOf("mivo.ini"));
  EXPECT_EQ(path, dir.PathOf("mivo.ini.journal"));
  const std::string bytes = EncodeJournal(TwoTracks());
  WriteBytes(path, bytes.substr(0, bytes.size() - 9));
  WriteBytes(path + ".tmp", "left by a write that was cut short");

  QueueJournal journal(path, Collect());
  const JournalState read = journal.Load();
  EXPECT_EQ(read.entries.size(), 1u);
  EXPECT_TRUE(read.recording.active);
  EXPECT_EQ(ReadBytes(path + ".bad"), bytes.substr(0, bytes.size() - 9));
  EXPECT_FALSE(fs::exists(path + ".tmp"));
  EXPECT_NE(AllNotes().find("set aside as " + path + ".bad"), std::string::npos) << AllNotes();

  // Started with what was kept, the file is whole again.
  ASSERT_TRUE(journal.Start(read));
  ASSERT_TRUE(journal.Flush(10s));
  const DecodedJournal onDisk = DecodeJournal(ReadBytes(path));
  EXPECT_FALSE(onDisk.damaged);
  ExpectSame(onDisk.state, read);
}

TEST_F(QueueJournalFile, TheWorkersRecordsAreOnDiskWhenTheyReturnAndTheTrackLeavesAtTheEnd) {
  const std::string path = dir.PathOf("mivo.ini.journal");
  QueueJournal journal(path, Collect());
  ASSERT_TRUE(journal.Start({}));
  RecordingTrack rec;
  rec.file = dir.PathOf("music001.wav");
  journal.RecordingOpened(rec);
  journal.RecordingStarted(1234);
  ASSERT_TRUE(journal.Flush(10s));
  EXPECT_EQ(DecodeJournal(ReadBytes(path)).state.recording.startTime, 1234);

  QueueEntry e;
  e.file = rec.file;
  journal.Queued(e, platform::FileId{1, 1, 1, 1});
  const ReplaceIntent intent{e.file + ".tmp", e.file, "", platform::FileId{2, 2, 2, 2}};
  journal.Replacing(e, TrackStep::Normalize, false, intent);
  JournalState disk = DecodeJournal(ReadBytes(path)).state;
  EXPECT_FALSE(disk.recording.active);
  ASSERT_EQ(disk.entries.size(), 1u);
  EXPECT_EQ(disk.entries[0].pending.step, TrackStep::Normalize);
  EXPECT_EQ(disk.entries[0].pending.tempId, intent.tempId);

  journal.StepEnded(e, TrackStep::Normalize, false);
  journal.OutputBegun(e, TrackStep::Mp3, ReplaceIntent{"/out/x.mp3.tmp", "/out/x.mp3", "", {}});
  journal.StepEnded(e, TrackStep::Mp3, true);
  disk = DecodeJournal(ReadBytes(path)).state;
  ASSERT_EQ(disk.entries.size(), 1u);
  EXPECT_EQ(disk.entries[0].version, intent.tempId);  // the pass's result is the track now
  EXPECT_TRUE(disk.entries[0].steps.Ended(TrackStep::Normalize));
  EXPECT_FALSE(disk.entries[0].steps.Failed(TrackStep::Normalize));
  EXPECT_TRUE(disk.entries[0].steps.Failed(TrackStep::Mp3));
  EXPECT_EQ(disk.entries[0].pending.step, TrackStep::None);

  journal.Removed(e);
  journal.Stop();
  EXPECT_TRUE(DecodeJournal(ReadBytes(path)).state.entries.empty());
}

TEST_F(QueueJournalFile, AJournalThatCannotBeWrittenIsToldOnceAndWrittenWhenItCanBe) {
  // A folder that does not exist yet stands for a full or failing disk.
  const std::string folder = dir.PathOf("later");
  const std::string path = folder + "/mivo.ini.journal";
  QueueJournal journal(path, Collect());
  ASSERT_TRUE(journal.Start({}));
  QueueEntry e;
  e.file = dir.PathOf("music001.wav");
  journal.Queued(e, {});
  EXPECT_FALSE(journal.Flush(10s));
  // The worker's records do not wait for a disk that refuses them.
  journal.StepEnded(e, TrackStep::Normalize, false);
  journal.StepEnded(e, TrackStep::DeEmphasis, false);
  EXPECT_EQ(journal.Contents().entries.at(0).steps.ended,
            StepBit(TrackStep::Normalize) | StepBit(TrackStep::DeEmphasis));

  ASSERT_TRUE(fs::create_directory(folder));
  // The next try (within a second) writes it.
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  bool written = false;
  while (!(written = journal.Flush(1s)) && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(20ms);
  ASSERT_TRUE(written);
  EXPECT_EQ(DecodeJournal(ReadBytes(path)).state.entries.size(), 1u);
  const std::string all = AllNotes();
  EXPECT_EQ(all.find("cannot be written"), all.rfind("cannot be written")) << all;
  EXPECT_NE(all.find("written again"), std::string::npos) << all;
}

// A track and its journal entry as a worker left them at a given moment.
class SettleStep : public QueueJournalFile {
 protected:
  void SetUp() override {
    QueueJournalFile::SetUp();
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
  std::string track;
  JournalEntry j;
};

TEST_F(SettleStep, APassThatWasNotRenamedRunsAgainAndOneThatWasCountsAsEnded) {
  ResultWritten();
  JournalEntry before = j;
  EXPECT_EQ(ResolveEntry(before), EntryFate::Resume);
  EXPECT_FALSE(before.steps.Ended(TrackStep::DeEmphasis));
  EXPECT_FALSE(fs::exists(track + ".tmp"));
  EXPECT_EQ(ReadBytes(track), "recorded");

  ResultWritten();
  const platform::FileId result = j.pending.tempId;
  ASSERT_EQ(std::rename((track + ".tmp").c_str(), track.c_str()), 0);
  EXPECT_EQ(ResolveEntry(j), EntryFate::Resume);
  EXPECT_TRUE(j.steps.Ended(TrackStep::DeEmphasis));
  EXPECT_EQ(j.version, result);
  EXPECT_EQ(j.pending.step, TrackStep::None);
}

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

TEST_F(SettleStep, AnOutputIsDoneOnlyWithTheRecordedFileAndItsLeftoversGo) {
  const std::string out = dir.PathOf("music001.mp3");
  WriteBytes(out + ".tmp", "mp3 bytes");
  WriteBytes(out + ".tmp.part-1a2b3c4d", "half an mp3");
  j.pending = PendingStep{TrackStep::Mp3, true, false, out + ".tmp", out, "", {}};
  JournalEntry begun = j;
  EXPECT_EQ(ResolveEntry(begun), EntryFate::Resume);
  EXPECT_FALSE(begun.steps.Ended(TrackStep::Mp3));
  EXPECT_FALSE(fs::exists(out + ".tmp"));
  EXPECT_FALSE(fs::exists(out + ".tmp.part-1a2b3c4d"));

  // An output of an earlier run under the name is not this one.
  WriteBytes(out, "an older mp3");
  WriteBytes(out + ".tmp", "mp3 bytes");
  j.pending.renaming = true;
  ASSERT_TRUE(platform::FileIdAt(out + ".tmp", &j.pending.tempId));
  JournalEntry notRenamed = j;
  EXPECT_EQ(ResolveEntry(notRenamed), EntryFate::Resume);
  EXPECT_FALSE(notRenamed.steps.Ended(TrackStep::Mp3));

  WriteBytes(out + ".tmp", "mp3 bytes");
  ASSERT_TRUE(platform::FileIdAt(out + ".tmp", &j.pending.tempId));
  ASSERT_EQ(std::rename((out + ".tmp").c_str(), out.c_str()), 0);
  EXPECT_EQ(ResolveEntry(j), EntryFate::Resume);
  EXPECT_TRUE(j.steps.Ended(TrackStep::Mp3));
}

// Records what the reporter is told.
class Reporter : public IStepReporter {
 public:
  void StepFailed(std::string_view message) override { failed.emplace_back(message); }
  void Note(std::string_view) override {}
  std::vector<std::string> failed;
};

TEST_F(QueueJournalFile, AResumedTrackSkipsItsEndedStepsAndStaysKeptAfterAnEarlierFailedOutput) {
  const std::string track = dir.PathOf("music001.wav");
  const std::string bytes = testing::TrackBytes(testing::Noise(4800, 3));
  WriteBytes(track, bytes);
  QueueEntry e;
  e.file = track;
  e.sampleRate = 48000;
  QueueJournal journal(dir.PathOf("mivo.ini.journal"), Collect());
  platform::FileId id;
  ASSERT_TRUE(platform::FileIdAt(track, &id));
  journal.Queued(e, id);
  journal.StepEnded(e, TrackStep::Normalize, false);
  journal.StepEnded(e, TrackStep::Mp3, true);

  RecorderSettings s;
  s.RecFolder = dir.Dir().string();
  s.RecNormalize = s.RecMp3 = s.RecDeEmphasis = true;
  s.RecWav = false;
  int encoded = 0;
  EncoderSteps steps;
  steps.mp3 = [&encoded](const std::string&, const std::string&, const RecorderSettings&, IProgress&, IStepLog&) {
    ++encoded;
    return true;
  };
  const TrackProcessor processor(steps);
  testing::RecordingProgress progress;
  Reporter reporter;
  const TrackOutcome outcome = processor.Process(e, s, progress, reporter, &journal);
  EXPECT_EQ(progress.weights.size(), 1u);  // de-emphasis only
  EXPECT_EQ(encoded, 0);
  EXPECT_TRUE(outcome.outputFailed);
  EXPECT_TRUE(reporter.failed.empty());
  EXPECT_NE(ReadBytes(track), bytes);  // de-emphasized
  const JournalEntry after = journal.Contents().entries.at(0);
  EXPECT_TRUE(after.steps.Ended(TrackStep::DeEmphasis));
  EXPECT_EQ(after.pending.step, TrackStep::Finish);
  platform::FileId now;
  ASSERT_TRUE(platform::FileIdAt(track, &now));
  EXPECT_EQ(after.version, now);
}

}  // namespace
}  // namespace mivo
