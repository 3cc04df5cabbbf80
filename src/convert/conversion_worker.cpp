#include "convert/conversion_worker.h"

#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include "convert/step_ledger.h"
#include "platform/sync/thread.h"
#include "settings/recorder_ids.h"

namespace mivo {

ConversionWorker::~ConversionWorker() {
  if (m_thread.Joinable()) {
    RequestStop();
    m_thread.Join();
  }
  m_processor.WatchStopRequest(nullptr);
}

bool ConversionWorker::Start(int threadPriority, std::string* error) {
  if (m_thread.Joinable()) return false;
  m_processor.WatchStopRequest(&m_bStopRequested);
  return m_thread.Start([this, threadPriority] { ConversionWorkerProc(threadPriority); }, error);
}

void ConversionWorker::RequestStop() {
  m_bStopRequested = true;
  m_window.Queue().m_evQueue.Pulse();
}

bool ConversionWorker::WaitEnded(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!m_bEnded.load()) {
    if (!m_thread.Joinable()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    platform::Sleep(5);
  }
  return true;
}

void ConversionWorker::Join() {
  m_thread.Join();
}

int ConversionWorker::ConversionWorkerProc(int threadPriority) {
  // A priority the system refuses leaves the thread at the normal one.
  platform::SetCurrentThreadPriority(threadPriority);
  ConversionQueue& queue = m_window.Queue();
  ui::IWindow& window = m_window.Window();

  m_bStarted = true;
  bool bEnd = false;
  for (;;) {
    queue.m_evQueue.Wait();
    for (;;) {
      QueueEntry entry;
      {
        std::lock_guard lock(queue.m_mtxQueue);
        if (queue.EmptyLocked() || m_bStopRequested) {
          bEnd = true;
          break;
        }
        entry = queue.FrontLocked();
      }

      const TrackResult result = m_processor.ProcessTrack(entry, m_window);
      // A track whose processing the stop request cut short stays on disk
      // whatever RecWav says: its final files may not all exist.
      const bool interrupted = m_bStopRequested.load();

      std::size_t remaining = 0;
      {
        const bool keepWav = m_window.SettingsSnapshot().RecWav || interrupted || result.keepTrack;
        std::lock_guard lock(queue.m_mtxQueue);
        if (!keepWav) {
          std::error_code ec;  // a failed deletion is not reported
          std::filesystem::remove(queue.m_arrQueueFile.front(), ec);
        }
        queue.PopFrontLocked();
        remaining = queue.m_arrQueueFile.size();
      }
      // A track whose processing ended leaves the journal; one cut short
      // stays there for the next start.
      if (!interrupted) {
        if (IStepLedger* ledger = m_window.Ledger()) ledger->Removed(entry);
      }
      window.PostMessage(WM_APP_QUEUE_CHANGED, remaining, 0);
      window.SetProgressPos(IDC_TRACK_PROGRESS, 0);
      window.SetProgressPos(IDC_STAGE_PROGRESS, 0);
      window.SetDlgItemText(IDC_STAGE_LABEL, "-");
      if (remaining == 0) break;
    }

    if (m_bStopRequested) break;
    if (m_window.TimerState() == 3) {
      const bool powerDown = m_window.SettingsSnapshot().TM_POWERDOWN;
      window.PostMessage(powerDown ? WM_APP_POWEROFF : ui::WM_CLOSE, 0, 0);
      break;
    }
    if (bEnd) break;
  }
  m_bEnded = true;
  return 0;
}

}  // namespace mivo
