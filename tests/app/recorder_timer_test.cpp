// Timed recording and the power action on the recorder window, with a fake
// clock, a manual wave input and fake power services. The expected local
// times are those of Europe/Berlin (the test's TZ), whose daylight saving
// begins on 2026-03-29 and ends on 2026-10-25.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "app/recorder_dlg.h"
#include "app/window_link.h"
#include "convert/track_processor.h"
#include "platform/ui/headless/headless_host.h"
#include "settings/recorder_ids.h"
#include "support/fake_power.h"
#include "support/manual_wavein.h"
#include "support/temp_folder.h"

namespace mivo {
namespace {

using namespace std::chrono_literals;
using testing::ReadBytes;
using testing::WriteBytes;

constexpr std::int64_t T = 1781510400;  // 2026-06-15 10:00:00 CEST

class FakeClock final : public IClock {
 public:
  std::int64_t now = T;
  std::int64_t Now() const override { return now; }
};

class NoProcessing final : public ITrackProcessor {
 public:
  TrackResult ProcessTrack(const QueueEntry&, IWorkerWindow&) override { return {}; }
};

// The sleeps of the window, and whether the capture device was open then.
std::vector<std::string> g_sleeps;
testing::ManualWaveIn* g_wavein = nullptr;
void RecordSleep(unsigned ms) {
  if (ms >= 1000) g_sleeps.push_back(std::to_string(ms) + (g_wavein->IsOpen() ? " open" : " closed"));
}
bool PlentyOfSpace(const std::string&, platform::DiskSpace* space) {
  space->available = std::uint64_t{1} << 50;
  return true;
}
bool LittleSpace(const std::string&, platform::DiskSpace* space) {
  space->available = 100 * 1000 * 1000;
  return true;
}

class RecorderTimerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_dir.Ok());
    g_wavein = &m_wavein;
    g_sleeps.clear();
  }
  void TearDown() override {
    if (m_w) m_host.Destroy(*m_w);
    m_dlg.reset();
    g_wavein = nullptr;
  }
  // Writes the settings file (the test's folders, no splitting, plus `ini`) and opens the window.
  void Start(const std::string& ini = "") {
    WriteBytes(m_dir.PathOf("mivo.ini"), "RecTempFolder=" + m_dir.Dir().string() + "\nRecFolder=" +
                                             m_dir.Dir().string() + "\nm_bSilentDivide=0\n" + ini);
    Open();
  }
  void Open() {
    RecorderEnvironment env;
    env.host = &m_host;
    env.settingsPath = m_dir.PathOf("mivo.ini");
    env.processor = m_builtInProcessor ? nullptr : &m_processor;
    env.unattendedBoxBound = 10ms;
    env.link = &m_link;
    env.sleep = RecordSleep;
    env.waveIn = &m_wavein;
    env.power = &m_power;
    env.clock = &m_clock;
    env.diskSpace = m_space;
    m_dlg = std::make_unique<CRecorderDlg>(env, m_builtInProcessor);
    m_w = &m_host.Open(*m_dlg);
  }
  void Finish() {
    m_host.Destroy(*m_w);
    m_w = nullptr;
    m_dlg.reset();
    m_host.ClearBoxes();
  }
  void Arm(const ui::PickerTime& start, const std::string& hours, const std::string& minutes) {
    m_w->SetPickerTime(IDC_TIMER_DATE, start);
    m_w->SetPickerTime(IDC_TIMER_TIME, start);
    m_w->Type(IDC_TIMER_HOURS, hours);
    m_w->Type(IDC_TIMER_MINUTES, minutes);
    m_w->Click(IDC_TIMER_SET);
  }
  void ArmNow(const std::string& minutes) {
    if (!m_w->IsDlgButtonChecked(IDC_TIMER_NOW)) m_w->Click(IDC_TIMER_NOW);
    Arm({}, "0", minutes);
  }
  void TickAt(std::int64_t now) {
    m_clock.now = now;
    m_w->AdvanceTime(RecordingTimer::kTickMs);
  }
  void Tone() {
    std::vector<std::int16_t> s = testing::ConstantFrames(1024, 1000, -1000);
    ASSERT_NE(m_wavein.Deliver(s), nullptr);
    m_w->PumpMessages();
  }
  // Delivers what the window and the worker post until `done` (at most 5 s).
  bool PumpUntil(const std::function<bool()>& done) {
    for (int i = 0; i < 2500 && !done(); ++i) {
      if (m_w->PumpMessages() == 0) std::this_thread::sleep_for(2ms);
    }
    return done();
  }
  bool WaitForEnd() {
    return PumpUntil([this] { return m_w->Ended(); });
  }
  int State() const { return m_dlg->Timer().State(); }
  std::string Countdown() const { return m_w->GetDlgItemText(IDC_TIMER_STATUS); }
  std::string Ini() const { return ReadBytes(m_dir.PathOf("mivo.ini")); }
  std::string LastBox() const {
    const auto boxes = m_host.Boxes();
    return boxes.empty() ? std::string() : boxes.back().text;
  }

  testing::TempFolder m_dir;
  ui::HeadlessHost m_host;
  WindowLink m_link{m_host};
  NoProcessing m_processor;
  bool m_builtInProcessor = false;  // with MP3 ticked and no MP3 library loaded
  testing::ManualWaveIn m_wavein;
  testing::FakePower m_power;
  FakeClock m_clock;
  DiskSpaceQuery m_space = PlentyOfSpace;
  std::unique_ptr<CRecorderDlg> m_dlg;
  ui::HeadlessWindow* m_w = nullptr;
};

TEST_F(RecorderTimerTest, StartNowForOneMinuteStopsAtPlus62AndClosesWithOrWithoutATrack) {
  for (const bool sound : {false, true}) {
    SCOPED_TRACE(sound ? "a track is queued" : "nothing is queued");
    m_clock.now = T;
    Start();
    ArmNow("1");
    EXPECT_TRUE(m_dlg->IsRecording());
    EXPECT_EQ(State(), 2);
    EXPECT_EQ(m_w->GetDlgItemText(IDC_TIMER_SET), "やめ");
    if (sound) Tone();
    TickAt(T + 61);
    EXPECT_TRUE(m_dlg->IsRecording());
    EXPECT_EQ(Countdown(), "停止まで 00:00:00");
    TickAt(T + 62);
    EXPECT_FALSE(m_dlg->IsRecording());
    EXPECT_EQ(State(), 3);
    EXPECT_EQ(Countdown(), "---");
    EXPECT_EQ(m_w->GetDlgItemText(IDC_TIMER_SET), "セット！");
    EXPECT_FALSE(m_w->HasTimer(RecordingTimer::kTimerId));
    EXPECT_EQ(m_power.locksHeld, 1);  // until the end action
    EXPECT_TRUE(WaitForEnd());
    EXPECT_TRUE(m_host.ModalsCancelled());  // no forgotten box holds the exit up
    EXPECT_EQ(std::filesystem::exists(m_dir.PathOf("music001.wav")), sound);
    Finish();
    EXPECT_EQ(m_power.locksHeld, 0);
    EXPECT_EQ(Ini().find("TIMER_ENABLE"), std::string::npos);
  }
}

// Nobody answers here. Outside a timed run the worker's failure box waits,
// seen and answered through the command channel; during one it closes itself
// and the end action comes.
TEST_F(RecorderTimerTest, AWorkersFailureBoxNeverHoldsUpATimedRunsEndAction) {
  m_host.LeaveBoxesOpen();
  m_builtInProcessor = true;  // every MP3 step fails
  Start("RecWav=0\nRecMp3=1\nm_nSleepBeforProcess=0\n");
  m_w->Click(IDC_REC);
  Tone();
  m_w->Click(IDC_STOP);
  ASSERT_TRUE(PumpUntil([this] { return !m_host.OpenModals().empty(); }));
  EXPECT_NE(m_dlg->HandleRemoteCommand("status").text.find(kMp3Failed), std::string::npos);
  EXPECT_EQ(m_dlg->HandleRemoteCommand("answer ok").status, 0);
  EXPECT_TRUE(PumpUntil([this] { return m_dlg->Queue().Length() == 0; }));

  ArmNow("1");
  Tone();
  TickAt(T + 62);
  const bool ended = WaitForEnd();
  m_host.CancelModals();  // a box still waiting would hold the test up
  EXPECT_TRUE(ended);
  EXPECT_EQ(m_host.Boxes().size(), 2u);
  EXPECT_EQ(m_host.ModalAnswers(), std::vector<int>{ui::IDOK});
  // Each failed MP3 leaves its WAV, the only copy.
  EXPECT_TRUE(std::filesystem::exists(m_dir.PathOf("music001.wav")));
  EXPECT_TRUE(std::filesystem::exists(m_dir.PathOf("music002.wav")));
}

TEST_F(RecorderTimerTest, CountdownFallsToTheRequestedStartAndTellsWhenItStartsAndStops) {
  Start();
  Arm({true, 2026, 6, 15, 10, 0, 10}, "0", "1");
  EXPECT_EQ(State(), 1);
  EXPECT_FALSE(m_dlg->IsRecording());
  EXPECT_EQ(m_w->GetDlgItemText(IDC_TIMER_NOTE), "タイマ: 2026/06/15 10:00:10 に開始");
  EXPECT_EQ(m_dlg->HandleRemoteCommand("timer").text, "armed\n2026/06/15 10:00:10 +0200\n2026/06/15 10:01:10 +0200");
  TickAt(T);
  EXPECT_EQ(Countdown(), "開始まで 00:00:09");
  TickAt(T + 9);
  EXPECT_EQ(Countdown(), "開始まで 00:00:00");
  EXPECT_FALSE(m_dlg->IsRecording());
  TickAt(T + 10);
  EXPECT_TRUE(m_dlg->IsRecording());
  EXPECT_EQ(State(), 2);
  const std::string status = m_dlg->HandleRemoteCommand("status").text;
  EXPECT_EQ(status.substr(status.rfind('\n') + 1), "タイマ録音中: 2026/06/15 10:01:10 に停止");
}

TEST_F(RecorderTimerTest, SetRefusesWhatCannotRunAndStartsWhatHasBegun) {
  Start();
  Arm({true, 2026, 6, 15, 7, 0, 0}, "1", "0");  // start and end both passed
  EXPECT_EQ(m_host.Boxes().back().caption, "woops");
  EXPECT_EQ(LastBox(), "開始時刻はおろか、終了時刻さえも過ぎてしまっています。");
  Arm({true, 2026, 6, 15, 12, 0, 0}, "", "0");
  EXPECT_EQ(LastBox(), "録音時間が0秒です・・・。");
  Arm({true, 2026, 6, 15, 12, 0, 0}, "241", "0");
  EXPECT_EQ(LastBox(), "0 から 240 までの整数を入力してください。");
  EXPECT_EQ(m_w->Focused(), IDC_TIMER_HOURS);
  m_w->SetPickerTime(IDC_TIMER_DATE, {});
  m_w->Click(IDC_TIMER_SET);
  EXPECT_EQ(LastBox(), "開始日付が設定されていません");
  EXPECT_EQ(m_host.Boxes().back().caption, "Mivo");
  EXPECT_EQ(State(), 0);
  EXPECT_FALSE(m_w->HasTimer(RecordingTimer::kTimerId));

  Arm({true, 2026, 6, 16, 16, 10, 0}, "0", "1");  // 30 h 10 min ahead: hours within the day
  TickAt(T);
  EXPECT_EQ(Countdown(), "開始まで 06:09:59");
  m_w->Click(IDC_TIMER_SET);  // cancel
  EXPECT_EQ(Countdown(), "---");

  Arm({true, 2026, 6, 15, 9, 50, 0}, "1", "0");  // started ten minutes ago, ends in 50
  EXPECT_TRUE(m_dlg->IsRecording());
  EXPECT_EQ(State(), 2);
}

TEST_F(RecorderTimerTest, TooLittleDiskSpaceIsToldBeforeArmingAndArmsAnyway) {
  m_space = LittleSpace;  // 100 MB; two hours of CD audio take 1270 MB
  Start();
  Arm({true, 2026, 6, 15, 11, 0, 0}, "2", "0");
  ASSERT_EQ(m_host.Boxes().size(), 1u);
  EXPECT_EQ(LastBox().rfind("タイマ録音の途中でディスクが足りなくなるおそれがあります。", 0), 0u);
  EXPECT_NE(LastBox().find("必要 約 1271 MB / 空き 100 MB"), std::string::npos) << LastBox();
  EXPECT_EQ(m_host.Boxes().back().caption, "Mivo");
  EXPECT_EQ(m_host.Boxes().back().type, ui::MB_OK | ui::MB_ICONEXCLAMATION);
  EXPECT_EQ(State(), 1);
}

TEST_F(RecorderTimerTest, KeepsTheMachineAwakeWhileNeededAndACancelLetsTheRecordingRunWithoutEndAction) {
  Start();
  m_w->Click(IDC_REC);
  EXPECT_EQ(m_power.locksHeld, 1);
  m_w->Click(IDC_STOP);
  EXPECT_EQ(m_power.locksHeld, 0);
  Arm({true, 2026, 6, 15, 11, 0, 0}, "1", "0");
  EXPECT_EQ(m_power.locksHeld, 1);
  m_w->Click(IDC_TIMER_SET);  // cancel
  EXPECT_EQ(m_power.locksHeld, 0);

  ArmNow("1");
  Tone();
  m_w->Click(IDC_TIMER_SET);  // cancel during the timed recording
  EXPECT_EQ(State(), 0);
  EXPECT_FALSE(m_w->HasTimer(RecordingTimer::kTimerId));
  EXPECT_TRUE(m_dlg->IsRecording());
  m_w->Click(IDC_STOP);
  EXPECT_TRUE(PumpUntil([this] { return m_dlg->Queue().Length() == 0; }));
  EXPECT_FALSE(m_dlg->Worker()->WaitEnded(300ms));  // no end action
  m_w->PumpMessages();
  EXPECT_FALSE(m_w->Ended());

  m_power.inhibit = false;  // no logind: recording goes on all the same
  m_w->Click(IDC_REC);
  EXPECT_TRUE(m_dlg->IsRecording());
  EXPECT_TRUE(m_host.Boxes().empty());
}

TEST_F(RecorderTimerTest, ExitWhileArmedIsRestoredAndArmedAgainWithoutAClick) {
  Start();
  m_w->Click(IDC_POWERDOWN);
  EXPECT_EQ(LastBox(), "とりあえず、ウチのWin98では動いたけれども、\nまだ不安定な機能かもしれません。");
  m_w->Select(IDC_EWX_FLAG, 1);   // POWEROFF
  m_w->Select(IDC_EWX_FORCE, 1);  // FORCE
  Arm({true, 2026, 6, 15, 11, 0, 0}, "26", "5");
  Finish();
  Open();
  EXPECT_NE(Ini().find("TIMER_ENABLE=1\nTM_START=" + std::to_string(T + 3600) + "\nTM_END=" +
                       std::to_string(T + 3600 + 26 * 3600 + 300) + "\nTM_POWERDOWN=1\n"),
            std::string::npos);
  EXPECT_EQ(State(), 1);
  EXPECT_TRUE(m_w->HasTimer(RecordingTimer::kTimerId));
  const ui::PickerTime date = m_w->GetPickerTime(IDC_TIMER_DATE);
  const ui::PickerTime time = m_w->GetPickerTime(IDC_TIMER_TIME);
  EXPECT_EQ(std::tie(date.year, date.month, date.day), std::make_tuple(2026, 6, 15));
  EXPECT_EQ(std::tie(time.hour, time.minute, time.second), std::make_tuple(11, 0, 0));
  EXPECT_EQ(m_w->GetDlgItemText(IDC_TIMER_HOURS), "26");  // whole days kept
  EXPECT_EQ(m_w->GetDlgItemText(IDC_TIMER_MINUTES), "5");
  EXPECT_TRUE(m_w->IsDlgButtonChecked(IDC_POWERDOWN));
  EXPECT_TRUE(m_w->IsDlgItemEnabled(IDC_EWX_FLAG));
  EXPECT_EQ(m_w->GetCurSel(IDC_EWX_FLAG), 1);
  EXPECT_EQ(m_power.rightsAsked.back(), 12u);  // asked again, silently
  m_w->PumpMessages();
  EXPECT_TRUE(m_host.Boxes().empty());

  // Exit while the timed recording runs: nothing is kept.
  TickAt(T + 3600);
  EXPECT_EQ(State(), 2);
  Finish();
  Open();
  EXPECT_EQ(Ini().find("TIMER_ENABLE"), std::string::npos);
  EXPECT_EQ(State(), 0);
  EXPECT_FALSE(m_w->HasTimer(RecordingTimer::kTimerId));
  EXPECT_FALSE(m_w->IsDlgButtonChecked(IDC_POWERDOWN));
}

TEST_F(RecorderTimerTest, AnUnattendedStartShowsItsBoxesOnlyOnceTheTimerIsArmed) {
  m_power.grant = false;
  Start("TIMER_ENABLE=1\nTM_START=" + std::to_string(T + 60) + "\nTM_END=" + std::to_string(T + 120) +
        "\nTM_POWERDOWN=1\n");
  EXPECT_TRUE(m_host.Boxes().empty());
  EXPECT_EQ(State(), 1);
  EXPECT_FALSE(m_w->IsDlgButtonChecked(IDC_POWERDOWN));
  EXPECT_FALSE(m_w->IsDlgItemEnabled(IDC_EWX_FLAG));
  m_w->PumpMessages();
  ASSERT_EQ(m_host.Boxes().size(), 1u);
  EXPECT_EQ(LastBox(), "シャットダウン権限が無いので切れません");
  EXPECT_EQ(m_host.Boxes().back().type, ui::MB_OK | ui::MB_ICONSTOP);
  EXPECT_EQ(m_host.Boxes().back().caption, "Mivo");
  m_w->Click(IDC_POWERDOWN);  // the same refusal when the box is checked by hand
  EXPECT_EQ(m_host.Boxes().size(), 2u);
  EXPECT_EQ(m_host.Boxes().back().caption, "Mivo");
  EXPECT_FALSE(m_w->IsDlgButtonChecked(IDC_POWERDOWN));

  Finish();
  Start("TIMER_ENABLE=1\nTM_START=" + std::to_string(T - 120) + "\nTM_END=" + std::to_string(T - 60) + "\n");
  EXPECT_TRUE(m_host.Boxes().empty());
  m_w->PumpMessages();
  EXPECT_EQ(m_host.Boxes().back().caption, "woops");
  EXPECT_EQ(State(), 0);
}

TEST_F(RecorderTimerTest, DaylightSavingChangeInsideARun) {
  struct Case {
    std::int64_t start;  // the requested start, 01:30 local
    ui::PickerTime picked;
    const char* stopNote;
  };
  const Case cases[] = {{1774744200, {true, 2026, 3, 29, 1, 30, 0}, "タイマ録音中: 2026/03/29 04:30:00 に停止"},
                        {1792884600, {true, 2026, 10, 25, 1, 30, 0}, "タイマ録音中: 2026/10/25 02:30:00 に停止"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stopNote);
    m_clock.now = c.start - 600;
    Start();
    Arm(c.picked, "2", "0");
    TickAt(c.start);
    EXPECT_EQ(State(), 2);
    EXPECT_EQ(m_w->GetDlgItemText(IDC_TIMER_NOTE), c.stopNote);
    TickAt(c.start + 7201);
    EXPECT_TRUE(m_dlg->IsRecording());
    TickAt(c.start + 7202);  // two real hours and the margins
    EXPECT_EQ(State(), 3);
    Finish();
  }
  // The default start: the next whole hour, which that night is 03:00.
  m_clock.now = 1774744200 - 600;
  Start();
  const ui::PickerTime next = m_w->GetPickerTime(IDC_TIMER_TIME);
  EXPECT_EQ(std::tie(next.day, next.hour, next.minute), std::make_tuple(29, 3, 0));
}

TEST_F(RecorderTimerTest, PowerActionClosesTheDeviceWaitsAndRequestsOrEndsNormallyWhenRefused) {
  for (const bool accepted : {false, true}) {
    SCOPED_TRACE(accepted ? "accepted" : "refused");
    m_power.accept = accepted;
    m_power.requests.clear();
    m_power.onRequest = [] { g_sleeps.push_back("request"); };
    m_clock.now = T;
    Start();
    m_w->Click(IDC_POWERDOWN);
    m_w->Select(IDC_EWX_FLAG, 1);   // POWEROFF
    m_w->Select(IDC_EWX_FORCE, 1);  // FORCE
    ArmNow("1");
    Tone();
    g_sleeps.clear();
    TickAt(T + 62);
    PumpUntil([this] { return !m_power.requests.empty(); });
    EXPECT_EQ(m_power.requests, std::vector<unsigned>{12});
    ASSERT_GE(g_sleeps.size(), 2u);
    EXPECT_EQ(std::vector<std::string>(g_sleeps.begin(), g_sleeps.begin() + 2),
              (std::vector<std::string>{"3000 closed", "request"}));
    EXPECT_EQ(m_w->Ended(), !accepted);
    if (accepted) {
      // The system normally ends the program; should it not, the run ends by itself.
      m_w->AdvanceTime(kPowerRequestGraceMs);
      EXPECT_TRUE(m_w->Ended());
    }
    Finish();
  }
}

}  // namespace
}  // namespace mivo
