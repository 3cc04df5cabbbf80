#include "timer/recording_timer.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "convert/setting_fields.h"
#include "platform/ui/dialog.h"
#include "settings/recorder_ids.h"
#include "timer/local_time.h"

namespace mivo {
namespace {

constexpr const char* kNoStartDate = "開始日付が設定されていません";
constexpr const char* kNoStartTime = "開始時刻が設定されていません";
constexpr const char* kZeroDuration = "録音時間が0秒です・・・。";
constexpr const char* kBothPassed = "開始時刻はおろか、終了時刻さえも過ぎてしまっています。";
constexpr const char* kWoops = "woops";
constexpr const char* kSetCaption = "セット！";
constexpr const char* kCancelCaption = "やめ";
constexpr const char* kNoCountdown = "---";
constexpr const char* kUntilStart = "開始まで ";
constexpr const char* kUntilStop = "停止まで ";

std::int32_t To32(std::int64_t v) {
  return static_cast<std::int32_t>(
      std::clamp<std::int64_t>(v, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}

// Marks a handler as running for as long as it runs.
class BusyScope {
 public:
  explicit BusyScope(bool& busy) : m_busy(busy) { m_busy = true; }
  ~BusyScope() { m_busy = false; }
  BusyScope(const BusyScope&) = delete;
  BusyScope& operator=(const BusyScope&) = delete;

 private:
  bool& m_busy;
};

}  // namespace

bool RecordingTimer::Restore() {
  ui::IWindow& w = m_recorder.Window();
  SetState(kOff);
  if (!m_settings.m_bTimerEnableAtStart) {
    const ui::PickerTime next = LocalFields(NextWholeHour(m_clock.Now()));
    w.SetPickerTime(IDC_TIMER_DATE, next);
    w.SetPickerTime(IDC_TIMER_TIME, next);
    w.SetDlgItemText(IDC_TIMER_HOURS, "0");
    w.SetDlgItemText(IDC_TIMER_MINUTES, "0");
    return false;
  }
  const ui::PickerTime start = LocalFields(m_settings.TM_START);
  w.SetPickerTime(IDC_TIMER_DATE, start);
  w.SetPickerTime(IDC_TIMER_TIME, start);
  // Whole days stay in the hours: 30 hours read back as 30, not 6.
  const std::int64_t d = std::int64_t{m_settings.TM_END} - m_settings.TM_START;
  w.SetDlgItemText(IDC_TIMER_HOURS, std::to_string(d / 3600));
  w.SetDlgItemText(IDC_TIMER_MINUTES, std::to_string(d / 60 % 60));
  return true;
}

void RecordingTimer::Box(const std::string& text, std::string_view caption, unsigned type) {
  if (m_bDefer) {
    m_deferred.Add(text, std::string(caption), type);
  } else {
    m_recorder.Window().MessageBox(text, caption, type);
  }
}

bool RecordingTimer::ReadDuration(int id, int high, std::int32_t& value) {
  ui::IWindow& w = m_recorder.Window();
  const std::string text = w.GetDlgItemText(id);
  if (text.empty()) {
    value = 0;
    return true;
  }
  const std::optional<std::int32_t> parsed = ParseFieldInt(text);
  if (!parsed || *parsed < 0 || *parsed > high) {
    Box(parsed ? IntegerRangeMessage(0, high) : std::string(kNotAnInteger), ui::kAppTitle,
        ui::MB_OK | ui::MB_ICONEXCLAMATION);
    w.SetFocus(id);
    return false;
  }
  value = *parsed;
  return true;
}

void RecordingTimer::WarnOfDiskSpace(std::int64_t seconds) {
  const TimedRunNeeds needs = NeedsOfTimedRun(m_settings, seconds, m_recorder.CaptureBytesPerSecond());
  const DiskCheck check =
      CheckDiskSpace(needs, m_settings.FilesFolder(m_settings.RecTempFolder), m_settings.FilesFolder(m_settings.RecFolder),
                     m_recorder.DiskSpace());
  if (!check.Fits()) Box(DiskWarningText(check), ui::kAppTitle, ui::MB_OK | ui::MB_ICONEXCLAMATION);
}

void RecordingTimer::OnSet(SetBy by) {
  if (m_bBusy) return;
  BusyScope busy(m_bBusy);
  m_bDefer = by == SetBy::Restore;
  ui::IWindow& w = m_recorder.Window();
  if (m_nTimerId != 0) {
    Cancel();
    return;
  }

  std::int64_t start = 0;
  if (w.IsDlgButtonChecked(IDC_TIMER_NOW)) {
    start = m_clock.Now();
  } else {
    const ui::PickerTime date = w.GetPickerTime(IDC_TIMER_DATE);
    if (!date.valid) {
      Box(kNoStartDate, ui::kAppTitle, ui::MB_OK);
      return;
    }
    const ui::PickerTime time = w.GetPickerTime(IDC_TIMER_TIME);
    const std::optional<std::int64_t> moment = time.valid ? LocalMoment(date, time) : std::nullopt;
    if (!moment) {
      Box(kNoStartTime, ui::kAppTitle, ui::MB_OK);
      return;
    }
    start = *moment;
  }
  m_tmStart = start - 1;

  std::int32_t hours = 0;
  std::int32_t minutes = 0;
  if (!ReadDuration(IDC_TIMER_HOURS, kMaxHours, hours) || !ReadDuration(IDC_TIMER_MINUTES, kMaxMinutes, minutes)) {
    return;
  }
  const std::int64_t duration = (std::int64_t{hours} * 60 + minutes) * 60;
  if (duration == 0) {
    Box(kZeroDuration, ui::kAppTitle, ui::MB_OK);
    return;
  }
  m_tmEnd = m_tmStart + duration + 2;

  // Before the moment is taken, so that an answer given late cannot make
  // the start look later than it is.
  WarnOfDiskSpace(duration);
  const std::int64_t now = m_clock.Now();
  if (now >= m_tmEnd) {
    Box(kBothPassed, kWoops, ui::MB_OK);
    return;
  }

  w.SetTimer(kTimerId, kTickMs);
  m_nTimerId = kTimerId;
  m_settings.TM_START = To32(m_tmStart);
  m_settings.TM_END = To32(m_tmEnd);
  SetState(kArmed);
  w.SetDlgItemText(IDC_TIMER_SET, kCancelCaption);
  if (now >= m_tmStart) {
    if (!m_recorder.IsRecording()) m_recorder.Rec();
    SetState(kRecording);
  }
}

void RecordingTimer::Cancel() {
  ui::IWindow& w = m_recorder.Window();
  w.KillTimer(kTimerId);
  w.SetDlgItemText(IDC_TIMER_SET, kSetCaption);
  m_nTimerId = 0;
  SetState(kOff);
  ShowCountdown(kNoCountdown);
}

void RecordingTimer::OnTick(int timerId) {
  // A box shown by REC keeps ticks coming: they wait for the handler.
  if (timerId != kTimerId || m_nTimerId == 0 || m_bBusy) return;
  BusyScope busy(m_bBusy);
  m_bDefer = false;
  const std::int64_t now = m_clock.Now();
  switch (State()) {
    case kArmed:
      ShowCountdown(FormatCountdown(kUntilStart, m_tmStart - now));
      if (now > m_tmStart) {
        m_recorder.Rec();  // nothing when a recording runs already
        SetState(kRecording);
      }
      break;
    case kRecording:
      ShowCountdown(FormatCountdown(kUntilStop, m_tmEnd - now));
      if (now > m_tmEnd) {
        m_recorder.Stop();  // nothing when no recording runs
        ui::IWindow& w = m_recorder.Window();
        w.KillTimer(kTimerId);
        m_nTimerId = 0;
        SetState(kFinished);
        w.SetDlgItemText(IDC_TIMER_SET, kSetCaption);
        ShowCountdown(kNoCountdown);
        m_recorder.WakeWorker();
      }
      break;
    default:
      break;
  }
}

void RecordingTimer::OnStartNowClicked() {
  ui::IWindow& w = m_recorder.Window();
  const bool now = w.IsDlgButtonChecked(IDC_TIMER_NOW);
  w.EnableDlgItem(IDC_TIMER_DATE, !now);
  w.EnableDlgItem(IDC_TIMER_TIME, !now);
}

void RecordingTimer::SetState(int state) {
  if (m_nTimerState.exchange(state) != state) ShowNote();
}

bool RecordingTimer::KeepsAwake() const {
  const int state = State();
  return (m_nTimerId != 0 && (state == kArmed || state == kRecording)) || state == kFinished;
}

void RecordingTimer::ShowCountdown(const std::string& text) {
  if (text == m_strCountdown) return;
  m_strCountdown = text;
  m_recorder.Window().SetDlgItemText(IDC_TIMER_STATUS, text);
}

void RecordingTimer::ShowNote() {
  std::string note;
  if (State() == kArmed) note = "タイマ: " + FormatLocal(RequestedStart(), false) + " に開始";
  if (State() == kRecording) note = "タイマ録音中: " + FormatLocal(RequestedEnd(), false) + " に停止";
  m_recorder.Window().SetDlgItemText(IDC_TIMER_NOTE, note);
}

std::string RecordingTimer::Report() const {
  static constexpr const char* kStates[] = {"off", "armed", "recording", "finished"};
  const int state = State();
  if (state <= kOff || state > kFinished) return "off\n-\n-";
  return std::string(kStates[state]) + "\n" + FormatLocal(RequestedStart(), true) + "\n" +
         FormatLocal(RequestedEnd(), true);
}

}  // namespace mivo
