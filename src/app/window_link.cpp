#include "app/window_link.h"

#include "settings/recorder_ids.h"

namespace mivo {
namespace {

struct AnswerWord {
  std::string_view word;
  int answer;
};
constexpr AnswerWord kWords[] = {{"ok", ui::IDOK},         {"cancel", ui::IDCANCEL}, {"yes", ui::IDYES},
                                 {"no", ui::IDNO},         {"abort", ui::IDABORT},   {"retry", ui::IDRETRY},
                                 {"ignore", ui::IDIGNORE}};

// The answers a box of `type` offers, in the order of its buttons.
std::vector<int> AnswersOf(unsigned type) {
  switch (type & ui::MB_TYPEMASK) {
    case ui::MB_OKCANCEL: return {ui::IDOK, ui::IDCANCEL};
    case ui::MB_ABORTRETRYIGNORE: return {ui::IDABORT, ui::IDRETRY, ui::IDIGNORE};
    case ui::MB_YESNOCANCEL: return {ui::IDYES, ui::IDNO, ui::IDCANCEL};
    case ui::MB_YESNO: return {ui::IDYES, ui::IDNO};
    case ui::MB_RETRYCANCEL: return {ui::IDRETRY, ui::IDCANCEL};
    default: return {ui::IDOK};
  }
}

std::string_view WordOf(int answer) {
  for (const AnswerWord& w : kWords) {
    if (w.answer == answer) return w.word;
  }
  return "?";
}

}  // namespace

std::optional<int> AnswerOfWord(std::string_view word) {
  for (const AnswerWord& w : kWords) {
    if (w.word == word) return w.answer;
  }
  return std::nullopt;
}

std::string DescribeOpenModals(const std::vector<ui::OpenModal>& open) {
  std::string text;
  for (const ui::OpenModal& m : open) {
    text += (m.box ? "box: " : "dialog: ") + m.caption + "\n";
    std::string_view rest = m.text;
    while (!rest.empty()) {
      const std::size_t end = rest.find('\n');
      text += "  " + std::string(rest.substr(0, end)) + "\n";
      rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    }
    text += "  answer:";
    for (const int answer : m.box ? AnswersOf(m.type) : std::vector<int>{ui::IDCANCEL}) {
      text += " " + std::string(WordOf(answer));
    }
    text += "\n";
  }
  return text;
}

void WindowLink::Attach(ui::IWindow& window) {
  bool terminate = false;
  {
    std::lock_guard lock(m_mtx);
    m_pWindow = &window;
    terminate = m_bTerminate;
  }
  if (terminate) window.PostMessage(WM_APP_TERMINATE, 0, 0);
}

void WindowLink::Detach() {
  std::lock_guard lock(m_mtx);
  m_pWindow = nullptr;
  for (auto& request : m_pending) {
    request->reply = RemoteReply{1, "the recorder is closing"};
    request->done = true;
  }
  m_pending.clear();
  m_cv.notify_all();
}

RemoteReply WindowLink::Submit(const std::string& command, std::chrono::milliseconds timeout) {
  auto request = std::make_shared<Request>();
  request->command = command;
  std::unique_lock lock(m_mtx);
  if (!m_pWindow) return RemoteReply{1, "the recorder is not ready"};
  m_pending.push_back(request);
  m_pWindow->PostMessage(WM_APP_REMOTE, 0, 0);
  if (!m_cv.wait_for(lock, timeout, [&] { return request->done; })) {
    std::erase(m_pending, request);
    return RemoteReply{1, "the recorder did not answer in time"};
  }
  return request->reply;
}

void WindowLink::Serve(CRecorderDlg& dlg) {
  for (;;) {
    std::shared_ptr<Request> request;
    {
      std::lock_guard lock(m_mtx);
      if (m_pending.empty()) return;
      request = m_pending.front();
      m_pending.pop_front();
    }
    RemoteReply reply = dlg.HandleRemoteCommand(request->command);
    {
      std::lock_guard lock(m_mtx);
      request->reply = std::move(reply);
      request->done = true;
    }
    m_cv.notify_all();
  }
}

void WindowLink::RequestTerminate() {
  ui::IWindow* window = nullptr;
  {
    std::lock_guard lock(m_mtx);
    if (m_bTerminate) return;
    m_bTerminate = true;
    window = m_pWindow;
    // Posting under the lock keeps the window from going in between.
    if (window) window->PostMessage(WM_APP_TERMINATE, 0, 0);
  }
  m_host.CancelModals();
}

bool WindowLink::TerminateRequested() const {
  std::lock_guard lock(m_mtx);
  return m_bTerminate;
}

}  // namespace mivo
