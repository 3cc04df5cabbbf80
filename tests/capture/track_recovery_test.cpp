// A track while it records and after a crash: the header kept up to date by
// the syncer and never touched after the final sizes, and the interrupted
// track repaired with the measure capture would have given it.
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>

#include "capture/track_recovery.h"
#include "capture_rig.h"
#include "support/no_new_threads.h"

namespace mivo::testing {
namespace {

namespace fs = std::filesystem;

class TrackRecoveryTest : public CaptureRig {
 protected:
  void SetUp() override {
    CaptureRig::SetUp();
    m_settings.m_bSilentDivide = false;
    ASSERT_EQ(OpenEngine(), OpenOutcome::Opened);
    m_writer.SetJournal(&m_journal);
  }
  void TearDown() override {
    CaptureRig::TearDown();
    m_writer.SetJournal(nullptr);
  }
  // Buffers of different shapes, so that each measure counts.
  void FeedMusic(int buffers) {
    for (int i = 0; i < buffers; ++i) {
      auto frames = RampFrames(kFrames, i * 777);
      frames[2 * (100 + i)] = static_cast<std::int16_t>(-20000 - 1000 * i);
      frames[2 * (200 + i) + 1] = static_cast<std::int16_t>(25000 + i);
      Feed(frames);
    }
  }
  static void AppendBytes(const std::string& path, const std::string& bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ::close(fd);
  }

  QueueJournal m_journal{m_dir.PathOf("mivo.ini.journal"), nullptr};
};

TEST_F(TrackRecoveryTest, TheHeaderFollowsTheDataWhileRecordingAndNeverAfterTheFinalSizes) {
  m_settings.PriGapLen = 100;
  m_settings.PostGapLen = 50;
  Rec();
  const std::string path = m_writer.TrackPath();
  FeedMusic(3);
  m_writer.Syncer().Tick(true);
  std::string bytes = ReadBytes(path);
  EXPECT_EQ(ReadLe32(bytes, 42), 400u + 3 * 4096);
  EXPECT_EQ(ReadLe32(bytes, 4), 400u + 3 * 4096 + 38);

  FeedMusic(1);  // not yet in the header when the track closes
  Stop();
  bytes = ReadBytes(path);
  EXPECT_EQ(ReadLe32(bytes, 42), 400u + 4 * 4096 + 200);
  for (int i = 0; i < 3; ++i) m_writer.Syncer().Tick(true);
  EXPECT_EQ(ReadBytes(path), bytes);
}

TEST_F(TrackRecoveryTest, AnInterruptedTrackIsRepairedWithTheMeasureCaptureGivesIt) {
  for (int s : {0, 2}) {
    m_settings.m_nWavheaderShortening = s;
    m_settings.PriGapLen = 100;
    Rec();
    const std::string path = m_writer.TrackPath();
    FeedMusic(5);
    // As a kill leaves it: stale sizes and half a frame at the end.
    const RecordingTrack rec = m_journal.Contents().recording;
    ASSERT_TRUE(rec.active);
    EXPECT_EQ(rec.file, path);
    EXPECT_EQ(rec.startTime, FixedClock());
    AppendBytes(path, "\x01\x02\x03");

    QueueEntry repaired;
    platform::FileId version;
    std::string why;
    ASSERT_EQ(RepairTrack(rec, &repaired, &version, &why), RepairOutcome::Repaired) << why;
    const std::uint32_t header = 46 - static_cast<std::uint32_t>(s);
    const std::string bytes = ReadBytes(path);
    ASSERT_EQ(bytes.size(), header + 400 + 5 * 4096) << s;
    EXPECT_EQ(ReadLe32(bytes, header - 4), 400u + 5 * 4096);
    EXPECT_EQ(ReadLe32(bytes, 4), bytes.size() - 8);
    EXPECT_EQ(version.size, static_cast<std::int64_t>(bytes.size()));

    Stop();  // what the writer makes of the same track
    QueueEntry closed;
    {
      std::lock_guard lock(m_queue.m_mtxQueue);
      closed = m_queue.EntryLocked(m_queue.m_arrQueueFile.size() - 1);
    }
    EXPECT_EQ(repaired.file, closed.file);
    EXPECT_EQ(repaired.peak, closed.peak);
    EXPECT_EQ(repaired.startTime, closed.startTime);
    EXPECT_EQ(repaired.dcL, closed.dcL);
    EXPECT_EQ(repaired.dcR, closed.dcR);
    EXPECT_EQ(repaired.rangeL.min, closed.rangeL.min);
    EXPECT_EQ(repaired.rangeL.max, closed.rangeL.max);
    EXPECT_EQ(repaired.rangeR.min, closed.rangeR.min);
    EXPECT_EQ(repaired.rangeR.max, closed.rangeR.max);
    EXPECT_EQ(repaired.sampleRate, 44100);
    EXPECT_EQ(repaired.headerShortening, s);
    EXPECT_EQ(m_journal.Contents().entries.back().entry.file, path);
  }
}

// No thread for the header syncer or the journal: the take is recorded
// whole, the missing syncer is told, and each change of the journal is
// written by the call that makes it.
TEST_F(TrackRecoveryTest, WithoutThreadsRecordingGoesOnAndTheJournalIsStillWritten) {
  std::string told;
  {
    NoNewThreads refused;
    ASSERT_TRUE(refused.Ok());
    m_journal.Start({});
    ::testing::internal::CaptureStderr();
    Rec();
    FeedMusic(2);
    told = ::testing::internal::GetCapturedStderr();
    Stop();
  }
  const std::string path = m_dir.PathOf("music001.wav");
  EXPECT_NE(told.find("no thread keeps the header of " + path), std::string::npos) << told;
  EXPECT_EQ(ReadLe32(ReadBytes(path), 42), 2u * 4096);
  QueueJournal onDisk(m_journal.Path(), nullptr);
  const JournalState state = onDisk.Load();
  ASSERT_EQ(state.entries.size(), 1u);
  EXPECT_EQ(state.entries[0].entry.file, path);
}

TEST_F(TrackRecoveryTest, ATrackWithoutAudioGoesAndAnotherFileIsLeftAlone) {
  m_settings.PriGapLen = 100;
  Rec();
  RecordingTrack rec = m_journal.Contents().recording;
  QueueEntry entry;
  platform::FileId version;
  std::string why;
  EXPECT_EQ(RepairTrack(rec, &entry, &version, &why), RepairOutcome::NoAudio);
  EXPECT_FALSE(fs::exists(rec.file));
  EXPECT_EQ(RepairTrack(rec, &entry, &version, &why), RepairOutcome::Missing);
  Stop();

  WriteBytes(rec.file, "someone else's file");
  EXPECT_EQ(RepairTrack(rec, &entry, &version, &why), RepairOutcome::Changed);
  EXPECT_EQ(ReadBytes(rec.file), "someone else's file");
}

}  // namespace
}  // namespace mivo::testing
