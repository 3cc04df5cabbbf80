#include "app/recorder_dlg.h"

#include <cstdio>
#include <ctime>

#include "app/about_dlg.h"
#include "app/folder_chooser.h"
#include "app/window_link.h"
#include "convert/normalize_setting_dlg.h"
#include "convert/resample_setting_dlg.h"
#include "encode/gogo_dll.h"
#include "encode/mp3_setting_dlg.h"
#include "capture/capture_ids.h"
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
constexpr const char* kSettingsNotSaved = "設定を保存できませんでした。";
constexpr const char* kInputLost =
    "入力デバイスが使えなくなったので、録音を停止しました。それまでに録音した分は保存してあります。";

void RealSleep(unsigned ms) { platform::Sleep(ms); }

}  // namespace

CRecorderDlg::CRecorderDlg(const RecorderEnvironment& env, bool encoderAvailable)
    : ui::CDialog(RecorderTemplate()),
      m_env(env),
      m_bEncoderAvailable(encoderAvailable),
      m_capture(env.waveIn),
      m_writer(m_settings, m_queue, m_log, *this),
      m_splitter(m_settings, m_writer, *this) {
  if (!m_env.sleep) m_env.sleep = RealSleep;
  if (!m_env.processor) {
    EncoderSteps steps;
    if (m_env.gogo) {
      const GogoDll* gogo = m_env.gogo;
      ui::IDialogHost* host = m_env.host;
      steps.mp3 = [gogo, host](const std::string& track, const std::string& out, const RecorderSettings& s,
                               IProgress& progress, IStepLog& log) {
        return EncodeMp3(*gogo, *host, track, out, s, progress, &log);
      };
    }
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

void CRecorderDlg::ShowWarning(const std::string& text) {
  Wnd().MessageBox(text, kAppTitle, ui::MB_OK | ui::MB_ICONWARNING);
}

bool CRecorderDlg::OnInitDialog() {
  ui::IWindow& w = Wnd();

  m_settings.Load(m_env.settingsPath);

  // Values the engine cannot capture with are refused for this run (the
  // box comes with the device, below); the settings keep them.
  const CaptureSetup setup = BuildCaptureSetup(m_settings);
  m_wfxInput = setup.format;
  m_nBufFrames = setup.bufferFrames;
  m_strCaptureRefusal = setup.refusal;

  if (m_settings.DebugLogLevel != 0) m_log.Open(m_settings.DebugLogLevel, m_settings.DebugLogFileName);

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
    if (m_env.link) m_env.link->Attach(w);
    return true;
  }

  SelectPowerLists();
  InitTimerPickers();

  // A class the system refuses leaves the process priority as it was.
  platform::SetProcessPriorityClass(m_settings.m_nPriorityClass);

  PublishSettings();
  if (!m_env.settingsPath.empty()) {
    m_journal = std::make_unique<QueueJournal>(QueueJournal::PathFor(m_env.settingsPath),
                                               [this](std::string_view line) { Note(line); });
  }
  IWorkerWindow& self = *this;
  m_pWorkerThread = std::make_unique<ConversionWorker>(self, *m_env.processor);
  if (m_pWorkerThread->Start(m_settings.TransThreadPriority)) {
    while (!m_pWorkerThread->Started()) Sleep(10);
  }
  RecoverQueue();
  m_bInitialised = true;
  if (m_env.link) m_env.link->Attach(w);
  return true;
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
  if (!m_strCaptureRefusal.empty()) w.MessageBox(m_strCaptureRefusal, kAppTitle, ui::MB_OK | ui::MB_ICONEXCLAMATION);
  m_writer.SetFormat(m_wfxInput, m_nBufFrames);
  // Without a wave input the window runs as after "Ignore" in the device
  // error box: no buffer ever arrives.
  const OpenOutcome outcome = m_capture.Open(m_wfxInput, m_nBufFrames, m_settings.WaveInDevName, w);
  if (outcome == OpenOutcome::Aborted) return false;
  if (outcome == OpenOutcome::Opened) OnCaptureStatus();
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
  if (lost && !wasLost && m_bRecording) {
    // The track so far is kept as on STOP; the device comes back by itself.
    OnStop();
    Wnd().MessageBox(kInputLost, kAppTitle, ui::MB_OK | ui::MB_ICONEXCLAMATION);
  }
}

void CRecorderDlg::ShowInputNote() {
  ui::IWindow& w = Wnd();
  const char* note = "";
  if (m_inputStatus.state == platform::WaveInState::Lost) {
    note = "入力が途切れています";
  } else if (m_inputStatus.demo) {
    note = "デモ信号を再生中";
  }
  if (w.GetDlgItemText(IDC_INPUT_NOTE) != note) w.SetDlgItemText(IDC_INPUT_NOTE, note);
  std::string overruns;
  if (m_inputStatus.overruns != 0) overruns = "取りこぼし " + std::to_string(m_inputStatus.overruns) + " 回";
  if (w.GetDlgItemText(IDC_OVERRUNS) != overruns) w.SetDlgItemText(IDC_OVERRUNS, overruns);
}

void CRecorderDlg::SelectPowerLists() {
  ui::IWindow& w = Wnd();
  switch (m_settings.m_dwEwxFlag) {
    case 0: w.SetCurSel(IDC_EWX_FLAG, 0); break;
    case 8: w.SetCurSel(IDC_EWX_FLAG, 1); break;
    case 2: w.SetCurSel(IDC_EWX_FLAG, 2); break;
    case 1: w.SetCurSel(IDC_EWX_FLAG, 3); break;
    default:
      // No entry matches: nothing selected, and the value becomes 3, which
      // no power action uses.
      w.SetCurSel(IDC_EWX_FLAG, -1);
      m_settings.m_dwEwxFlag = 3;
      break;
  }
  switch (m_settings.m_dwEwxForce) {
    case 0: w.SetCurSel(IDC_EWX_FORCE, 0); break;
    case 4: w.SetCurSel(IDC_EWX_FORCE, 1); break;
    case 16: w.SetCurSel(IDC_EWX_FORCE, 2); break;
    default:
      m_settings.m_dwEwxForce = 0;
      w.SetCurSel(IDC_EWX_FORCE, -1);
      break;
  }
}

void CRecorderDlg::InitTimerPickers() {
  ui::IWindow& w = Wnd();
  // The start defaults to the next full hour.
  std::time_t now = std::time(nullptr);
  std::tm local{};
  if (localtime_r(&now, &local) != nullptr) {
    local.tm_min = 0;
    local.tm_sec = 0;
    local.tm_isdst = -1;
    std::time_t next = std::mktime(&local);
    if (next != static_cast<std::time_t>(-1)) {
      next += 3600;
      std::tm n{};
      if (localtime_r(&next, &n) != nullptr) {
        const ui::PickerTime t{true, n.tm_year + 1900, n.tm_mon + 1, n.tm_mday, n.tm_hour, n.tm_min, n.tm_sec};
        w.SetPickerTime(IDC_TIMER_DATE, t);
        w.SetPickerTime(IDC_TIMER_TIME, t);
      }
    }
  }
  m_nTimerState = 0;
  w.CheckDlgButton(IDC_POWERDOWN, m_settings.TM_POWERDOWN);
  w.EnableDlgItem(IDC_EWX_FLAG, false);
  w.EnableDlgItem(IDC_EWX_FORCE, false);
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
  m_bRecording = true;
  ApplyRecordingEnableRule();
  if (!m_bSkip) Wnd().SetDlgItemText(IDC_STATUS, "録音待ち");
  m_nTimerState = 0;
  if (!OpenFirstTrack()) OnStop();
}

void CRecorderDlg::OnStop() {
  if (!m_bRecording) return;
  m_bRecording = false;
  ApplyRecordingEnableRule();
  CloseTrack();
  m_splitter.ResetStopState();
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
    w.MessageBox(kNoEncoder, kAppTitle, ui::MB_OK | ui::MB_ICONINFORMATION);
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
    case IDC_INPUT_SETTING: ShowInputSettings(); break;
    case IDC_SILENCE_SETTING: ShowSilenceSettings(); break;
    default: break;
  }
  PublishSettings();
}

void CRecorderDlg::OnTimer(int /*timerId*/) {}

void CRecorderDlg::OnMessage(unsigned msg, std::uintptr_t wParam, std::intptr_t lParam) {
  if (msg == platform::MM_WIM_DATA) m_capture.OnBufferDone(wParam, lParam, *this);
  if (msg == platform::MM_WIM_STATUS) OnCaptureStatus();
  if (msg == WM_APP_TERMINATE) Terminate();
  if (msg == WM_APP_QUEUE_CHANGED) Wnd().SetDlgItemText(IDC_REMAINING, std::to_string(m_queue.Length()));
  if (msg == WM_APP_REMOTE && m_env.link) m_env.link->Serve(*this);
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
  if (command == "rec") {
    if (!m_bRecording && !m_settings.RecWav && !m_settings.RecMp3 && !m_settings.RecWma) {
      return RemoteReply{1, kNoFormat};
    }
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
  if (command == "status") {
    std::string text = w.GetDlgItemText(IDC_STATUS) + "\n" + w.GetDlgItemText(IDC_TRACKFILE) + "\n" +
                       w.GetDlgItemText(IDC_REMAINING) + "\n" + (m_bRecording ? "1" : "0");
    return RemoteReply{0, text};
  }
  if (command == "quit") {
    if (m_bTerminating) return RemoteReply{0, "closing"};
    if (auto refusal = CloseRefusal()) return RemoteReply{1, *refusal};
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
  if (m_bTerminating || m_nTimerState.load() == 3) return;
  Wnd().MessageBox(std::string(kSettingsNotSaved) + "\r\n" + error, kAppTitle, ui::MB_OK | ui::MB_ICONEXCLAMATION);
}

void CRecorderDlg::OnDestroy() {
  if (m_env.link) m_env.link->Detach();
  CloseCapture();
  m_bRecording = false;
  CloseTrack();
  std::string error;
  if (!m_settings.Save(m_env.settingsPath, m_nTimerState.load(), &error)) ReportSettingsNotSaved(error);
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
