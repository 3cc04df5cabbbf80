// The recorder window: the controller of the whole program. It owns the
// settings, the capture side, the conversion queue and its worker, and
// decides when the program may end.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "capture/capture_engine.h"
#include "capture/level_meter.h"
#include "convert/live_input.h"
#include "capture/capture_setup.h"
#include "capture/recorder_control.h"
#include "capture/silence_splitter.h"
#include "capture/track_writer.h"
#include "convert/conversion_queue.h"
#include "convert/conversion_worker.h"
#include "convert/queue_journal.h"
#include "convert/worker_boxes.h"
#include "platform/power/power.h"
#include "platform/ui/dialog.h"
#include "platform/wavein/wavein.h"
#include "settings/debug_log.h"
#include "settings/recorder_settings.h"
#include "settings/shared_settings.h"
#include "timer/deferred_boxes.h"
#include "timer/disk_projection.h"
#include "timer/keep_awake.h"
#include "timer/power_action.h"
#include "timer/recording_timer.h"
#include "timer/timer_clock.h"

namespace mivo {

class WindowLink;
struct GogoDll;

// The template of the recorder window.
const ui::DialogTemplate& RecorderTemplate();

// What the window needs of the process around it.
struct RecorderEnvironment {
  ui::IDialogHost* host = nullptr;
  std::string settingsPath;        // mivo.ini
  std::string encoderInfo;         // the about box's encoder text
  ITrackProcessor* processor = nullptr;  // nullptr: the built-in one
  platform::IWaveIn* waveIn = nullptr;   // nullptr: no capture (no buffer ever arrives)
  // The input of this run was named on the command line (--input-file,
  // --demo): its preferred device is opened, and WaveInDevName is kept as
  // it is for the runs after this one.
  bool inputGiven = false;
  WindowLink* link = nullptr;            // remote commands and termination
  const GogoDll* gogo = nullptr;         // the loaded MP3 encoder library, if any
  // Sleeps of the exit and start-up hand-shakes; tests pass a shorter one.
  void (*sleep)(unsigned ms) = nullptr;
  platform::IPowerSystem* power = nullptr;  // nullptr: no power service (no power action, nothing keeps the machine awake)
  const IClock* clock = nullptr;            // nullptr: the system's clock
  DiskSpaceQuery diskSpace = nullptr;       // nullptr: the file systems' own figures
  // How long a box of the worker waits for an answer during a timed run.
  std::chrono::milliseconds unattendedBoxBound = kUnattendedBoxBound;
};

// A reply to a command from `mivo --command`.
struct RemoteReply {
  int status = 0;
  std::string text;
};

class CRecorderDlg final : public ui::CDialog,
                           private IWorkerWindow,
                           private IRecorderControl,
                           private ICaptureClient,
                           private ILiveInputLevels,
                           private ITimerRecorder {
 public:
  CRecorderDlg(const RecorderEnvironment& env, bool encoderAvailable);
  ~CRecorderDlg() override;

  // CDialog
  bool OnInitDialog() override;
  void OnCommand(int id, int code) override;
  void OnTimer(int timerId) override;
  void OnMessage(unsigned msg, std::uintptr_t wParam, std::intptr_t lParam) override;
  void OnOK() override {}      // Enter does nothing
  void OnCancel() override {}  // Escape does nothing
  void OnClose() override;
  void OnDestroy() override;

  // Commands.
  void OnRec();
  void OnStop();
  void OnSkip();

  // The close request's refusal, or nothing when the program may end now.
  std::optional<std::string> CloseRefusal();
  // `mivo --command`: rec, stop, skip, status, timer, quit. Window thread.
  RemoteReply HandleRemoteCommand(const std::string& command);
  // SIGTERM or SIGINT: stop a recording as STOP does and end the run without
  // the close request's refusals; waiting tracks stay on disk.
  void Terminate();

  // State read by the subsystems and tests.
  const RecorderSettings& Settings() const { return m_settings; }
  RecorderSettings& MutableSettings() { return m_settings; }
  bool IsRecording() const override { return m_bRecording; }
  bool IsSkip() const override { return m_bSkip; }
  int TrackNo() const { return m_writer.TrackNo(); }
  int StopState() const { return m_splitter.StopState(); }
  // The capture format and buffer size of this run.
  const platform::WAVEFORMATEX& InputFormat() const { return m_wfxInput; }
  std::uint32_t BufferFrames() const { return m_nBufFrames; }
  const CaptureEngine& Capture() const { return m_capture; }
  TrackWriter& Writer() { return m_writer; }
  ConversionQueue& Queue() override { return m_queue; }
  ConversionWorker* Worker() { return m_pWorkerThread.get(); }
  void SetTimerState(int state) { m_timer.SetState(state); }
  const RecordingTimer& Timer() const { return m_timer; }
  // The process's exit status after the run: 1 when it could not work.
  int ExitStatus() const { return m_nExitStatus; }

  // After a settings change on the window thread: lets the worker see it.
  void PublishSettings() { m_shared.Publish(m_settings); }

 private:
  // IWorkerWindow
  RecorderSettings SettingsSnapshot() const override { return m_shared.Get(); }
  int TimerState() const override { return m_timer.State(); }
  ui::IWindow& Window() override { return Wnd(); }
  // The worker's boxes: bounded while a timed run needs the worker to go on.
  ui::IDialogHost& Host() override { return m_workerBoxes; }
  void LogLine(std::string_view line) override { m_log.Line(line); }
  IStepLedger* Ledger() override { return m_journal.get(); }

  // IRecorderControl (IsRecording and IsSkip above)
  void EndSkip() override;
  void Stop() override { OnStop(); }

  // ITimerRecorder (Window, IsRecording and Stop above)
  void Rec() override { OnRec(); }
  void WakeWorker() override { m_queue.m_evQueue.Pulse(); }
  std::uint32_t CaptureBytesPerSecond() const override { return m_wfxInput.nAvgBytesPerSec; }
  DiskSpaceQuery DiskSpace() const override { return m_env.diskSpace ? m_env.diskSpace : platform::QueryDiskSpace; }

  // ICaptureClient
  void OnCapturedBuffer(const CapturedBuffer& buffer) override { m_splitter.OnBuffer(buffer); }
  // ILiveInputLevels: the last captured buffer, for the proposal buttons.
  std::uint32_t LastBufferLevel() const override { return m_capture.Level(); }
  std::int32_t LastBufferMeanL() const override { return m_capture.MeanL(); }
  std::int32_t LastBufferMeanR() const override { return m_capture.MeanR(); }
  void OnMeters(const MeterInput& in) override {
    m_meter.OnBuffer(in.samples, in.frames, in.spanL, in.spanR, m_settings, Wnd());
  }

  void ApplyRecordingEnableRule();
  void FillControls();
  void ArmRestoredTimer();
  void UpdateKeepAwake() { m_awake.Hold(m_bRecording || m_timer.KeepsAwake()); }
  void OnPowerOff();
  void OnPowerRequestUnanswered();
  // A line for the debug log and, with `alsoStderr`, for the terminal.
  void Report(const std::string& line, bool alsoStderr);
  bool OpenCapture();
  void CloseCapture();
  bool OpenFirstTrack();
  void CloseTrack();
  void OnCaptureStatus();
  void ShowInputNote();
  void OnFormatCheck(int id, bool& setting);
  void OnMeterRadio(int id);
  void OnBrowse(int editId, std::string& setting);
  void ShowAbout();
  void ShowInputSettings();
  void ShowSilenceSettings();
  void Sleep(unsigned ms) const;
  void ShowWarning(const std::string& text);
  void ReportSettingsNotSaved(const std::string& error);
  void RecoverQueue();
  // A line for the debug log and the terminal; any thread.
  void Note(std::string_view line);

  RecorderEnvironment m_env;
  RecorderSettings m_settings;
  SharedSettings m_shared;
  DebugLog m_log;
  const bool m_bEncoderAvailable;
  bool m_bRecording = false;
  bool m_bSkip = false;
  platform::WAVEFORMATEX m_wfxInput;
  std::uint32_t m_nBufFrames = 1024;
  std::string m_strCaptureRefusal;  // settings this run cannot capture with
  bool m_bInitialised = false;
  bool m_bTerminating = false;
  int m_nExitStatus = 0;

  ConversionQueue m_queue;
  CaptureEngine m_capture;
  CLevelMeter m_meter;  // level, peak hold and spectrum
  TrackWriter m_writer;
  SilenceSplitter m_splitter;
  platform::WaveInStatus m_inputStatus;  // as last reported by the device

  SystemClock m_systemClock;
  DeferredBoxes m_deferredBoxes;
  RecordingTimer m_timer;
  PowerAction m_power;
  KeepAwake m_awake;

  WorkerBoxes m_workerBoxes;
  std::unique_ptr<ITrackProcessor> m_ownProcessor;
  // The queue journal beside the settings file; outlives the worker.
  std::unique_ptr<QueueJournal> m_journal;
  std::unique_ptr<ConversionWorker> m_pWorkerThread;
};

}  // namespace mivo
