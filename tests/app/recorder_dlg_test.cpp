// The recorder window's controller against the headless host.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "app/about_dlg.h"
#include "app/recorder_dlg.h"
#include "app/window_link.h"
#include "convert/queue_journal.h"
#include "encode/wma_setting_dlg.h"
#include "platform/ui/headless/headless_host.h"
#include "settings/recorder_ids.h"
#include "support/manual_wavein.h"
#include "support/no_new_threads.h"
#include "support/temp_folder.h"

namespace mivo {
namespace {

using namespace std::chrono_literals;
using testing::ReadBytes;
using testing::TempFolder;
using testing::WriteBytes;

// Holds every track until released, so that the queue can be kept busy.
class GateProcessor : public ITrackProcessor {
 public:
  TrackResult ProcessTrack(const QueueEntry&, IWorkerWindow&) override {
    std::unique_lock lock(m_mtx);
    ++m_nStarted;
    m_cv.notify_all();
    m_cv.wait(lock, [this] { return m_bOpen; });
    return {};
  }
  void Open() {
    std::lock_guard lock(m_mtx);
    m_bOpen = true;
    m_cv.notify_all();
  }
  bool WaitStarted(int n) {
    std::unique_lock lock(m_mtx);
    return m_cv.wait_for(lock, 5s, [&] { return m_nStarted >= n; });
  }

 private:
  std::mutex m_mtx;
  std::condition_variable m_cv;
  int m_nStarted = 0;
  bool m_bOpen = false;
};

void NoSleep(unsigned) {}

class RecorderDlgTest : public ::testing::Test {
 protected:
  void Start(bool encoder = false, const std::string& ini = "") {
    ASSERT_TRUE(m_dir.Ok());
    m_ini = m_dir.PathOf("mivo.ini");
    if (!ini.empty()) WriteBytes(m_ini, ini);
    RecorderEnvironment env;
    env.host = &m_host;
    env.settingsPath = m_ini;
    env.encoderInfo = "No MP3 Encoder.";
    env.processor = &m_processor;
    env.link = &m_link;
    env.sleep = NoSleep;
    env.waveIn = &m_wavein;  // an input that delivers nothing unless told
    m_dlg = std::make_unique<CRecorderDlg>(env, encoder);
    m_w = &m_host.Open(*m_dlg);
  }
  void TearDown() override {
    m_processor.Open();
    if (m_w) m_host.Destroy(*m_w);
    m_dlg.reset();
  }
  void Finish() {
    m_processor.Open();
    m_host.Destroy(*m_w);
    m_w = nullptr;
  }
  // Tracks go to the test's folder.
  std::string InDir() const {
    return "RecTempFolder=" + m_dir.Dir().string() + "\nRecFolder=" + m_dir.Dir().string() + "\n";
  }
  std::string LastBoxText() {
    auto boxes = m_host.Boxes();
    return boxes.empty() ? std::string() : boxes.back().text;
  }

  TempFolder m_dir;
  std::string m_ini;
  ui::HeadlessHost m_host;
  testing::ManualWaveIn m_wavein{{"Line In"}};
  WindowLink m_link{m_host};
  GateProcessor m_processor;
  std::unique_ptr<CRecorderDlg> m_dlg;
  ui::HeadlessWindow* m_w = nullptr;
};

TEST_F(RecorderDlgTest, FirstStartWithoutSettingsFile) {
  Start();
  ui::HeadlessWindow& w = *m_w;
  EXPECT_EQ(w.GetDlgItemText(IDC_RATE), "44100 Hz");
  EXPECT_EQ(w.GetDlgItemText(IDC_FORMAT), "16bit stereo");
  EXPECT_FALSE(w.IsDlgItemEnabled(IDC_4844));
  EXPECT_FALSE(w.IsDlgItemEnabled(IDC_4844_SETTING));
  EXPECT_TRUE(w.IsDlgButtonChecked(IDC_WAV));
  EXPECT_FALSE(w.IsDlgButtonChecked(IDC_MP3));
  EXPECT_FALSE(w.IsDlgButtonChecked(IDC_WMA));
  EXPECT_TRUE(w.IsDlgButtonChecked(IDC_LEVEL));
  EXPECT_FALSE(w.IsDlgButtonChecked(IDC_SPECTRUM));
  EXPECT_TRUE(w.IsDlgButtonChecked(IDC_SILENTDIVIDE));
  EXPECT_EQ(w.GetDlgItemText(IDC_REMAINING), "0");
  EXPECT_EQ(w.GetDlgItemText(IDC_TEMPFOLDER), ".");
  EXPECT_EQ(w.GetDlgItemText(IDC_FILEPRE), "music");
  EXPECT_FALSE(w.IsDlgItemEnabled(IDC_MP3_SETTING));  // no encoder
  EXPECT_TRUE(w.IsDlgItemEnabled(IDC_WMA_SETTING));
  EXPECT_EQ(w.GetCurSel(IDC_EWX_FLAG), 3);  // SHUTDOWN, value 1
  EXPECT_EQ(w.GetCurSel(IDC_EWX_FORCE), 0);
  EXPECT_FALSE(w.IsDlgItemEnabled(IDC_EWX_FLAG));
  const ui::PickerTime t = w.GetPickerTime(IDC_TIMER_TIME);
  EXPECT_TRUE(t.valid);
  EXPECT_EQ(t.minute, 0);
  EXPECT_EQ(t.second, 0);
  ASSERT_NE(m_dlg->Worker(), nullptr);
  EXPECT_TRUE(m_dlg->Worker()->Started());
  EXPECT_TRUE(m_host.Boxes().empty());

  Finish();
  const std::string saved = ReadBytes(m_ini);
  EXPECT_EQ(saved.rfind("WaveInDevName=\nm_nWaveInBufSize=1024\n", 0), 0u);
  EXPECT_NE(saved.find("m_nPriorityClass=128\nm_nRecThreadPriority=15\nTransThreadPriority=-15\n"),
            std::string::npos);
  EXPECT_EQ(saved.find("TIMER_ENABLE"), std::string::npos);
}

TEST_F(RecorderDlgTest, RecNeedsAnOutputFormat) {
  Start(false, InDir() + "RecWav=0\n");
  m_w->Click(IDC_REC);
  ASSERT_EQ(m_host.Boxes().size(), 1u);
  const auto box = m_host.Boxes()[0];
  EXPECT_EQ(box.text, "生WAV か 午後る か WMA のうちひとつは選択してください");
  EXPECT_EQ(box.caption, "Mivo");
  EXPECT_EQ(box.type & ui::MB_ICONMASK, ui::MB_ICONWARNING);
  EXPECT_FALSE(m_dlg->IsRecording());
  EXPECT_TRUE(m_w->IsDlgItemEnabled(IDC_WMA_SETTING));
}

TEST_F(RecorderDlgTest, EnableRuleFollowsRecAndStop) {
  for (bool encoder : {false, true}) {
    Start(encoder, InDir());
    for (int round = 0; round < 3; ++round) {
      m_w->Click(IDC_REC);
      EXPECT_TRUE(m_dlg->IsRecording());
      EXPECT_EQ(m_w->GetDlgItemText(IDC_STATUS), "録音待ち");
      EXPECT_FALSE(m_w->IsDlgItemEnabled(IDC_WMA_SETTING));
      EXPECT_FALSE(m_w->IsDlgItemEnabled(IDC_MP3_SETTING));
      m_w->Click(IDC_REC);  // a second REC changes nothing
      EXPECT_TRUE(m_dlg->IsRecording());
      m_w->Click(IDC_STOP);
      EXPECT_FALSE(m_dlg->IsRecording());
      EXPECT_EQ(m_dlg->StopState(), 2);
      EXPECT_TRUE(m_w->IsDlgItemEnabled(IDC_WMA_SETTING));
      EXPECT_EQ(m_w->IsDlgItemEnabled(IDC_MP3_SETTING), encoder);
    }
    Finish();
  }
}

TEST_F(RecorderDlgTest, FormatBoxesAreUndoneWhileRecordingOptionBoxesAreNot) {
  Start(true, InDir());
  m_w->Click(IDC_REC);
  m_w->Click(IDC_WAV);
  m_w->Click(IDC_WMA);
  m_w->Click(IDC_MP3);
  EXPECT_TRUE(m_w->IsDlgButtonChecked(IDC_WAV));
  EXPECT_FALSE(m_w->IsDlgButtonChecked(IDC_WMA));
  EXPECT_FALSE(m_w->IsDlgButtonChecked(IDC_MP3));
  EXPECT_TRUE(m_dlg->Settings().RecWav);
  EXPECT_FALSE(m_dlg->Settings().RecWma);
  EXPECT_FALSE(m_dlg->Settings().RecMp3);

  m_w->Click(IDC_NORMALIZE);
  m_w->Click(IDC_DEEMPHASIS);
  m_w->Click(IDC_TIMESTAMP);
  m_w->Click(IDC_SILENTDIVIDE);
  EXPECT_TRUE(m_dlg->Settings().RecNormalize);
  EXPECT_TRUE(m_dlg->Settings().RecDeEmphasis);
  EXPECT_TRUE(m_dlg->Settings().ChangeTimestamp);
  EXPECT_FALSE(m_dlg->Settings().m_bSilentDivide);

  // The meter type cannot change while recording, but can when stopped.
  m_w->Click(IDC_SPECTRUM);
  EXPECT_TRUE(m_w->IsDlgButtonChecked(IDC_LEVEL));
  EXPECT_FALSE(m_w->IsDlgButtonChecked(IDC_SPECTRUM));
  EXPECT_EQ(m_dlg->Settings().RecMeterType, 1);
  m_w->Click(IDC_STOP);
  m_w->Click(IDC_SPECTRUM);
  EXPECT_EQ(m_dlg->Settings().RecMeterType, 2);
  m_w->Click(IDC_WMA);
  EXPECT_TRUE(m_dlg->Settings().RecWma);
}

TEST_F(RecorderDlgTest, Mp3WithoutEncoderExplainsAndStaysOff) {
  Start(false, "RecMp3=1\n");
  EXPECT_FALSE(m_w->IsDlgButtonChecked(IDC_MP3));
  EXPECT_FALSE(m_dlg->Settings().RecMp3);
  m_w->Click(IDC_MP3);
  ASSERT_EQ(m_host.Boxes().size(), 1u);
  EXPECT_EQ(m_host.Boxes()[0].type & ui::MB_ICONMASK, ui::MB_ICONINFORMATION);
  EXPECT_EQ(m_host.Boxes()[0].text.rfind("この機能は GOGO.DLL がインストールされてないと使えません。\r\n", 0), 0u);
  EXPECT_FALSE(m_w->IsDlgButtonChecked(IDC_MP3));
  EXPECT_FALSE(m_dlg->Settings().RecMp3);
}

TEST_F(RecorderDlgTest, SkipBeforeRecMarksTheNextTrack) {
  Start(false, InDir());
  m_w->Click(IDC_SKIP);
  EXPECT_TRUE(m_dlg->IsSkip());
  EXPECT_FALSE(m_w->IsDlgItemEnabled(IDC_SKIP));
  EXPECT_EQ(m_w->GetDlgItemText(IDC_STATUS), "スキップ");
  EXPECT_EQ(m_w->GetDlgItemText(IDC_TRACKFILE), "スキップ");
  m_w->Click(IDC_REC);
  EXPECT_TRUE(m_dlg->IsRecording());
  EXPECT_EQ(m_w->GetDlgItemText(IDC_STATUS), "スキップ");  // no waiting text under SKIP
}

TEST_F(RecorderDlgTest, CloseIsRefusedWhileRecordingOrConvertingAndAcceptedWhenDrained) {
  Start(false, InDir());
  m_w->PressEnter();
  m_w->PressEscape();
  EXPECT_FALSE(m_w->Ended());

  m_w->Click(IDC_REC);
  m_w->CloseBox();
  EXPECT_EQ(LastBoxText(), "録音中は終了できません");
  EXPECT_FALSE(m_w->Ended());
  m_w->Click(IDC_STOP);

  const std::string track = m_dir.PathOf("music001.wav");
  WriteBytes(track, "RIFF");
  m_dlg->Queue().Append({track, 1000, 0, 0, 0});
  ASSERT_TRUE(m_processor.WaitStarted(1));
  m_w->PostMessage(ui::WM_CLOSE, 0, 0);
  m_w->PumpMessages();
  EXPECT_EQ(LastBoxText(), "変換中は終了できません");
  EXPECT_FALSE(m_w->Ended());

  m_processor.Open();
  for (int i = 0; i < 1000 && m_dlg->Queue().Length() != 0; ++i) std::this_thread::sleep_for(2ms);
  m_w->CloseBox();
  EXPECT_TRUE(m_w->Ended());
  EXPECT_EQ(m_w->Result(), ui::IDCANCEL);
  EXPECT_TRUE(m_dlg->Worker()->WaitEnded(5s));
}

TEST_F(RecorderDlgTest, EditsAndFolderChooserReachTheSettingsFile) {
  Start();
  TempFolder chosen;
  m_w->Type(IDC_FILEPRE, "テープ");
  m_host.QueueFolder(std::nullopt);  // cancelled
  m_w->Click(IDC_RECFOLDER_BROWSE);
  EXPECT_EQ(m_w->GetDlgItemText(IDC_RECFOLDER), ".");
  m_host.QueueFolder(chosen.PathOf("no-such-folder"));  // not a folder of the file system
  m_w->Click(IDC_RECFOLDER_BROWSE);
  EXPECT_EQ(m_dlg->Settings().RecFolder, ".");
  m_host.QueueFolder(chosen.Dir().string());
  m_w->Click(IDC_TEMPFOLDER_BROWSE);
  EXPECT_EQ(m_w->GetDlgItemText(IDC_TEMPFOLDER), chosen.Dir().string());
  // The chooser opens where the files go: "." is the settings file's folder.
  EXPECT_EQ(m_host.BrowsedFrom(), std::vector<std::string>(3, m_dir.Dir().string()));
  Finish();
  const std::string saved = ReadBytes(m_ini);
  EXPECT_NE(saved.find("RecFilePre=テープ\n"), std::string::npos);
  EXPECT_NE(saved.find("RecTempFolder=" + chosen.Dir().string() + "\n"), std::string::npos);
  EXPECT_NE(saved.find("RecFolder=.\n"), std::string::npos);
}

TEST_F(RecorderDlgTest, RelativeFoldersLieBesideThePortableSettingsFileAndShowAsStored) {
  Start(false, "RecTempFolder=.\nRecFolder=\n");
  m_w->Click(IDC_REC);
  EXPECT_EQ(m_w->GetDlgItemText(IDC_TRACKFILE), m_dir.PathOf("music001.wav"));
  EXPECT_TRUE(std::filesystem::exists(m_dir.PathOf("music001.wav")));
  EXPECT_EQ(m_w->GetDlgItemText(IDC_TEMPFOLDER), ".");
  EXPECT_EQ(m_w->GetDlgItemText(IDC_RECFOLDER), "");
  m_w->Click(IDC_STOP);
  Finish();
  EXPECT_NE(ReadBytes(m_ini).find("\nRecTempFolder=.\nRecFolder=\n"), std::string::npos);
}

TEST_F(RecorderDlgTest, AboutBoxShowsVersionAndEncoderText) {
  Start();
  std::string shown;
  m_host.QueueScript(IDD_ABOUTBOX, [&](ui::HeadlessWindow& about) {
    shown = about.GetDlgItemText(IDC_ENCODER_INFO);
    about.Click(ui::IDOK);
  });
  m_w->Click(IDC_ABOUT);
  EXPECT_EQ(m_host.ShownDialogs(), std::vector<int>{IDD_ABOUTBOX});
  EXPECT_EQ(shown, "No MP3 Encoder.");
  const ui::ControlTemplate* label = nullptr;
  for (const auto& c : AboutTemplate().controls)
    if (c.kind == ui::ControlKind::Static) label = &c;
  ASSERT_NE(label, nullptr);
  EXPECT_EQ(label->text, "Mivo Version 0.70");
}

TEST_F(RecorderDlgTest, UnknownPowerActionFallsBackToShutdownAndUnknownForceToNormal) {
  Start(false, "m_dwEwxFlag=5\nm_dwEwxForce=7\n");
  EXPECT_EQ(m_w->GetCurSel(IDC_EWX_FLAG), 3);  // SHUTDOWN
  EXPECT_EQ(m_w->GetCurSel(IDC_EWX_FORCE), -1);
  Finish();
  const std::string saved = ReadBytes(m_ini);
  EXPECT_NE(saved.find("m_dwEwxFlag=1\nm_dwEwxForce=0\n"), std::string::npos);
}

TEST_F(RecorderDlgTest, RemoteCommandsActAsTheButtons) {
  Start(false, InDir());
  RemoteReply status = m_dlg->HandleRemoteCommand("status");
  EXPECT_EQ(status.status, 0);
  EXPECT_EQ(status.text, "\n\n0\n0");
  EXPECT_EQ(m_dlg->HandleRemoteCommand("rec").status, 0);
  EXPECT_TRUE(m_dlg->IsRecording());
  EXPECT_EQ(m_dlg->HandleRemoteCommand("status").text, "録音待ち\n" + m_dir.PathOf("music001.wav") + "\n0\n1");
  const RemoteReply refused = m_dlg->HandleRemoteCommand("quit");
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.text, "録音中は終了できません");
  EXPECT_FALSE(m_w->Ended());
  EXPECT_EQ(m_dlg->HandleRemoteCommand("skip").status, 0);
  EXPECT_TRUE(m_dlg->IsSkip());
  EXPECT_EQ(m_dlg->HandleRemoteCommand("stop").status, 0);
  EXPECT_FALSE(m_dlg->IsRecording());
  EXPECT_EQ(m_dlg->HandleRemoteCommand("bogus").status, 2);
  EXPECT_TRUE(m_host.Boxes().empty());  // refusals are replies, not boxes
  EXPECT_EQ(m_dlg->HandleRemoteCommand("quit").status, 0);
  EXPECT_TRUE(m_w->Ended());
}

// Over SSH or on the offscreen platform nobody sees a box: the command
// channel tells it and answers it, and quit never claims to close while a
// box keeps the window open.
TEST_F(RecorderDlgTest, RemoteCommandsShowAndAnswerAnOpenBox) {
  Start(false, InDir());
  m_host.SetOpenModals({ui::OpenModal{false, "入力の設定", "", 0},
                        ui::OpenModal{true, "Mivo", "一行目\n二行目", ui::MB_ABORTRETRYIGNORE}});
  EXPECT_EQ(m_dlg->HandleRemoteCommand("status").text,
            "\n\n0\n0\ndialog: 入力の設定\n  answer: cancel\n"
            "box: Mivo\n  一行目\n  二行目\n  answer: abort retry ignore");
  const RemoteReply quit = m_dlg->HandleRemoteCommand("quit");
  EXPECT_EQ(quit.status, 1);
  EXPECT_NE(quit.text.find("answer it"), std::string::npos) << quit.text;
  EXPECT_FALSE(m_w->Ended());
  EXPECT_EQ(m_dlg->HandleRemoteCommand("answer retry").status, 0);
  EXPECT_EQ(m_dlg->HandleRemoteCommand("answer maybe").status, 2);
  EXPECT_EQ(m_dlg->HandleRemoteCommand("answer cancel").status, 0);
  EXPECT_EQ(m_dlg->HandleRemoteCommand("answer ok").status, 1);  // nothing left
  EXPECT_EQ(m_host.ModalAnswers(), (std::vector<int>{ui::IDRETRY, ui::IDCANCEL}));
  EXPECT_EQ(m_dlg->HandleRemoteCommand("quit").status, 0);
  EXPECT_TRUE(m_w->Ended());
}

TEST_F(RecorderDlgTest, RemoteRecWithoutFormatIsRefusedWithoutABox) {
  Start(false, InDir() + "RecWav=0\n");
  const RemoteReply r = m_dlg->HandleRemoteCommand("rec");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.text, "生WAV か 午後る か WMA のうちひとつは選択してください");
  EXPECT_TRUE(m_host.Boxes().empty());
}

TEST_F(RecorderDlgTest, CommandsFromAnotherThreadAreServedOnTheWindowThread) {
  Start(false, InDir());
  RemoteReply reply;
  std::thread client([&] { reply = m_link.Submit("rec", 5s); });
  while (m_w->PumpMessages() == 0) std::this_thread::sleep_for(1ms);
  client.join();
  EXPECT_EQ(reply.status, 0);
  EXPECT_TRUE(m_dlg->IsRecording());
}

TEST_F(RecorderDlgTest, TerminationStopsTheRecordingAndSavesEvenWithTracksWaiting) {
  Start(false, InDir());
  const std::string waiting = m_dir.PathOf("music001.wav");
  WriteBytes(waiting, "RIFF");
  m_w->Type(IDC_FILEPRE, "radio");
  m_dlg->Queue().Append({waiting, 0, 0, 0, 0});
  m_dlg->Queue().Append({m_dir.PathOf("music002.wav"), 0, 0, 0, 0});
  ASSERT_TRUE(m_processor.WaitStarted(1));
  m_w->Click(IDC_REC);
  m_link.RequestTerminate();
  EXPECT_TRUE(m_host.ModalsCancelled());
  m_w->PumpMessages();
  EXPECT_TRUE(m_w->Ended());
  EXPECT_FALSE(m_dlg->IsRecording());
  Finish();
  EXPECT_NE(ReadBytes(m_ini).find("RecFilePre=radio\n"), std::string::npos);
  EXPECT_TRUE(std::filesystem::exists(waiting));
  EXPECT_EQ(m_dlg->Queue().Length(), 1u);  // the second track was never taken up
}

TEST_F(RecorderDlgTest, AnEarlierRunsWaitingTracksAreQueuedAgainKeptAtTerminationAndTheirNumbersNotReused) {
  // Killed with two tracks waiting, of which one has gone since.
  JournalState earlier;
  for (const char* name : {"music005.wav", "music007.wav"}) {
    JournalEntry j;
    j.entry.file = m_dir.PathOf(name);
    WriteBytes(j.entry.file, name);
    ASSERT_TRUE(platform::FileIdAt(j.entry.file, &j.version));
    earlier.entries.push_back(j);
  }
  std::filesystem::remove(m_dir.PathOf("music007.wav"));
  const std::string journal = QueueJournal::PathFor(m_dir.PathOf("mivo.ini"));
  WriteBytes(journal, EncodeJournal(earlier));

  Start(false, InDir() + "DebugLogLevel=1\nDebugLogFileName=" + m_dir.PathOf("debug.log") + "\n");
  ASSERT_TRUE(m_processor.WaitStarted(1));
  EXPECT_EQ(m_w->GetDlgItemText(IDC_RECOVERY_NOTE), "前回の 1 曲を復旧しました");
  EXPECT_EQ(m_w->GetDlgItemText(IDC_REMAINING), "1");
  m_w->Click(IDC_REC);
  EXPECT_EQ(m_w->GetDlgItemText(IDC_TRACKFILE), m_dir.PathOf("music006.wav"));

  // Terminated while it converts: it is still waiting at the next start.
  m_link.RequestTerminate();
  m_w->PumpMessages();
  Finish();
  const JournalState after = DecodeJournal(ReadBytes(journal)).state;
  ASSERT_EQ(after.entries.size(), 1u);
  EXPECT_EQ(after.entries[0].entry.file, m_dir.PathOf("music005.wav"));
  EXPECT_FALSE(after.recording.active);  // the empty track went
  const std::string log = ReadBytes(m_dir.PathOf("debug.log"));
  EXPECT_NE(log.find(m_dir.PathOf("music007.wav") + " no longer exists"), std::string::npos) << log;
  EXPECT_NE(log.find("1 track(s) of an earlier run recovered and queued"), std::string::npos) << log;
}

TEST_F(RecorderDlgTest, TerminationBeforeTheWindowIsUpIsDeliveredAtAttach) {
  m_link.RequestTerminate();
  Start();
  m_w->PumpMessages();
  EXPECT_TRUE(m_w->Ended());
}

TEST_F(RecorderDlgTest, AWorkerThreadTheSystemRefusesEndsTheRunWithAMessage) {
  {
    testing::NoNewThreads refused;
    ASSERT_TRUE(refused.Ok());
    Start(false, InDir());
  }
  EXPECT_EQ(m_dlg->Worker(), nullptr);
  ASSERT_EQ(m_host.Boxes().size(), 1u);
  EXPECT_EQ(m_host.Boxes()[0].text.rfind("変換スレッドを開始できないので、終了します。", 0), 0u);
  EXPECT_EQ(m_host.Boxes()[0].caption, "Mivo");
  EXPECT_EQ(m_host.Boxes()[0].type & ui::MB_ICONMASK, ui::MB_ICONSTOP);
  m_w->PumpMessages();
  EXPECT_TRUE(m_w->Ended());
  EXPECT_EQ(m_dlg->ExitStatus(), 1);
  Finish();
  EXPECT_TRUE(std::filesystem::exists(m_ini));  // the settings are still saved
}

TEST_F(RecorderDlgTest, SettingsThatCannotBeSavedAreToldAtExit) {
  const std::string log = m_dir.PathOf("debug.log");
  Start(false, "DebugLogLevel=1\nDebugLogFileName=" + log + "\n");
  std::filesystem::remove(m_ini);
  std::filesystem::create_directories(m_ini + "/inside");  // not even root writes a file there
  Finish();
  const std::string why = m_ini + ": Is a directory";
  ASSERT_EQ(m_host.Boxes().size(), 1u);
  EXPECT_EQ(m_host.Boxes()[0].text, "設定を保存できませんでした。\r\n" + why);
  EXPECT_EQ(m_host.Boxes()[0].caption, "Mivo");
  EXPECT_EQ(ReadBytes(log), "start logging...\nsettings not saved: " + why + "\nend logging...\n\n");
}

TEST_F(RecorderDlgTest, DebugLogBlockPerRun) {
  const std::string log = m_dir.PathOf("debug.log");
  Start(false, "DebugLogLevel=1\nDebugLogFileName=" + log + "\n");
  Finish();
  EXPECT_EQ(ReadBytes(log), "start logging...\nend logging...\n\n");
}

TEST_F(RecorderDlgTest, WmaSettingsButtonOpensTheProfileDialog) {
  Start(false, InDir());
  m_host.QueueScript(IDD_WMA_SETTING, [](ui::HeadlessWindow& wma) {
    wma.Select(IDC_WMA_PROFILES, 3);
    wma.Click(ui::IDOK);
  });
  m_w->Click(IDC_WMA_SETTING);
  EXPECT_EQ(m_host.ShownDialogs(), std::vector<int>{IDD_WMA_SETTING});
  Finish();
  EXPECT_NE(ReadBytes(m_ini).find("m_WmaSetting.nProfileIndex=3\n"), std::string::npos);
}

}  // namespace
}  // namespace mivo
