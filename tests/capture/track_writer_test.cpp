// Track files: their exact bytes, naming, the close rules, the status texts,
// the size limit and write failures.
#include <signal.h>
#include <sys/resource.h>

#include <filesystem>

#include "capture_rig.h"

namespace mivo::testing {
namespace {

namespace fs = std::filesystem;

class TrackWriterTest : public CaptureRig {
 protected:
  void SetUp() override {
    CaptureRig::SetUp();
    m_settings.m_bSilentDivide = false;  // every buffer goes into the track
    ASSERT_EQ(OpenEngine(), OpenOutcome::Opened);
  }
  QueueEntry Entry(std::size_t i) {
    std::lock_guard lock(m_queue.m_mtxQueue);
    return m_queue.EntryLocked(i);
  }
  // A track file says what it holds: RIFF and data sizes match its length.
  static void ExpectConsistent(const std::string& bytes, std::uint32_t header = 46) {
    ASSERT_GE(bytes.size(), header);
    EXPECT_EQ(ReadLe32(bytes, header - 4), bytes.size() - header);
    EXPECT_EQ(ReadLe32(bytes, 4), bytes.size() - 8);
  }
};

// The file-size limit of the process, lowered for one test; SIGXFSZ is
// ignored meanwhile, so that writes past it fail instead of ending the process.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    m_ok = ::getrlimit(RLIMIT_FSIZE, &m_old) == 0;
    m_oldHandler = ::signal(SIGXFSZ, SIG_IGN);
    rlimit lower = m_old;
    lower.rlim_cur = bytes;
    m_ok = m_ok && m_oldHandler != SIG_ERR && ::setrlimit(RLIMIT_FSIZE, &lower) == 0;
  }
  ~FileSizeLimit() {
    static_cast<void>(::setrlimit(RLIMIT_FSIZE, &m_old));
    if (m_oldHandler != SIG_ERR) static_cast<void>(::signal(SIGXFSZ, m_oldHandler));
  }
  bool Ok() const { return m_ok; }

 private:
  rlimit m_old{};
  sighandler_t m_oldHandler = SIG_ERR;
  bool m_ok = false;
};

TEST_F(TrackWriterTest, BothHeaderFormsWithGapsHoldExactlyTheseBytes) {
  m_settings.PriGapLen = 100;
  m_settings.PostGapLen = 50;
  std::vector<std::int16_t> frames = ConstantFrames(kFrames, 40, -5);
  frames[2 * 10] = 240;  // level 200, sum 40 * 1024 + 200
  for (int s : {0, 2}) {
    m_settings.m_nWavheaderShortening = s;
    if (s == 2) m_writer.SetClock([]() -> std::time_t { return 4'102'444'800; });  // 2100: past 32 bits
    Rec();
    const std::string path = m_writer.TrackPath();
    Feed(frames);
    Stop();

    const std::string bytes = ReadBytes(path);
    const std::string expected = "RIFF" + Le32(s == 0 ? 4734 : 4732) + "WAVE" + "fmt " + Le32(18 - s) + Le16(1) +
                                 Le16(2) + Le32(44100) + Le32(176400) + Le16(4) + Le16(16) +
                                 (s == 0 ? Le16(0) : std::string()) + "data" + Le32(4696);
    const std::size_t header = s == 0 ? 46 : 44;
    ASSERT_EQ(bytes.size(), header + 4696) << s;
    EXPECT_EQ(bytes.substr(0, header), expected) << s;
    EXPECT_EQ(bytes.substr(header, 400), std::string(400, '\0'));
    EXPECT_EQ(bytes.substr(header + 400, 4096), AsBytes(frames));
    EXPECT_EQ(bytes.substr(header + 4496), std::string(200, '\0'));
  }
  ASSERT_EQ(QueuedFiles().size(), 2u);
  for (std::size_t i = 0; i < 2; ++i) {
    const QueueEntry e = Entry(i);
    EXPECT_EQ(e.peak, 100);  // (200 + 1) / 2
    EXPECT_EQ(e.startTime, i == 0 ? 1700000000 : 4'102'444'800);
    EXPECT_EQ(e.dcL, 40);  // over the 1024 audio frames, not the gaps
    EXPECT_EQ(e.dcR, -5);
    // How it was written, whatever the settings say by the time it is read.
    EXPECT_EQ(e.sampleRate, 44100);
    EXPECT_EQ(e.headerShortening, i == 0 ? 0 : 2);
    // Each channel's extremes over the whole file, the gaps' zeros included.
    EXPECT_EQ(e.rangeL.min, 0);
    EXPECT_EQ(e.rangeL.max, 240);
    EXPECT_EQ(e.rangeR.min, -5);
    EXPECT_EQ(e.rangeR.max, 0);
  }
  EXPECT_EQ(m_w->GetDlgItemText(IDC_REMAINING), "2");
}

TEST_F(TrackWriterTest, NamesTakeTheLowestFreeNumberAcrossBothFolders) {
  TempFolder out;
  m_settings.RecFolder = out.Dir().string();
  WriteBytes(m_dir.PathOf("music001.wav"), "x");
  WriteBytes(out.PathOf("music002.mp3"), "x");
  m_settings.RecTempFolder = m_dir.Dir().string() + "/";

  Rec();
  EXPECT_EQ(m_writer.TrackNo(), 3);
  EXPECT_EQ(m_writer.TrackPath(), m_dir.PathOf("music003.wav"));
  EXPECT_EQ(m_settings.RecTempFolder, m_dir.Dir().string());  // the final "/" goes
  EXPECT_EQ(m_w->GetDlgItemText(IDC_TEMPFOLDER), m_dir.Dir().string());
  EXPECT_EQ(m_w->GetDlgItemText(IDC_TRACKFILE), m_dir.PathOf("music003.wav"));
  Stop();  // nothing recorded: deleted, number given back
  EXPECT_FALSE(fs::exists(m_dir.PathOf("music003.wav")));
  EXPECT_EQ(m_writer.TrackNo(), 2);

  // The WMA name counts, and the MP3 name has the encoder's extension.
  WriteBytes(out.PathOf("music003.wma"), "x");
  WriteBytes(out.PathOf("music004.rmp"), "x");
  m_settings.m_GogoSetting.dwOutFmt = 2;
  Rec();
  EXPECT_EQ(m_writer.TrackNo(), 5);
  Stop();
  WriteBytes(out.PathOf("music005.ogg"), "x");
  m_settings.m_GogoSetting.bOutFileExp = 1;
  m_settings.SetOutFileExp(".ogg");
  Rec();
  EXPECT_EQ(m_writer.TrackNo(), 6);
  FeedConstant(1, 2);
  Stop();
  ASSERT_EQ(QueuedFiles(), std::vector<std::string>{m_dir.PathOf("music006.wav")});

  // Upward from the last number used, even when lower ones are free again.
  fs::remove(m_dir.PathOf("music001.wav"));
  Rec();
  EXPECT_EQ(m_writer.TrackNo(), 7);
  Stop();

  EXPECT_EQ(JoinFolder("", "music001.wav"), "/music001.wav");
  m_settings.RecFilePre = "t";
  EXPECT_EQ(MakeTrackNames(m_settings, 1234).track, m_dir.PathOf("t1234.wav"));
}

TEST_F(TrackWriterTest, ANameTakenBetweenTheLookAndTheCreationIsLeftAloneForTheNextNumber) {
  // Another recorder sharing the temporary folder creates music001.wav
  // after this one found the name free.
  static int creations = 0;
  creations = 0;
  m_writer.SetBeforeCreate([](const std::string& path) {
    if (creations++ == 0) WriteBytes(path, "the other recorder's track");
  });
  Rec();
  EXPECT_EQ(m_writer.TrackNo(), 2);
  EXPECT_EQ(m_writer.TrackPath(), m_dir.PathOf("music002.wav"));
  Feed(RampFrames(kFrames, 7));
  Feed(RampFrames(kFrames, -300));  // the ranges follow every buffer
  Stop();
  EXPECT_EQ(ReadBytes(m_dir.PathOf("music001.wav")), "the other recorder's track");
  ASSERT_EQ(QueuedFiles(), std::vector<std::string>{m_dir.PathOf("music002.wav")});
  const QueueEntry e = Entry(0);
  EXPECT_EQ(e.rangeL.min, -299);
  EXPECT_EQ(e.rangeL.max, 1031);
  EXPECT_EQ(e.rangeR.min, -1031);
  EXPECT_EQ(e.rangeR.max, 299);
}

TEST_F(TrackWriterTest, EmptyShortAndSkippedTracksAreDeletedAndGiveTheirNumberBack) {
  const std::string logPath = m_dir.PathOf("debug.log");
  m_log.Open(1, logPath);
  m_settings.PriGapLen = 100;
  m_settings.PostGapLen = 50;

  // Only the gaps.
  Rec();
  const std::string first = m_writer.TrackPath();
  EXPECT_TRUE(fs::exists(first));  // header and lead gap until sound comes
  Stop();
  EXPECT_FALSE(fs::exists(first));
  EXPECT_EQ(m_writer.TrackNo(), 0);

  // Shorter than the minimum: half a second against one.
  m_settings.m_bDropWave = true;
  m_settings.m_dwDropWaveLen = 44100;
  Rec();
  for (int i = 0; i < 21; ++i) FeedConstant(100, 100);
  Stop();
  EXPECT_FALSE(fs::exists(first));
  EXPECT_EQ(m_writer.TrackNo(), 0);

  // Exactly the minimum is kept.
  m_settings.m_dwDropWaveLen = 2048;
  Rec();
  FeedConstant(100, 100);
  FeedConstant(100, 100);
  Stop();
  ASSERT_EQ(QueuedFiles(), std::vector<std::string>{first});
  EXPECT_EQ(m_writer.TrackNo(), 1);
  EXPECT_EQ(m_w->GetDlgItemText(IDC_REMAINING), "1");

  // Skipped: deleted, and SKIP is available again.
  m_bSkip = true;
  m_w->EnableDlgItem(IDC_SKIP, false);
  Rec();
  EXPECT_EQ(m_w->GetDlgItemText(IDC_TRACKFILE), first);  // not overwritten under SKIP
  FeedConstant(100, 100);
  FeedConstant(100, 100);
  Stop();
  EXPECT_FALSE(fs::exists(m_dir.PathOf("music002.wav")));
  EXPECT_FALSE(m_bSkip);
  EXPECT_TRUE(m_w->IsDlgItemEnabled(IDC_SKIP));
  EXPECT_EQ(m_writer.TrackNo(), 1);

  // A skip survives a track deleted for being empty and takes the next one.
  m_bSkip = true;
  Rec();
  Stop();
  EXPECT_TRUE(m_bSkip);
  Rec();
  FeedConstant(100, 100);
  FeedConstant(100, 100);
  Stop();
  EXPECT_FALSE(m_bSkip);
  EXPECT_EQ(QueuedFiles().size(), 1u);

  m_log.Close();
  EXPECT_EQ(ReadBytes(logPath), "start logging...\n" + first + "  peak = 0\nend logging...\n\n");
}

TEST_F(TrackWriterTest, StatusShowsTheRunningTimeWithTheGapsCounted) {
  Rec();
  FeedConstant(1, 1);
  EXPECT_EQ(Status(), "録音中   0:00");
  for (int i = 1; i < 43; ++i) FeedConstant(1, 1);  // 43 buffers: 0.998 s
  EXPECT_EQ(Status(), "録音中   0:00");
  FeedConstant(1, 1);
  EXPECT_EQ(Status(), "録音中   0:01");
  Stop();

  // A lead gap of 0.9 s counts towards the time.
  m_settings.PriGapLen = 40000;
  Rec();
  for (int i = 0; i < 4; ++i) FeedConstant(1, 1);
  EXPECT_EQ(Status(), "録音中   0:00");
  FeedConstant(1, 1);
  EXPECT_EQ(Status(), "録音中   0:01");
  Stop();

  // Minutes, at 8 kHz: 469 buffers pass one minute.
  platform::WAVEFORMATEX slow = m_format;
  slow.nSamplesPerSec = 8000;
  slow.nAvgBytesPerSec = 32000;
  m_writer.SetFormat(slow, kFrames);
  m_settings.PriGapLen = 0;
  Rec();
  for (int i = 0; i < 469; ++i) FeedConstant(1, 1);
  EXPECT_EQ(Status(), "録音中   1:00");
  // Under SKIP the status keeps its text.
  m_bSkip = true;
  m_w->SetDlgItemText(IDC_STATUS, "スキップ");
  for (int i = 0; i < 20; ++i) FeedConstant(1, 1);
  EXPECT_EQ(Status(), "スキップ");
}

TEST_F(TrackWriterTest, TrackThatWouldOutgrowItsSizesGoesOnInTheNextWithoutLosingAFrame) {
  m_settings.PriGapLen = 10;
  m_settings.PostGapLen = 20;
  // Ten buffers and both gaps fit; the eleventh would not.
  m_writer.SetMaxDataBytes(40 + 10 * 4096 + 80);
  Rec();
  std::string input;
  for (int i = 0; i < 25; ++i) {
    const auto frames = RampFrames(kFrames, i * static_cast<int>(kFrames));
    input += AsBytes(frames);
    Feed(frames);
  }
  EXPECT_EQ(m_w->GetDlgItemText(IDC_TRACKFILE), m_dir.PathOf("music003.wav"));
  Stop();

  const auto files = QueuedFiles();
  ASSERT_EQ(files.size(), 3u);
  std::string audio;
  const std::vector<std::size_t> buffers = {10, 10, 5};
  for (std::size_t i = 0; i < files.size(); ++i) {
    const std::string bytes = ReadBytes(files[i]);
    ExpectConsistent(bytes);
    const std::string data = bytes.substr(46);
    ASSERT_EQ(data.size(), 40 + buffers[i] * 4096 + 80) << i;
    EXPECT_EQ(data.substr(0, 40), std::string(40, '\0'));
    EXPECT_EQ(data.substr(data.size() - 80), std::string(80, '\0'));
    audio += data.substr(40, data.size() - 120);
  }
  EXPECT_TRUE(audio == input) << "the tracks together must hold every frame, in order";
  EXPECT_EQ(m_nStops, 1);
}

TEST_F(TrackWriterTest, FailedWriteStopsAndKeepsAValidTrackOfTheBuffersOnDisk) {
  m_settings.PostGapLen = 50;
  Rec();
  const std::string path = m_writer.TrackPath();
  std::string input;
  std::int64_t sumL = 0;
  for (int i = 0; i < 3; ++i) {
    const auto frames = RampFrames(kFrames, i * 1000);
    for (std::size_t f = 0; f < kFrames; ++f) sumL += frames[2 * f];
    input += AsBytes(frames);
    Feed(frames);
  }
  {
    FileSizeLimit limit(46 + 3 * 4096 + 1000);  // room for a quarter of the next buffer
    ASSERT_TRUE(limit.Ok());
    FeedConstant(30000, 30000);
  }
  EXPECT_FALSE(m_bRecording);
  EXPECT_EQ(m_nStops, 1);
  ASSERT_EQ(m_host.Boxes().size(), 1u);
  const auto box = m_host.Boxes()[0];
  EXPECT_EQ(box.text.rfind(kTrackWriteFailed, 0), 0u);
  EXPECT_NE(box.text.find(path), std::string::npos);
  EXPECT_EQ(box.caption, "ERROR");
  EXPECT_EQ(box.type & ui::MB_ICONMASK, ui::MB_ICONEXCLAMATION);

  const std::string bytes = ReadBytes(path);
  ExpectConsistent(bytes);
  EXPECT_TRUE(bytes.substr(46) == input);  // the whole buffers, no gap after the failure
  ASSERT_EQ(QueuedFiles(), std::vector<std::string>{path});
  EXPECT_EQ(Entry(0).dcL, sumL / (3 * 1024));  // the failed buffer's samples are not counted
  FeedConstant(7, 7);  // stopped: nothing more is written
  EXPECT_EQ(ReadBytes(path), bytes);
}

TEST_F(TrackWriterTest, TrailingGapThatDoesNotFitAtStopLeavesTheTrackWithoutIt) {
  m_settings.PostGapLen = 1000;
  Rec();
  const std::string path = m_writer.TrackPath();
  FeedConstant(3, 3);
  FeedConstant(3, 3);
  {
    FileSizeLimit limit(46 + 2 * 4096 + 100);
    ASSERT_TRUE(limit.Ok());
    Stop();
  }
  const std::string bytes = ReadBytes(path);
  ExpectConsistent(bytes);
  EXPECT_EQ(bytes.size(), 46u + 2 * 4096);
  EXPECT_EQ(QueuedFiles().size(), 1u);
  ASSERT_EQ(m_host.Boxes().size(), 1u);
  EXPECT_EQ(m_host.Boxes()[0].text.rfind(kTrackWriteFailed, 0), 0u);
}

TEST_F(TrackWriterTest, TrackThatCannotBeCreatedOrHeadedStopsAndUsesUpItsNumber) {
  m_settings.RecTempFolder = m_dir.PathOf("missing");
  Rec();
  EXPECT_FALSE(m_bRecording);
  EXPECT_EQ(m_nStops, 1);
  ASSERT_EQ(m_host.Boxes().size(), 1u);
  EXPECT_EQ(m_host.Boxes()[0].text, "ファイルを開けません");
  EXPECT_EQ(m_host.Boxes()[0].caption, "ERROR");
  EXPECT_EQ(m_host.Boxes()[0].type & ui::MB_ICONMASK, ui::MB_ICONEXCLAMATION);
  EXPECT_EQ(m_writer.TrackNo(), 1);

  // No room for the header: no file is left behind.
  m_settings.RecTempFolder = m_dir.Dir().string();
  m_host.ClearBoxes();
  {
    FileSizeLimit limit(20);
    ASSERT_TRUE(limit.Ok());
    Rec();
  }
  EXPECT_EQ(m_writer.TrackNo(), 2);
  EXPECT_FALSE(fs::exists(m_dir.PathOf("music002.wav")));
  EXPECT_FALSE(m_bRecording);
  ASSERT_EQ(m_host.Boxes().size(), 1u);
  EXPECT_EQ(m_host.Boxes()[0].text.rfind(kTrackWriteFailed, 0), 0u);

  Rec();
  EXPECT_EQ(m_writer.TrackPath(), m_dir.PathOf("music003.wav"));
  EXPECT_TRUE(m_bRecording);
}

}  // namespace
}  // namespace mivo::testing
