// Silence detection and splitting: which buffers land in which track, and
// the stopped-state texts.
#include <filesystem>

#include "capture_rig.h"

namespace mivo::testing {
namespace {

class SilenceSplitterTest : public CaptureRig {
 protected:
  void SetUp() override {
    CaptureRig::SetUp();
    ASSERT_EQ(OpenEngine(), OpenOutcome::Opened);
  }
  // Plays a script: 'S' a silent buffer, a digit a buffer of sound marked
  // with that digit (its left samples), so that tracks can be read back as
  // the script they hold.
  void Play(const std::string& script) {
    for (char c : script) {
      if (c == 'S') {
        FeedConstant(0, 0);
      } else {
        std::vector<std::int16_t> s = ConstantFrames(kFrames, static_cast<std::int16_t>(1000 * (c - '0')), 0);
        s[1] = 5000;  // a span of 5000 on the right: sound
        Feed(s);
      }
    }
  }
  // The script a track file holds, gaps left out.
  static std::string ScriptOf(const std::string& file) {
    const std::string data = DataOf(file);
    std::string script;
    for (std::size_t off = 0; off + 4096 <= data.size(); off += 4096) {
      std::int16_t left = 0;
      std::memcpy(&left, data.data() + off + 4, 2);
      script += left == 0 ? 'S' : static_cast<char>('0' + left / 1000);
    }
    return script;
  }
  std::vector<std::string> QueuedScripts() {
    std::vector<std::string> out;
    for (const auto& f : QueuedFiles()) out.push_back(ScriptOf(f));
    return out;
  }
};

TEST_F(SilenceSplitterTest, DefaultSpanOfOneSplitsAtTheFirstSilentBuffer) {
  Play("1");  // sound before REC resets the count
  Rec();
  Play("SS");  // waiting: dropped
  EXPECT_EQ(m_writer.TrackBytes(), 0u);
  Play("11S");
  EXPECT_EQ(Status(), "録音待ち");
  Play("SS22S3");
  // Splitting switched off while waiting: the next buffer is written at once.
  Play("S");
  m_settings.m_bSilentDivide = false;
  Play("S4");
  Stop();
  EXPECT_EQ(QueuedScripts(), (std::vector<std::string>{"11", "22", "3", "S4"}));
  EXPECT_EQ(m_writer.TrackNo(), 4);
}

TEST_F(SilenceSplitterTest, SpanOfThreeKeepsTwoSilentBuffersAndTheThirdSplits) {
  m_settings.RecSilentTimeSpan = 3;
  Play("1");
  Rec();
  Play("11SS1SSSSS2SSS");
  Stop();
  EXPECT_EQ(QueuedScripts(), (std::vector<std::string>{"11SS1SS", "2SS"}));

  // REC just as a silence begins: the two silent buffers before the span is
  // reached are a track of their own.
  Play("1");
  Rec();
  Play("SSS");
  Stop();
  EXPECT_EQ(QueuedScripts().back(), "SS");

  // A recording started during a long silence waits; STOP before any sound
  // leaves no file and the number is reused.
  const int before = m_writer.TrackNo();
  Rec();
  const std::string waiting = m_writer.TrackPath();
  Play("SSSS");
  EXPECT_EQ(m_writer.TrackBytes(), 0u);
  EXPECT_TRUE(std::filesystem::exists(waiting));
  Stop();
  EXPECT_FALSE(std::filesystem::exists(waiting));
  EXPECT_EQ(m_writer.TrackNo(), before);
}

TEST_F(SilenceSplitterTest, ThresholdCountsTheLevelAsSilentUpToItsValue) {
  m_settings.RecSilentThreshold = 500;
  std::vector<std::int16_t> quiet = ConstantFrames(kFrames, 0, 0);
  Rec();
  Play("1");
  quiet[3] = 500;  // level 500: silent, splits
  Feed(quiet);
  Play("1");
  quiet[3] = 501;  // level 501: sound, written
  Feed(quiet);
  Stop();
  EXPECT_EQ(QueuedScripts(), (std::vector<std::string>{"1", "1S"}));
}

TEST_F(SilenceSplitterTest, SkippedTrackEndsAtTheSilenceAndTheNextSongIsKept) {
  Rec();
  Play("11");
  m_bSkip = true;
  m_w->EnableDlgItem(IDC_SKIP, false);
  m_w->SetDlgItemText(IDC_STATUS, "スキップ");
  Play("1");
  EXPECT_EQ(Status(), "スキップ");
  Play("S");
  EXPECT_EQ(Status(), "録音待ち");  // written whatever SKIP says
  EXPECT_FALSE(m_bSkip);
  EXPECT_TRUE(m_w->IsDlgItemEnabled(IDC_SKIP));
  Play("2S");
  Stop();
  EXPECT_EQ(QueuedFiles(), std::vector<std::string>{m_dir.PathOf("music001.wav")});  // the number was reused
  EXPECT_EQ(QueuedScripts(), std::vector<std::string>{"2"});
}

TEST_F(SilenceSplitterTest, StoppedTextsAreWrittenOnlyWhenTheStateChanges) {
  Play("1");
  EXPECT_EQ(Status(), "停止 (有音)");
  EXPECT_EQ(m_splitter.StopState(), 1);
  m_w->SetDlgItemText(IDC_STATUS, "x");
  Play("12");
  EXPECT_EQ(Status(), "x");  // a steady sound writes it once
  Play("S");
  EXPECT_EQ(Status(), "停止 (無音)");
  EXPECT_EQ(m_splitter.StopState(), 0);

  // After STOP the next buffer writes its text again.
  m_w->SetDlgItemText(IDC_STATUS, "x");
  m_splitter.ResetStopState();
  Play("S");
  EXPECT_EQ(Status(), "停止 (無音)");

  // Under SKIP the state moves but the text stays.
  m_bSkip = true;
  m_w->SetDlgItemText(IDC_STATUS, "スキップ");
  Play("1");
  EXPECT_EQ(Status(), "スキップ");
  EXPECT_EQ(m_splitter.StopState(), 1);
  m_bSkip = false;
  Play("S");
  EXPECT_EQ(Status(), "停止 (無音)");

  // Span 0: never in silence, never split.
  m_settings.RecSilentTimeSpan = 0;
  Play("SS");
  EXPECT_EQ(Status(), "停止 (有音)");
  Rec();
  Play("1SS1S");
  Stop();
  EXPECT_EQ(QueuedScripts(), std::vector<std::string>{"1SS1S"});
}

TEST_F(SilenceSplitterTest, TrackThatCannotOpenAtASplitStopsTheRecording) {
  Rec();
  Play("1");
  m_settings.RecTempFolder = m_dir.PathOf("gone");
  Play("S");
  EXPECT_FALSE(m_bRecording);
  EXPECT_EQ(LastBoxText(), "ファイルを開けません");
  EXPECT_EQ(QueuedFiles().size(), 1u);  // the track before the split is kept
  Play("S");
  EXPECT_EQ(Status(), "停止 (無音)");
}

}  // namespace
}  // namespace mivo::testing
