#include "app/recorder_dlg.h"

#include <cstdio>

#include "app/about_dlg.h"
#include "app/folder_chooser.h"
#include "app/window_link.h"
#include "convert/normalize_setting_dlg.h"
#include "convert/resample_setting_dlg.h"
#include "encode/gogo_dll.h"
#include "encode/mp3_setting_dlg.h"
#include "encode/wma_encoder.h"
#include "encode/wma_setting_dlg.h"
#include "capture/input_setting_dlg.h"
#include "capture/silence_split_dlg.h"
#include "capture/track_recovery.h"
#include "convert/track_processor.h"
#include "platform/sync/thread.h"
#include "settings/recorder_ids.h"

namespace mivo {
namespace {

constexpr const char* kNoFormat = "生WAV か 午後る か WMA のうちひとつは選択してください";
constexpr const char* kNoEncoder =
    "この機能は GOGO.DLL がインストールされてないと使えません。\r\n入手方法は・・・ 不明。\r\n";
constexpr const char* kBusyRecording = "録音中は終了できません";
constexpr const char* kBusyConverting = "変換中は終了できません";
constexpr const char* kNoWorker = "変換スレッドを開始できないので、終了します。";
constexpr const char* kSettingsNotSaved = "設定を保存できませんでした。";
constexpr const char* kInputLost =
    "入力デバイスが使えなくなったので、録音を停止しました。それまでに録音した分は保存してあります。";
constexpr const char* kNoInput = "入力デバイスがないので録音できません";
// The status while no buffer can arrive.
constexpr const char* kStoppedNoInput = "停止 (入力なし)";
constexpr const char* kWaitingNoInput = "録音待ち (入力なし)";

void RealSleep(unsigned ms) { platform::Sleep(ms); }

}  // namespace

CRecorderDlg::CRecorderDlg(const RecorderEnvironment& env, bool encoderAvailable)
    : ui::CDialog(RecorderTemplate()),
      m_env(env),
      m_bEncoderAvailable(encoderAvailable),
      m_capture(env.waveIn, env.sleep ? env.sleep : RealSleep),
      m_writer(m_settings, m_queue, m_log, *this),
      m_splitter(m_settings, m_writer, *this),
      m_timer(m_settings, env.clock ? *env.clock : m_systemClock, *this, m_deferredBoxes),
      m_power(m_settings, env.power),
      m_awake(env.power, [this](const std::string& line) { Report(line, true); }),
      m_workerBoxes(
          *env.host, [this] { return m_timer.State() != RecordingTimer::kOff; },
          [this](std::string_view line) { Note(line); }, env.unattendedBoxBound) {
  if (!m_env.sleep) m_env.sleep = RealSleep;
  if (!m_env.processor) {
    EncoderSteps steps;
    if (m_env.gogo) {
      const GogoDll* gogo = m_env.gogo;
      ui::IDialogHost* host = &m_workerBoxes;  // the encoder runs on the worker
      steps.mp3 = [gogo, host](const std::string& track, const std::string& out, const RecorderSettings& s,
                               IProgress& progress, IStepLog& log) {
        return EncodeMp3(*gogo, *host, track, out, s, progress, &log);
      };
    }
    steps.wma = [](const std::string& track, const std::string& out, int profile, bool useWma8, bool addIndex,
                   IProgress& progress, IStepLog& log) {
      return EncodeWma(track, out, profile, useWma8, addIndex, progress, {}, &log);
    };
    m_ownProcessor = std::make_unique<TrackProcessor>(std::move(steps));
    m_env.processor = m_ownProcessor.get();
  }
}

CRecorderDlg::~CRecorderDlg() {
  // Normally the worker has ended in OnDestroy; never leave it running
  // against a window that is gone.
  if (m_pWorkerThread) {
    m_pWorkerThread->RequestStop();
    m_pWorkerThread->Join();
  }
}

void CRecorderDlg::Sleep(unsigned ms) const { m_env.sleep(ms); }

void CRecorderDlg::Report(const std::string& line, bool alsoStderr) {
  m_log.Line(line);
  if (alsoStderr) std::fprintf(stderr, "mivo: %s\n", line.c_str());
}

void CRecorderDlg::ShowWarning(const std::string& text) {
  Wnd().MessageBox(text, ui::kAppTitle, ui::MB_OK | ui::MB_ICONWARNING);
}

bool CRecorderDlg::OnInitDialog() {
  ui::IWindow& w = Wnd();
  // Commands are taken from now on: a box of the start-up can be seen and
  // answered with them.
  if (m_env.link) m_env.link->Attach(w);

  m_settings.Load(m_env.settingsPath);

  // Values the engine cannot capture with are refused for this run (the
  // box comes with the device, below); the settings keep them.
  const CaptureSetup setup = BuildCaptureSetup(m_settings);
  m_wfxInput = setup.format;
  m_nBufFrames = setup.bufferFrames;
  m_strCaptureRefusal = setup.refusal;

  if (m_settings.DebugLogLevel != 0) m_log.Open(m_settings.DebugLogLevel, m_settings.DebugLogFileName);

  // Gaps no track could hold would fail every track as a write error.
  if (!TrackWriter::GapsFit(m_settings.PriGapLen, m_settings.PostGapLen, std::uint64_t{m_nBufFrames} * 4)) {
    m_settings.PriGapLen = 0;
    m_settings.PostGapLen = 0;
    w.MessageBox(std::string(kGapsTooLong) + "\r\n(PriGapLen, PostGapLen) を 0 にしました。", ui::kAppTitle,
                 ui::MB_OK | ui::MB_ICONEXCLAMATION);
  }

  w.CheckDlgButton(IDC_LEVEL, m_settings.RecMeterType == 1);
  w.CheckDlgButton(IDC_SPECTRUM, m_settings.RecMeterType != 1);

  m_bRecording = false;
  ApplyRecordingEnableRule();
  m_bSkip = false;

  FillControls();

  if (!OpenCapture()) {
    // Abort in the device error box: the program ends without a worker.
    m_bRecording = false;
    ApplyRecordingEnableRule();
    w.PostMessage(ui::WM_CLOSE, 0, 0);
    PublishSettings();
    m_bInitialised = true;
    return true;
  }

  m_power.SelectLists(w);
  const bool timerRestored = m_timer.Restore();
  m_power.Restore(w, timerRestored && m_settings.TM_POWERDOWN, m_deferredBoxes);

  // A class the system refuses leaves the process priority as it was.
  platform::SetProcessPriorityClass(m_settings.m_nPriorityClass);

  PublishSettings();
  if (!m_env.settingsPath.empty()) {
    m_journal = std::make_unique<QueueJournal>(QueueJournal::PathFor(m_env.settingsPath),
                                               [this](std::string_view line) { Note(line); });
  }
  IWorkerWindow& self = *this;
  m_pWorkerThread = std::make_unique<ConversionWorker>(self, *m_env.processor);
  std::string why;
  if (m_pWorkerThread->Start(m_settings.TransThreadPriority, &why)) {
    while (!m_pWorkerThread->Started()) Sleep(10);
  } else {
    // Nothing could be converted: say so and end the run as after Abort.
    m_pWorkerThread.reset();
    std::fprintf(stderr, "mivo: cannot start the conversion thread: %s\n", why.c_str());
    w.MessageBox(std::string(kNoWorker) + "\r\n(" + why + ")", ui::kAppTitle, ui::MB_OK | ui::MB_ICONSTOP);
    m_nExitStatus = 1;
    w.PostMessage(ui::WM_CLOSE, 0, 0);
  }
  // Tracks of an earlier run come first, and their numbers are taken,
  // before a restored timer may start recording.
  RecoverQueue();
  if (timerRestored) ArmRestoredTimer();
  m_bInitialised = true;
  return true;
}

void CRecorderDlg::ArmRestoredTimer() {
  // As if Set were pressed, without waiting for anyone: its boxes are shown
  // once the window runs.
  m_timer.OnSet(RecordingTimer::SetBy::Restore);
  PublishSettings();
  UpdateKeepAwake();
  if (!m_deferredBoxes.Empty()) Wnd().PostMessage(WM_APP_TIMER_NOTICE, 0, 0);
}

void CRecorderDlg::Note(std::string_view line) {
  m_log.Line(line);
  std::fprintf(stderr, "mivo: %.*s\n", static_cast<int>(line.size()), line.data());
}

void CRecorderDlg::RecoverQueue() {
  if (!m_journal) return;
  // What an earlier run left: the track it was recording and the tracks it
  // had not finished converting. Told on the window and in the log, never
  // in a box: nobody may be there at an unattended start.
  const RecoveryReport report = RecoverTracks(*m_journal, m_queue, [this](std::string_view line) { Note(line); });
  m_writer.SetJournal(m_journal.get());
  if (report.queued.empty()) return;
  for (const std::string& track : report.queued) m_writer.ReserveNumbersUpTo(TrackNumberOf(m_settings, track));
  const std::string count = std::to_string(report.queued.size());
  Note(count + " track(s) of an earlier run recovered and queued for conversion");
  Wnd().SetDlgItemText(IDC_RECOVERY_NOTE, "前回の " + count + " 曲を復旧しました");
  Wnd().SetDlgItemText(IDC_REMAINING, std::to_string(m_queue.Length()));
}

void CRecorderDlg::FillControls() {
  ui::IWindow& w = Wnd();
  w.SetDlgItemText(IDC_TEMPFOLDER, m_settings.RecTempFolder);
  w.SetDlgItemText(IDC_RECFOLDER, m_settings.RecFolder);
  w.SetDlgItemText(IDC_FILEPRE, m_settings.RecFilePre);
  w.SetDlgItemText(IDC_REMAINING, "0");

  w.CheckDlgButton(IDC_WAV, m_settings.RecWav);
  w.CheckDlgButton(IDC_MP3, m_settings.RecMp3);
  w.CheckDlgButton(IDC_WMA, m_settings.RecWma);
  if (!m_bEncoderAvailable) {
    w.CheckDlgButton(IDC_MP3, false);
    m_settings.RecMp3 = false;
  }

  w.CheckDlgButton(IDC_SILENTDIVIDE, m_settings.m_bSilentDivide);
  w.CheckDlgButton(IDC_NORMALIZE, m_settings.RecNormalize);
  w.CheckDlgButton(IDC_DEEMPHASIS, m_settings.RecDeEmphasis);
  w.CheckDlgButton(IDC_TIMESTAMP, m_settings.ChangeTimestamp);

  if (m_wfxInput.nSamplesPerSec == 48000) {
    w.CheckDlgButton(IDC_4844, m_settings.Rec4844);
  } else {
    m_settings.Rec4844 = false;
    w.CheckDlgButton(IDC_4844, false);
    w.EnableDlgItem(IDC_4844, false);
    w.EnableDlgItem(IDC_4844_SETTING, false);
  }

  // What is captured in this run.
  char text[64];
  std::snprintf(text, sizeof text, "%d Hz", static_cast<int>(m_wfxInput.nSamplesPerSec));
  w.SetDlgItemText(IDC_RATE, text);
  std::snprintf(text, sizeof text, "%2dbit %s", static_cast<int>(m_wfxInput.wBitsPerSample),
                m_wfxInput.nChannels == 1 ? "mono" : "stereo");
  w.SetDlgItemText(IDC_FORMAT, text);
}

bool CRecorderDlg::OpenCapture() {
  ui::IWindow& w = Wnd();
  if (!m_strCaptureRefusal.empty()) w.MessageBox(m_strCaptureRefusal, ui::kAppTitle, ui::MB_OK | ui::MB_ICONEXCLAMATION);
  m_writer.SetFormat(m_wfxInput, m_nBufFrames);
  // Without a wave input the window runs as after "Ignore" in the device
  // error box: no buffer ever arrives.
  const OpenOutcome outcome =
      m_capture.Open(m_wfxInput, m_nBufFrames, m_settings.WaveInDevName, w, m_env.inputGiven);
  if (outcome == OpenOutcome::Aborted) return false;
  if (outcome == OpenOutcome::Opened) {
    OnCaptureStatus();
  } else {
    ShowInputNote();
    w.SetDlgItemText(IDC_STATUS, kStoppedNoInput);
  }
  return true;
}

void CRecorderDlg::CloseCapture() { m_capture.Close(); }

void CRecorderDlg::OnCaptureStatus() {
  platform::WaveInStatus status;
  if (!m_capture.GetStatus(&status)) return;
  const bool lost = status.state == platform::WaveInState::Lost;
  const bool wasLost = m_inputStatus.state == platform::WaveInState::Lost;
  if (status.overruns != m_inputStatus.overruns) {
    m_log.Line("overrun: " + std::to_string(status.overruns) + " buffers");
  }
  if (lost != wasLost) m_log.Line(lost ? "input lost: " + status.deviceName : "input back: " + status.deviceName);
  m_inputStatus = status;
  ShowInputNote();
  if (lost == wasLost) return;
  // No buffer comes while the input is lost: the status says so, and the
  // buffers write the true one again when it is back.
  ui::IWindow& w = Wnd();
  const bool stopping = lost && m_bRecording;
  if (stopping) OnStop();  // the track so far is kept as on STOP; the device comes back by itself
  m_splitter.ResetStopState();
  if (!m_bSkip) {
    if (lost) {
      w.SetDlgItemText(IDC_STATUS, m_bRecording ? kWaitingNoInput : kStoppedNoInput);
    } else if (m_bRecording && !m_writer.HasAudio()) {
      w.SetDlgItemText(IDC_STATUS, "録音待ち");
    }
  }
  if (stopping) w.MessageBox(kInputLost, ui::kAppTitle, ui::MB_OK | ui::MB_ICONEXCLAMATION);
}

void CRecorderDlg::ShowInputNote() {
  ui::IWindow& w = Wnd();
  // Which device is capturing, by the name the device list shows.
  std::string note = m_inputStatus.deviceName;
  if (!m_capture.IsOpen()) {
    note = "入力なし";
  } else if (m_inputStatus.state == platform::WaveInState::Lost) {
    note = "入力が途切れています";
  }
  if (w.GetDlgItemText(IDC_INPUT_NOTE) != note) w.SetDlgItemText(IDC_INPUT_NOTE, note);
  std::string overruns;
  if (m_inputStatus.overruns != 0) overruns = "取りこぼし " + std::to_string(m_inputStatus.overruns) + " 回";
  if (w.GetDlgItemText(IDC_OVERRUNS) != overruns) w.SetDlgItemText(IDC_OVERRUNS, overruns);
}

void CRecorderDlg::ApplyRecordingEnableRule() {
  ui::IWindow& w = Wnd();
  w.EnableDlgItem(IDC_WMA_SETTING, !m_bRecording);
  w.EnableDlgItem(IDC_MP3_SETTING, !m_bRecording && m_bEncoderAvailable);
}

void CRecorderDlg::OnRec() {
  if (m_bRecording) return;
  if (!m_settings.RecWav && !m_settings.RecMp3 && !m_settings.RecWma) {
    ShowWarning(kNoFormat);
    return;
  }
  // Without a device no buffer ever arrives: a recording would only wait.
  if (!m_capture.IsOpen()) {
    ShowWarning(kNoInput);
    return;
  }
  m_bRecording = true;
  ApplyRecordingEnableRule();
  const bool lost = m_inputStatus.state == platform::WaveInState::Lost;
  if (!m_bSkip) Wnd().SetDlgItemText(IDC_STATUS, lost ? kWaitingNoInput : "録音待ち");
  m_timer.OnRecStarted();
  if (!OpenFirstTrack()) OnStop();
  UpdateKeepAwake();
}

void CRecorderDlg::OnStop() {
  if (!m_bRecording) return;
  m_bRecording = false;
  ApplyRecordingEnableRule();
  CloseTrack();
  m_splitter.ResetStopState();
  UpdateKeepAwake();
}

void CRecorderDlg::OnSkip() {
  m_bSkip = true;
  Wnd().EnableDlgItem(IDC_SKIP, false);
  Wnd().SetDlgItemText(IDC_STATUS, "スキップ");
  Wnd().SetDlgItemText(IDC_TRACKFILE, "スキップ");
}

void CRecorderDlg::EndSkip() {
  m_bSkip = false;
  Wnd().EnableDlgItem(IDC_SKIP, true);
}

bool CRecorderDlg::OpenFirstTrack() {
  // A failure has been reported by the writer, which has performed STOP.
  return m_writer.Open();
}

void CRecorderDlg::CloseTrack() {
  // Queued for conversion, or discarded (skipped, empty or too short).
  m_writer.Close();
}

void CRecorderDlg::OnFormatCheck(int id, bool& setting) {
  ui::IWindow& w = Wnd();
  if (id == IDC_MP3 && !m_bEncoderAvailable) {
    w.MessageBox(kNoEncoder, ui::kAppTitle, ui::MB_OK | ui::MB_ICONINFORMATION);
    w.CheckDlgButton(IDC_MP3, false);
  } else if (m_bRecording) {
    // The click already toggled the box: undo it.
    w.CheckDlgButton(id, !w.IsDlgButtonChecked(id));
  }
  setting = w.IsDlgButtonChecked(id);
}

void CRecorderDlg::OnMeterRadio(int id) {
  ui::IWindow& w = Wnd();
  if (m_bRecording) {
    w.CheckDlgButton(IDC_LEVEL, m_settings.RecMeterType == 1);
    w.CheckDlgButton(IDC_SPECTRUM, m_settings.RecMeterType != 1);
    return;
  }
  m_settings.RecMeterType = id == IDC_LEVEL ? 1 : 2;
}

void CRecorderDlg::OnBrowse(int editId, std::string& setting) {
  CFolderChooser chooser(*m_env.host, &Wnd(), m_settings.FilesFolder(setting));
  if (chooser.Browse() == 1) {
    setting = chooser.ChosenFolder();
    Wnd().SetDlgItemText(editId, setting);
  }
}

void CRecorderDlg::ShowAbout() {
  CAboutDlg about(m_env.encoderInfo);
  m_env.host->DoModal(about, &Wnd());
}

void CRecorderDlg::ShowInputSettings() {
  CInputSettingDlg dlg(m_env.waveIn, m_settings);
  m_env.host->DoModal(dlg, &Wnd());
}

void CRecorderDlg::ShowSilenceSettings() {
  CSilenceSplitDlg dlg(m_settings, [this] { return m_capture.Level(); });
  m_env.host->DoModal(dlg, &Wnd());
}

void CRecorderDlg::OnCommand(int id, int code) {
  ui::IWindow& w = Wnd();
  if (code == ui::EN_CHANGE) {
    switch (id) {
      case IDC_FILEPRE: m_settings.RecFilePre = w.GetDlgItemText(id); break;
      case IDC_RECFOLDER: m_settings.RecFolder = w.GetDlgItemText(id); break;
      case IDC_TEMPFOLDER: m_settings.RecTempFolder = w.GetDlgItemText(id); break;
      default: break;
    }
    PublishSettings();
    return;
  }
  if (code == ui::CBN_SELCHANGE && (id == IDC_EWX_FLAG || id == IDC_EWX_FORCE)) {
    m_power.OnListChanged(w, id);
    PublishSettings();
    return;
  }
  if (code != ui::BN_CLICKED) return;
  switch (id) {
    case ui::IDOK: OnOK(); break;
    case ui::IDCANCEL: OnCancel(); break;
    case IDC_REC: OnRec(); break;
    case IDC_STOP: OnStop(); break;
    case IDC_SKIP: OnSkip(); break;
    case IDC_WAV: OnFormatCheck(id, m_settings.RecWav); break;
    case IDC_MP3: OnFormatCheck(id, m_settings.RecMp3); break;
    case IDC_WMA: OnFormatCheck(id, m_settings.RecWma); break;
    case IDC_NORMALIZE: m_settings.RecNormalize = w.IsDlgButtonChecked(id); break;
    case IDC_DEEMPHASIS: m_settings.RecDeEmphasis = w.IsDlgButtonChecked(id); break;
    case IDC_4844: m_settings.Rec4844 = w.IsDlgButtonChecked(id); break;
    case IDC_TIMESTAMP: m_settings.ChangeTimestamp = w.IsDlgButtonChecked(id); break;
    case IDC_SILENTDIVIDE: m_settings.m_bSilentDivide = w.IsDlgButtonChecked(id); break;
    case IDC_LEVEL:
    case IDC_SPECTRUM: OnMeterRadio(id); break;
    case IDC_RECFOLDER_BROWSE: OnBrowse(IDC_RECFOLDER, m_settings.RecFolder); break;
    case IDC_TEMPFOLDER_BROWSE: OnBrowse(IDC_TEMPFOLDER, m_settings.RecTempFolder); break;
    case IDC_ABOUT: ShowAbout(); break;
    case IDC_PEAK_RESET: m_meter.Reset(); break;
    case IDC_NORMALIZE_SETTING: {
      CNormalizeSettingDlg dlg(m_settings, m_capture.IsOpen() ? static_cast<const ILiveInputLevels*>(this) : nullptr);
      m_env.host->DoModal(dlg, &Wnd());
      break;
    }
    case IDC_4844_SETTING: {
      CResampleSettingDlg dlg(m_settings);
      m_env.host->DoModal(dlg, &Wnd());
      break;
    }
    case IDC_MP3_SETTING:
      if (!m_bRecording && m_bEncoderAvailable) EditMp3Settings(*m_env.host, &Wnd(), m_settings);
      break;
    case IDC_WMA_SETTING:
      if (!m_bRecording) EditWmaSettings(*m_env.host, &Wnd(), m_settings);
      break;
    case IDC_INPUT_SETTING: ShowInputSettings(); break;
    case IDC_SILENCE_SETTING: ShowSilenceSettings(); break;
    case IDC_TIMER_SET:
      m_timer.OnSet(RecordingTimer::SetBy::User);
      UpdateKeepAwake();
      break;
    case IDC_TIMER_NOW: m_timer.OnStartNowClicked(); break;
    case IDC_POWERDOWN: m_power.OnPowerDownClicked(w); break;
    default: break;
  }
  PublishSettings();
}

void CRecorderDlg::OnTimer(int timerId) {
  if (timerId == kPowerRequestTimerId) {
    OnPowerRequestUnanswered();
    return;
  }
  m_timer.OnTick(timerId);
  UpdateKeepAwake();
}

void CRecorderDlg::OnPowerOff() {
  CloseCapture();
  Sleep(kPowerOffDelayMs);
  const std::string flags = std::to_string(m_power.Flags());
  std::string error;
  if (m_power.Request(&error)) {
    Report("power action " + flags + " requested", false);
    // The system ends the program as it logs off or shuts down. Should it
    // not come to that, the run ends as after any timed recording.
    Wnd().SetTimer(kPowerRequestTimerId, kPowerRequestGraceMs);
    return;
  }
  Report("the power action " + flags + " was refused (" + error + "); the recorder exits instead", true);
  OnClose();
}

void CRecorderDlg::OnPowerRequestUnanswered() {
  Wnd().KillTimer(kPowerRequestTimerId);
  Report("the system has not ended the recorder after the power request; the recorder exits", true);
  OnClose();
}

void CRecorderDlg::OnMessage(unsigned msg, std::uintptr_t wParam, std::intptr_t lParam) {
  if (msg == platform::MM_WIM_DATA) m_capture.OnBufferDone(wParam, lParam, *this);
  if (msg == platform::MM_WIM_STATUS) OnCaptureStatus();
  if (msg == WM_APP_TERMINATE) Terminate();
  if (msg == WM_APP_QUEUE_CHANGED) Wnd().SetDlgItemText(IDC_REMAINING, std::to_string(m_queue.Length()));
  if (msg == WM_APP_REMOTE && m_env.link) m_env.link->Serve(*this);
  if (msg == WM_APP_POWEROFF) OnPowerOff();
  if (msg == WM_APP_TIMER_NOTICE) m_deferredBoxes.ShowAll(Wnd());
}

std::optional<std::string> CRecorderDlg::CloseRefusal() {
  if (m_bRecording) return std::string(kBusyRecording);
  if (m_queue.Length() != 0) return std::string(kBusyConverting);
  return std::nullopt;
}

void CRecorderDlg::OnClose() {
  if (m_bTerminating) return;
  if (auto refusal = CloseRefusal()) {
    ShowWarning(*refusal);
    return;
  }
  // The end of a timed recording: a box nobody answers must not keep the
  // program from ending.
  if (m_timer.State() == RecordingTimer::kFinished) m_env.host->CancelModals();
  m_queue.m_evQueue.Pulse();
  Sleep(100);
  Wnd().EndDialog(ui::IDCANCEL);
}

void CRecorderDlg::Terminate() {
  if (m_bTerminating) return;
  m_bTerminating = true;
  OnStop();
  if (m_pWorkerThread) m_pWorkerThread->RequestStop();
  Wnd().EndDialog(ui::IDCANCEL);
}

RemoteReply CRecorderDlg::HandleRemoteCommand(const std::string& command) {
  ui::IWindow& w = Wnd();
  if (command == "status") {
    std::string text = w.GetDlgItemText(IDC_STATUS) + "\n" + w.GetDlgItemText(IDC_TRACKFILE) + "\n" +
                       w.GetDlgItemText(IDC_REMAINING) + "\n" + (m_bRecording ? "1" : "0");
    // An armed timer adds its note: when it starts, or when it stops.
    const std::string note = w.GetDlgItemText(IDC_TIMER_NOTE);
    if (!note.empty()) text += "\n" + note;
    // Over SSH or on the offscreen platform nobody sees a box that waits.
    if (const std::string open = DescribeOpenModals(m_env.host->OpenModals()); !open.empty()) {
      text += "\n" + open.substr(0, open.size() - 1);
    }
    return RemoteReply{0, text};
  }
  if (command.rfind("answer ", 0) == 0) {
    const std::optional<int> answer = AnswerOfWord(std::string_view(command).substr(7));
    if (!answer) return RemoteReply{2, std::string("answer needs ") + kAnswerWords};
    if (m_env.host->OpenModals().empty()) return RemoteReply{1, "no message box or dialog is open"};
    if (!m_env.host->AnswerModal(*answer)) return RemoteReply{1, "the open box has no such button"};
    return RemoteReply{0, "answered"};
  }
  // The window is still being set up (a box of the start may be waiting).
  if (!m_bInitialised) return RemoteReply{1, "the recorder is starting"};
  if (command == "rec") {
    if (!m_bRecording && !m_settings.RecWav && !m_settings.RecMp3 && !m_settings.RecWma) {
      return RemoteReply{1, kNoFormat};
    }
    if (!m_bRecording && !m_capture.IsOpen()) return RemoteReply{1, kNoInput};
    OnRec();
    return RemoteReply{m_bRecording ? 0 : 1, m_bRecording ? "recording" : "not recording"};
  }
  if (command == "stop") {
    OnStop();
    return RemoteReply{0, "stopped"};
  }
  if (command == "skip") {
    OnSkip();
    return RemoteReply{0, "skip"};
  }
  if (command == "timer") return RemoteReply{0, m_timer.Report()};
  if (command == "quit") {
    if (m_bTerminating) return RemoteReply{0, "closing"};
    if (auto refusal = CloseRefusal()) return RemoteReply{1, *refusal};
    // The window cannot end while a box or dialog above it runs.
    if (!m_env.host->OpenModals().empty()) {
      return RemoteReply{1, "a message box or dialog is open: see 'mivo --command status', then answer it"};
    }
    m_queue.m_evQueue.Pulse();
    Sleep(100);
    w.EndDialog(ui::IDCANCEL);
    return RemoteReply{0, "closing"};
  }
  return RemoteReply{2, "unknown command: " + command};
}

void CRecorderDlg::ReportSettingsNotSaved(const std::string& error) {
  m_log.Line("settings not saved: " + error);
  std::fprintf(stderr, "mivo: the settings could not be saved: %s\n", error.c_str());
  // After a signal or a finished timed recording nobody may be there to
  // answer; the log and the terminal tell then.
  if (m_bTerminating || m_timer.State() == RecordingTimer::kFinished) return;
  Wnd().MessageBox(std::string(kSettingsNotSaved) + "\r\n" + error, ui::kAppTitle, ui::MB_OK | ui::MB_ICONEXCLAMATION);
}

void CRecorderDlg::OnDestroy() {
  if (m_env.link) m_env.link->Detach();
  CloseCapture();
  m_bRecording = false;
  CloseTrack();
  std::string error;
  if (!m_settings.Save(m_env.settingsPath, m_timer.State(), &error)) ReportSettingsNotSaved(error);
  m_awake.Hold(false);
  if (m_log.IsOpen()) m_log.Close();
  // The close request has woken the worker with an empty queue, or the
  // program is being terminated: either way it ends at its next look at the
  // queue, leaving waiting tracks on disk. Wait for it so that it never
  // outlives the window.
  if (m_pWorkerThread) {
    m_pWorkerThread->RequestStop();
    m_pWorkerThread->Join();
    m_pWorkerThread.reset();
  }
  // What is still queued stays in the journal for the next start.
  if (m_journal) m_journal->Stop();
}

}  // namespace mivo
