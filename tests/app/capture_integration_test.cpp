// The recorder window with capture: a manual wave input feeds the window's
// queue, and REC, STOP, the device's reports and the settings buttons act
// on the tracks.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "app/recorder_dlg.h"
#include "app/window_link.h"
#include "capture/capture_ids.h"
#include "platform/ui/headless/headless_host.h"
#include "settings/recorder_ids.h"
#include "support/manual_wavein.h"
#include "support/temp_folder.h"

namespace mivo {
namespace {

using namespace std::chrono_literals;
using testing::ReadBytes;
using testing::WriteBytes;
namespace fs = std::filesystem;

// Keeps the first track it is given until released, so that queued tracks
// stay in the queue while a test looks at them.
class HoldingProcessor : public ITrackProcessor {
 public:
  TrackResult ProcessTrack(const QueueEntry&, IWorkerWindow&) override {
    std::unique_lock lock(m_mtx);
    m_cv.wait(lock, [this] { return m_bOpen; });
    return {};
  }
  void Open() {
    std::lock_guard lock(m_mtx);
    m_bOpen = true;
    m_cv.notify_all();
  }

 private:
  std::mutex m_mtx;
  std::condition_variable m_cv;
  bool m_bOpen = false;
};

void NoSleep(unsigned) {}

class CaptureIntegrationTest : public ::testing::Test {
 protected:
  void Start(const std::string& ini = "") {
    ASSERT_TRUE(m_dir.Ok());
    m_ini = m_dir.PathOf("mivo.ini");
    WriteBytes(m_ini, "RecTempFolder=" + m_dir.Dir().string() + "\nRecFolder=" + m_dir.Dir().string() + "\n" + ini);
    RecorderEnvironment env;
    env.host = &m_host;
    env.settingsPath = m_ini;
    env.processor = &m_processor;
    env.link = &m_link;
    env.sleep = NoSleep;
    env.waveIn = &m_wavein;
    env.inputGiven = m_bInputGiven;
    m_dlg = std::make_unique<CRecorderDlg>(env, false);
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
  void Feed(std::int16_t left, std::int16_t right) {
    ASSERT_NE(m_wavein.DeliverConstant(left, right), nullptr);
    m_w->PumpMessages();
  }
  // A buffer with sound: level 2000.
  void Tone() {
    std::vector<std::int16_t> s = testing::ConstantFrames(1024, 1000, 0);
    s[1] = 2000;
    ASSERT_NE(m_wavein.Deliver(s), nullptr);
    m_w->PumpMessages();
  }
  std::string Status() { return m_w->GetDlgItemText(IDC_STATUS); }
  std::vector<std::string> BoxTexts() {
    std::vector<std::string> out;
    for (const auto& b : m_host.Boxes()) out.push_back(b.text);
    return out;
  }

  testing::TempFolder m_dir;
  std::string m_ini;
  ui::HeadlessHost m_host;
  WindowLink m_link{m_host};
  HoldingProcessor m_processor;
  testing::ManualWaveIn m_wavein{{"Line In", "USB Audio"}};
  bool m_bInputGiven = false;
  std::unique_ptr<CRecorderDlg> m_dlg;
  ui::HeadlessWindow* m_w = nullptr;
};

TEST_F(CaptureIntegrationTest, CapturedBuffersBecomeTracksSplitAtSilences) {
  Start();
  EXPECT_TRUE(m_wavein.IsStarted());
  EXPECT_EQ(m_wavein.OpenedDevice(), platform::WAVE_MAPPER);
  EXPECT_EQ(m_wavein.QueuedCount(), 62u);
  EXPECT_TRUE(m_host.Boxes().empty());

  Tone();
  EXPECT_EQ(Status(), "停止 (有音)");
  EXPECT_EQ(m_dlg->Capture().Level(), 2000u);
  m_w->Click(IDC_REC);
  EXPECT_EQ(Status(), "録音待ち");
  const std::string first = m_dir.PathOf("music001.wav");
  EXPECT_EQ(m_w->GetDlgItemText(IDC_TRACKFILE), first);
  Tone();
  EXPECT_EQ(Status(), "録音中   0:00");
  Tone();
  Feed(0, 0);  // the default span of one buffer splits here
  EXPECT_EQ(Status(), "録音待ち");
  EXPECT_EQ(m_w->GetDlgItemText(IDC_REMAINING), "1");
  Tone();
  m_w->Click(IDC_STOP);
  EXPECT_EQ(m_dlg->StopState(), 2);
  Feed(0, 0);
  EXPECT_EQ(Status(), "停止 (無音)");

  EXPECT_EQ(m_dlg->Queue().Length(), 2u);
  EXPECT_EQ(m_w->GetDlgItemText(IDC_REMAINING), "2");
  EXPECT_EQ(ReadBytes(first).size(), 46u + 2 * 4096);
  EXPECT_EQ(ReadBytes(m_dir.PathOf("music002.wav")).size(), 46u + 4096);
  EXPECT_EQ(m_dlg->TrackNo(), 2);

  // Once the worker has taken both, the window shows the queue empty.
  m_processor.Open();
  for (int i = 0; i < 2500 && m_dlg->Queue().Length() != 0; ++i) std::this_thread::sleep_for(2ms);
  m_w->PumpMessages();
  EXPECT_EQ(m_w->GetDlgItemText(IDC_REMAINING), "0");
}

TEST_F(CaptureIntegrationTest, NamedDeviceIsOpenedAndAMissingOneFallsBackToThePreferred) {
  Start("WaveInDevName=USB Audio\n");
  EXPECT_EQ(m_wavein.OpenedDevice(), 1u);
  EXPECT_TRUE(m_host.Boxes().empty());
  EXPECT_EQ(m_w->GetDlgItemText(IDC_INPUT_NOTE), "USB Audio");
  Finish();
  m_dlg.reset();

  Start("WaveInDevName=Gone\n");
  EXPECT_EQ(m_wavein.OpenedDevice(), platform::WAVE_MAPPER);
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{"入力デバイス:Gone がないので、単に「優先するデバイス」にしときますね"});
  m_w->Click(IDC_REC);
  Tone();
  m_w->Click(IDC_STOP);
  // Queued (the processor, open since the first run, may have taken it already).
  EXPECT_EQ(ReadBytes(m_dir.PathOf("music001.wav")).size(), 46u + 4096);
  Finish();
  EXPECT_EQ(ReadBytes(m_ini).rfind("WaveInDevName=\n", 0), 0u);
}

// --input-file and --demo: the input of the run, whatever is stored, and the
// stored device is still there for the next run.
TEST_F(CaptureIntegrationTest, AnInputGivenForTheRunWinsOverTheStoredDeviceAndKeepsIt) {
  m_bInputGiven = true;
  Start("WaveInDevName=USB Audio\n");
  EXPECT_EQ(m_wavein.OpenedDevice(), platform::WAVE_MAPPER);
  EXPECT_TRUE(m_host.Boxes().empty());
  Finish();
  EXPECT_NE(ReadBytes(m_ini).find("WaveInDevName=USB Audio\n"), std::string::npos);

  m_dlg.reset();
  Start("WaveInDevName=Gone\n");  // not even a missing name is reported
  EXPECT_TRUE(m_host.Boxes().empty());
  Finish();
  EXPECT_NE(ReadBytes(m_ini).find("WaveInDevName=Gone\n"), std::string::npos);
}

// The system lists the demo signal only when it offers no capture device.
TEST_F(CaptureIntegrationTest, TheDemoStandsInOnlyWhenNoDeviceIsNamed) {
  m_wavein.SetDevices({"デモ信号 (Mivo)"});
  Start();
  EXPECT_EQ(m_wavein.OpenedDevice(), 0u);
  EXPECT_EQ(m_w->GetDlgItemText(IDC_INPUT_NOTE), "デモ信号 (Mivo)");
  Finish();

  m_dlg.reset();
  m_wavein.ClearCalls();
  m_wavein.QueueOpenResult(platform::MMSYSERR_NODRIVER);  // nothing behind the preferred device
  m_host.QueueAnswer(ui::IDOK);
  m_host.QueueAnswer(ui::IDIGNORE);
  Start("WaveInDevName=USB Audio\n");
  EXPECT_EQ(BoxTexts(), (std::vector<std::string>{"入力デバイス:USB Audio がないので、単に「優先するデバイス」にしときますね",
                                                 "デバイスドライバが存在しません。"}));
  for (const auto& c : m_wavein.Calls()) {
    if (c.name == "open") {
      EXPECT_EQ(c.deviceId, platform::WAVE_MAPPER);
    }
  }
  EXPECT_FALSE(m_dlg->Capture().IsOpen());
  EXPECT_EQ(m_w->GetDlgItemText(IDC_INPUT_NOTE), "入力なし");
}

TEST_F(CaptureIntegrationTest, AbortClosesTheWindowWithoutAWorker) {
  m_wavein.QueueOpenResult(platform::MMSYSERR_NODRIVER);
  m_host.QueueAnswer(ui::IDABORT);
  Start();
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{"デバイスドライバが存在しません。"});
  EXPECT_EQ(m_dlg->Worker(), nullptr);
  m_w->PumpMessages();
  EXPECT_TRUE(m_w->Ended());
  Finish();
  EXPECT_TRUE(fs::exists(m_ini));  // the settings are still saved
}

TEST_F(CaptureIntegrationTest, IgnoreRunsWithoutCaptureAndRefusesToRecord) {
  m_wavein.QueueOpenResult(platform::WAVERR_BADFORMAT);
  m_host.QueueAnswer(ui::IDIGNORE);
  Start();
  ASSERT_NE(m_dlg->Worker(), nullptr);
  EXPECT_FALSE(m_dlg->Capture().IsOpen());
  EXPECT_EQ(m_w->GetDlgItemText(IDC_STATUS), "停止 (入力なし)");
  // No buffer can ever arrive: REC says so instead of waiting for ever.
  m_host.ClearBoxes();
  m_w->Click(IDC_REC);
  EXPECT_FALSE(m_dlg->IsRecording());
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{"入力デバイスがないので録音できません"});
  EXPECT_EQ(m_dlg->HandleRemoteCommand("rec").status, 1);
  EXPECT_FALSE(fs::exists(m_dir.PathOf("music001.wav")));
  EXPECT_EQ(m_w->GetDlgItemText(IDC_STATUS), "停止 (入力なし)");
}

TEST_F(CaptureIntegrationTest, UnusableCaptureSettingsAreRefusedForThisRunAndKeptInTheFile) {
  Start("m_nWaveInBufSize=512\nRecSamplesPerSec=0\nRecChannels=1\nRecBitsPerSample=8\n");
  ASSERT_EQ(m_host.Boxes().size(), 1u);
  const auto box = m_host.Boxes()[0];
  EXPECT_EQ(box.caption, "Mivo");
  EXPECT_EQ(box.type & ui::MB_ICONMASK, ui::MB_ICONEXCLAMATION);
  EXPECT_EQ(box.text.rfind("設定ファイルに使えない録音設定があります。", 0), 0u);
  for (const char* line : {"m_nWaveInBufSize=512 → 1024", "RecSamplesPerSec=0 → 44100", "RecChannels=1 → 2",
                           "RecBitsPerSample=8 → 16"}) {
    EXPECT_NE(box.text.find(line), std::string::npos) << line;
  }
  const platform::WAVEFORMATEX f = m_wavein.OpenedFormat();
  EXPECT_EQ(f.nSamplesPerSec, 44100u);
  EXPECT_EQ(f.nChannels, 2);
  EXPECT_EQ(f.wBitsPerSample, 16);
  EXPECT_EQ(m_wavein.Queued().front()->dwBufferLength, 4096u);
  EXPECT_EQ(m_w->GetDlgItemText(IDC_RATE), "44100 Hz");
  EXPECT_EQ(m_w->GetDlgItemText(IDC_FORMAT), "16bit stereo");

  // Recording works with the defaults.
  m_w->Click(IDC_REC);
  Tone();
  m_w->Click(IDC_STOP);
  EXPECT_EQ(ReadBytes(m_dir.PathOf("music001.wav")).size(), 46u + 4096);
  Finish();
  const std::string saved = ReadBytes(m_ini);
  EXPECT_NE(saved.find("m_nWaveInBufSize=512\nRecSamplesPerSec=0\nRecBitsPerSample=8\nRecChannels=1\n"),
            std::string::npos);
}

TEST_F(CaptureIntegrationTest, GapsNoTrackCanHoldAreToldOnceAndDropped) {
  Start("PostGapLen=2000000000\n");
  ASSERT_EQ(m_host.Boxes().size(), 1u);
  EXPECT_EQ(m_host.Boxes()[0].text.rfind("曲の前後に付ける無音が長すぎて", 0), 0u) << m_host.Boxes()[0].text;
  // Tracks then record and close without a write error.
  m_w->Click(IDC_REC);
  Tone();
  m_w->Click(IDC_STOP);
  EXPECT_EQ(m_host.Boxes().size(), 1u);
  EXPECT_EQ(ReadBytes(m_dir.PathOf("music001.wav")).size(), 46u + 4096);
  Finish();
  EXPECT_NE(ReadBytes(m_ini).find("PostGapLen=0\n"), std::string::npos);
}

TEST_F(CaptureIntegrationTest, LostInputWhileRecordingKeepsTheTrackAndTellsTheUser) {
  Start();
  m_w->Click(IDC_REC);
  Tone();
  Tone();
  m_wavein.SetLost(true);
  m_w->PumpMessages();
  EXPECT_FALSE(m_dlg->IsRecording());
  EXPECT_EQ(m_dlg->Queue().Length(), 1u);
  ASSERT_EQ(m_host.Boxes().size(), 1u);
  EXPECT_EQ(m_host.Boxes()[0].text.rfind("入力デバイスが使えなくなったので、録音を停止しました。", 0), 0u);
  EXPECT_EQ(m_w->GetDlgItemText(IDC_INPUT_NOTE), "入力が途切れています");
  EXPECT_TRUE(m_w->IsDlgItemEnabled(IDC_WMA_SETTING));  // STOP's enable rule
  // No longer "録音中": no buffer comes, and nothing records.
  EXPECT_EQ(m_w->GetDlgItemText(IDC_STATUS), "停止 (入力なし)");

  // Back again: the note goes, and the buffers tell the stopped state again.
  m_wavein.SetLost(false);
  m_w->PumpMessages();
  EXPECT_EQ(m_w->GetDlgItemText(IDC_INPUT_NOTE), "Line In");
  Tone();
  EXPECT_EQ(m_w->GetDlgItemText(IDC_STATUS), "停止 (有音)");
  // Losing it while stopped shows the note and the status, no box; REC then
  // waits for the input to come back and says so.
  m_wavein.SetLost(true);
  m_w->PumpMessages();
  EXPECT_EQ(m_host.Boxes().size(), 1u);
  EXPECT_EQ(m_w->GetDlgItemText(IDC_INPUT_NOTE), "入力が途切れています");
  EXPECT_EQ(m_w->GetDlgItemText(IDC_STATUS), "停止 (入力なし)");
  m_w->Click(IDC_REC);
  EXPECT_EQ(m_w->GetDlgItemText(IDC_STATUS), "録音待ち (入力なし)");
  m_wavein.SetLost(false);
  m_w->PumpMessages();
  EXPECT_EQ(m_w->GetDlgItemText(IDC_STATUS), "録音待ち");
}

TEST_F(CaptureIntegrationTest, DroppedBuffersAreShownInTheInputGroup) {
  Start();
  EXPECT_EQ(m_w->GetDlgItemText(IDC_INPUT_NOTE), "Line In");
  EXPECT_EQ(m_w->GetDlgItemText(IDC_OVERRUNS), "");

  // The window falls behind: 62 buffers done, none queued for the 63rd.
  for (int i = 0; i < 62; ++i) ASSERT_NE(m_wavein.DeliverConstant(1, 1), nullptr);
  EXPECT_EQ(m_wavein.DeliverConstant(1, 1), nullptr);
  m_w->PumpMessages();
  EXPECT_EQ(m_w->GetDlgItemText(IDC_OVERRUNS), "取りこぼし 1 回");
  EXPECT_EQ(m_wavein.QueuedCount(), 62u);  // the ring is full again
  EXPECT_TRUE(m_host.Boxes().empty());
}

TEST_F(CaptureIntegrationTest, SettingsButtonsOpenTheCaptureDialogs) {
  Start();
  m_host.QueueScript(IDD_INPUT_SETTING, [](ui::HeadlessWindow& d) {
    EXPECT_EQ(d.GetCount(IDC_IN_DEVICE), 3);
    d.Select(IDC_IN_HEADER, 0);  // "古い"
    d.Click(ui::IDOK);
  });
  m_w->Click(IDC_INPUT_SETTING);
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{"入力の設定は Mivo 再起動後に有効になります。"});
  // The header form applies to the next track at once.
  m_w->Click(IDC_REC);
  Tone();
  m_w->Click(IDC_STOP);
  EXPECT_EQ(ReadBytes(m_dir.PathOf("music001.wav")).size(), 44u + 4096);

  std::vector<std::int16_t> noise = testing::ConstantFrames(1024, 0, 0);
  noise[0] = 95;  // level 95
  ASSERT_NE(m_wavein.Deliver(noise), nullptr);
  m_w->PumpMessages();
  m_host.QueueScript(IDD_SILENCE_SPLIT, [](ui::HeadlessWindow& d) {
    d.Click(IDC_SS_AUTO);
    EXPECT_EQ(d.GetDlgItemText(IDC_SS_THRESHOLD), "105");
    d.Click(ui::IDOK);
  });
  m_w->Click(IDC_SILENCE_SETTING);
  EXPECT_EQ(m_dlg->Settings().RecSilentThreshold, 105);
  EXPECT_EQ(m_host.ShownDialogs(), (std::vector<int>{IDD_INPUT_SETTING, IDD_SILENCE_SPLIT}));
  Finish();
  EXPECT_NE(ReadBytes(m_ini).find("RecSilentThreshold=105\n"), std::string::npos);
}

TEST_F(CaptureIntegrationTest, ClosingTheWindowWhileRecordingClosesTheDeviceAndKeepsTheTrack) {
  Start();
  m_w->Click(IDC_REC);
  Tone();
  m_wavein.ClearCalls();
  Finish();
  std::vector<std::string> names;
  for (const auto& c : m_wavein.Calls()) {
    if (c.name != "unprepare") names.push_back(c.name);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"stop", "reset", "close"}));
  EXPECT_FALSE(m_wavein.IsOpen());
  const std::string bytes = ReadBytes(m_dir.PathOf("music001.wav"));
  ASSERT_EQ(bytes.size(), 46u + 4096);
  EXPECT_EQ(bytes.substr(42, 4), std::string("\x00\x10\x00\x00", 4));  // data size 4096
}

}  // namespace
}  // namespace mivo
