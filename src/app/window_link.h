// Hands requests from other threads (the command server, the signal
// watcher) to the recorder window, which serves them on its own thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/recorder_dlg.h"
#include "platform/ui/dialog.h"
#include "platform/ui/window.h"

namespace mivo {

// `mivo --command answer WORD`: the words and the answers they give.
inline constexpr const char* kAnswerWords = "ok, cancel, yes, no, abort, retry or ignore";
std::optional<int> AnswerOfWord(std::string_view word);

// What `mivo --command status` adds about open boxes and dialogs: for each,
// "box: CAPTION" or "dialog: TITLE", its text lines indented, and the words
// that answer it.
std::string DescribeOpenModals(const std::vector<ui::OpenModal>& open);

class WindowLink {
 public:
  explicit WindowLink(ui::IDialogHost& host) : m_host(host) {}

  // Window thread: the window is up and serves requests from now on. A
  // termination asked for before is delivered at once.
  void Attach(ui::IWindow& window);
  // Window thread: the window is going; waiting requests are answered.
  void Detach();

  // Any thread: hands a command to the window and waits for its reply.
  RemoteReply Submit(const std::string& command, std::chrono::milliseconds timeout);
  // Window thread, on WM_APP_REMOTE: serves the waiting requests.
  void Serve(CRecorderDlg& dlg);

  // Any thread: asks the window to end now (SIGTERM). Before the window is
  // up the request is kept and delivered by Attach.
  void RequestTerminate();
  bool TerminateRequested() const;

 private:
  struct Request {
    std::string command;
    RemoteReply reply;
    bool done = false;
  };

  ui::IDialogHost& m_host;
  mutable std::mutex m_mtx;
  std::condition_variable m_cv;
  ui::IWindow* m_pWindow = nullptr;
  std::deque<std::shared_ptr<Request>> m_pending;
  bool m_bTerminate = false;
};

}  // namespace mivo
