// The conversion worker: one thread that takes finished tracks from the
// queue in order and turns each into its final files while the next one
// records.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "convert/conversion_queue.h"
#include "platform/sync/thread.h"
#include "platform/ui/dialog.h"
#include "platform/ui/window.h"
#include "settings/recorder_settings.h"

namespace mivo {

class IStepLedger;

// What the worker needs of the recorder window.
class IWorkerWindow {
 public:
  virtual ~IWorkerWindow() = default;
  virtual ConversionQueue& Queue() = 0;
  // The settings as the window last published them.
  virtual RecorderSettings SettingsSnapshot() const = 0;
  // 0 off, 1 armed, 2 recording under the timer, 3 timed recording finished.
  virtual int TimerState() const = 0;
  // Controls 1018, 1019, 1022, 1050 and PostMessage; called from the worker thread.
  virtual ui::IWindow& Window() = 0;
  // Message boxes without an owner.
  virtual ui::IDialogHost& Host() = 0;
  // A line for the debug log; called from the worker thread.
  virtual void LogLine(std::string_view line) { static_cast<void>(line); }
  // Where the steps of each track are recorded so that a restart resumes
  // it (the queue journal); none by default.
  virtual IStepLedger* Ledger() { return nullptr; }
};

// What the worker needs to know of a processed track.
struct TrackResult {
  // The track file stays whatever RecWav says: an output step failed (its
  // WAV may be the only copy of the recording), or the stop request cut the
  // track short (its final files may not all exist).
  bool keepTrack = false;
};

// Turns one queued track into its final files.
class ITrackProcessor {
 public:
  virtual ~ITrackProcessor() = default;
  // The track is read as the entry says it was written (its capture rate
  // and header form). It is removed from the queue afterwards whatever
  // happened.
  virtual TrackResult ProcessTrack(const QueueEntry& entry, IWorkerWindow& window) = 0;
  // The worker hands over its stop request before its thread starts, and
  // takes it back (null) when it is destroyed. A long step that sees it set
  // gives up and leaves the track as it was.
  virtual void WatchStopRequest(const std::atomic<bool>* /*stop*/) {}
};

class ConversionWorker {
 public:
  ConversionWorker(IWorkerWindow& window, ITrackProcessor& processor)
      : m_window(window), m_processor(processor) {}
  ~ConversionWorker();
  ConversionWorker(const ConversionWorker&) = delete;
  ConversionWorker& operator=(const ConversionWorker&) = delete;

  // Starts the thread at the Windows-style priority (-15 idle, 0 normal).
  // False, with *error saying why, when the system gives no thread.
  bool Start(int threadPriority, std::string* error = nullptr);
  // Set by the thread before its first wait.
  bool Started() const { return m_bStarted.load(); }
  // Makes the worker end at its next look at the queue, leaving waiting
  // tracks untouched on disk.
  void RequestStop();
  bool StopRequested() const { return m_bStopRequested.load(); }
  // Waits at most `timeout` for the thread to end; true when it has ended.
  bool WaitEnded(std::chrono::milliseconds timeout);
  // Waits for the thread to end and reaps it.
  void Join();
  bool Running() const { return m_thread.Joinable() && !m_bEnded.load(); }

 private:
  int ConversionWorkerProc(int threadPriority);

  IWorkerWindow& m_window;
  ITrackProcessor& m_processor;
  platform::Thread m_thread;
  std::atomic<bool> m_bStarted{false};
  std::atomic<bool> m_bEnded{false};
  std::atomic<bool> m_bStopRequested{false};
};

}  // namespace mivo
