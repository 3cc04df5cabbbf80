// Dialogs: a template plus a class with initialisation, command, timer and
// message handlers, run modally by a host.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ui/window.h"

namespace mivo::ui {

class CDialog {
 public:
  explicit CDialog(const DialogTemplate& tmpl) : m_template(tmpl) {}
  virtual ~CDialog() = default;
  CDialog(const CDialog&) = delete;
  CDialog& operator=(const CDialog&) = delete;

  const DialogTemplate& Template() const { return m_template; }

  // Called by the host once the window exists, before it is shown.
  // Returning false ends the dialog before it is shown, with IDCANCEL.
  virtual bool OnInitDialog() { return true; }
  // WM_COMMAND from a control. The default ends the dialog for IDOK/IDCANCEL.
  virtual void OnCommand(int id, int code);
  virtual void OnTimer(int /*timerId*/) {}
  // Posted messages (WM_USER and above, MM_WIM_DATA, ...). WM_CLOSE goes to OnClose.
  virtual void OnMessage(unsigned /*msg*/, std::uintptr_t /*wParam*/, std::intptr_t /*lParam*/) {}
  // Enter and Escape; the defaults end the dialog with IDOK and IDCANCEL.
  virtual void OnOK() { Wnd().EndDialog(IDOK); }
  virtual void OnCancel() { Wnd().EndDialog(IDCANCEL); }
  // The close box or a posted WM_CLOSE; the default is OnCancel.
  virtual void OnClose() { OnCancel(); }
  // Called by the host after the modal run ended, while the window still exists.
  virtual void OnDestroy() {}

  // Host side.
  void Attach(IWindow* window) { m_window = window; }
  bool IsAttached() const { return m_window != nullptr; }
  IWindow& Wnd() const { return *m_window; }

 private:
  const DialogTemplate& m_template;
  IWindow* m_window = nullptr;
};

// A message box or nested dialog on the screen, as `mivo --command status`
// tells it to someone who cannot see the screen.
struct OpenModal {
  bool box = true;       // a message box; otherwise a dialog or folder chooser
  std::string caption;   // the title bar
  std::string text;      // a box's text ("\n" between lines)
  unsigned type = 0;     // a box's MB_* buttons and icon
};

// Runs dialogs. One host per program; the Qt host shows real widgets, the
// headless host keeps the state in memory for tests.
class IDialogHost {
 public:
  virtual ~IDialogHost() = default;

  // Creates the window from the dialog's template, attaches it, calls
  // OnInitDialog, runs it until EndDialog and then calls OnDestroy.
  // Returns the EndDialog result. `parent` is the owner or nullptr.
  virtual int DoModal(CDialog& dialog, IWindow* parent) = 0;

  // A message box without an owner window (any thread; blocks only the
  // caller). An empty caption is kAppTitle.
  virtual int MessageBox(std::string_view text, std::string_view caption, unsigned type) = 0;
  // The same box, closing itself after `timeoutMs` with MB_TIMEDOUT unless it
  // was answered before; while open it is listed and answered like any
  // other. A host whose boxes never wait for anyone may keep this default.
  virtual int MessageBoxTimeout(std::string_view text, std::string_view caption, unsigned type,
                                unsigned timeoutMs) {
    static_cast<void>(timeoutMs);
    return MessageBox(text, caption, type);
  }

  // The shell folder browser: the chosen folder, or nothing when cancelled.
  virtual std::optional<std::string> BrowseForFolder(IWindow* owner, std::string_view title,
                                                     std::string_view initialFolder) = 0;

  // Closes every open message box and nested dialog (as cancelled) so that
  // the outermost modal run can end promptly. Any thread.
  virtual void CancelModals() = 0;

  // GUI thread. The message boxes (those other threads wait for included)
  // and the dialogs open above the outermost window, oldest first.
  virtual std::vector<OpenModal> OpenModals() const { return {}; }
  // GUI thread. Answers the newest open box with `answer` (IDOK, IDCANCEL,
  // ...) as a click on that button would; with no box open, IDCANCEL closes
  // the newest dialog as its cancel button would. False when there is
  // nothing to answer or it has no such button.
  virtual bool AnswerModal(int /*answer*/) { return false; }
};

}  // namespace mivo::ui
