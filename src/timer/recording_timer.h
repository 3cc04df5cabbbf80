// Timed recording: the "タイマ" group of the recorder window. Set arms a
// start and an end; a 200 ms window timer counts down and presses REC and
// STOP; the state tells the conversion worker when a timed recording has
// finished. An armed timer outlives a restart through the settings file.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/ui/window.h"
#include "settings/recorder_settings.h"
#include "timer/deferred_boxes.h"
#include "timer/disk_projection.h"
#include "timer/timer_clock.h"

namespace mivo {

// What the timer needs of the recorder window's controller (window thread).
class ITimerRecorder {
 public:
  virtual ~ITimerRecorder() = default;
  virtual ui::IWindow& Window() = 0;
  virtual bool IsRecording() const = 0;
  // REC and STOP as the buttons do. REC sets the timer's state to 0 when it
  // starts a recording; the timer sets its own state after REC returns.
  virtual void Rec() = 0;
  virtual void Stop() = 0;
  // The timed recording has finished: the worker must look at the queue
  // again, even when nothing was queued, so that the end action follows.
  virtual void WakeWorker() = 0;
  // For the disk projection: the capture's bytes per second and the free
  // space.
  virtual std::uint32_t CaptureBytesPerSecond() const = 0;
  virtual DiskSpaceQuery DiskSpace() const = 0;
};

class RecordingTimer {
 public:
  static constexpr int kTimerId = 1;
  static constexpr unsigned kTickMs = 200;
  static constexpr int kMaxHours = 240;
  static constexpr int kMaxMinutes = 14440;

  // States as the conversion worker reads them.
  static constexpr int kOff = 0;
  static constexpr int kArmed = 1;
  static constexpr int kRecording = 2;
  static constexpr int kFinished = 3;

  // Set by the user's click, or once at start-up for a restored timer: then
  // every box waits in `deferred` instead of holding the start-up up.
  enum class SetBy { User, Restore };

  RecordingTimer(RecorderSettings& settings, const IClock& clock, ITimerRecorder& recorder, DeferredBoxes& deferred)
      : m_settings(settings), m_clock(clock), m_recorder(recorder), m_deferred(deferred) {}

  // Start-up: the pickers and the duration of the timer armed at the last
  // exit, or the pickers at the next whole hour. True when one was restored
  // (its Set follows once the worker runs).
  bool Restore();

  void OnSet(SetBy by);             // button 1034: arm, or cancel while the window timer runs
  void OnTick(int timerId);         // WM_TIMER
  void OnStartNowClicked();         // box 1037
  void OnRecStarted() { SetState(kOff); }  // REC started a recording

  // Any thread (the worker reads it).
  int State() const { return m_nTimerState.load(); }
  void SetState(int state);
  bool WindowTimerRuns() const { return m_nTimerId != 0; }
  // A timed recording is armed, runs, or waits for its end action.
  bool KeepsAwake() const;

  // The requested start and end (start + duration) of the last armed timer.
  std::int64_t RequestedStart() const { return m_tmStart + 1; }
  std::int64_t RequestedEnd() const { return m_tmEnd - 1; }
  // `mivo --command timer`: state, start and end, one line each.
  std::string Report() const;

 private:
  void Cancel();
  void Box(const std::string& text, std::string_view caption, unsigned type);
  bool ReadDuration(int id, int high, std::int32_t& value);
  void WarnOfDiskSpace(std::int64_t seconds);
  void ShowCountdown(const std::string& text);
  void ShowNote();

  RecorderSettings& m_settings;
  const IClock& m_clock;
  ITimerRecorder& m_recorder;
  DeferredBoxes& m_deferred;
  std::atomic<int> m_nTimerState{kOff};
  int m_nTimerId = 0;
  std::int64_t m_tmStart = 0;  // one second before the requested start
  std::int64_t m_tmEnd = 0;    // m_tmStart + duration + 2 s
  std::string m_strCountdown;  // the text last written to the countdown
  bool m_bDefer = false;       // boxes wait in m_deferred
  bool m_bBusy = false;        // a Set or tick is running (its box may pump ticks)
};

}  // namespace mivo
