// A recorder window for the worker's tests: the four controls the worker
// writes, a settings record published under a lock, the queue, and a
// headless host that answers and records message boxes.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "convert/conversion_worker.h"
#include "platform/ui/headless/headless_host.h"
#include "settings/recorder_ids.h"

namespace mivo::testing {

inline const ui::DialogTemplate& WorkerControls() {
  static const ui::DialogTemplate t = [] {
    ui::DialogTemplate d;
    d.id = 1;
    for (int id : {IDC_REMAINING, IDC_STAGE_LABEL}) d.controls.push_back({id, ui::ControlKind::Edit, "", {}, 0, 0});
    for (int id : {IDC_TRACK_PROGRESS, IDC_STAGE_PROGRESS})
      d.controls.push_back({id, ui::ControlKind::ProgressBar, "", {}, 0, 0});
    return d;
  }();
  return t;
}

// Records what reaches the window's message queue.
struct ProbeDialog : ui::CDialog {
  ProbeDialog() : ui::CDialog(WorkerControls()) {}
  void OnMessage(unsigned msg, std::uintptr_t, std::intptr_t) override { messages.push_back(msg); }
  void OnClose() override { messages.push_back(ui::WM_CLOSE); }
  std::vector<unsigned> messages;
};

class WorkerWindow : public IWorkerWindow {
 public:
  WorkerWindow() : m_window(m_host.Open(m_dialog)) {}
  ~WorkerWindow() override { m_host.Destroy(m_window); }

  ConversionQueue& Queue() override { return m_queue; }
  RecorderSettings SettingsSnapshot() const override {
    std::lock_guard lock(m_mtx);
    return m_settings;
  }
  int TimerState() const override { return m_nTimerState; }
  ui::IWindow& Window() override { return m_window; }
  ui::IDialogHost& Host() override { return m_host; }
  void LogLine(std::string_view line) override {
    std::lock_guard lock(m_mtx);
    m_logLines.emplace_back(line);
  }
  std::vector<std::string> LogLines() const {
    std::lock_guard lock(m_mtx);
    return m_logLines;
  }

  void Change(const std::function<void(RecorderSettings&)>& change) {
    std::lock_guard lock(m_mtx);
    change(m_settings);
  }

  ui::HeadlessHost m_host;
  ProbeDialog m_dialog;
  ui::HeadlessWindow& m_window;
  ConversionQueue m_queue;
  mutable std::mutex m_mtx;
  RecorderSettings m_settings;
  std::vector<std::string> m_logLines;
  std::atomic<int> m_nTimerState{0};
};

}  // namespace mivo::testing
