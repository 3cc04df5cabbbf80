// The host's view of what is modal: the stack of running windows, the open
// message boxes and folder choosers, the boxes other threads wait for, and
// whether CancelModals has begun the shutdown.
#pragma once

#include <QDialog>
#include <QFont>
#include <QMessageBox>
#include <QObject>
#include <QPointer>

#include <chrono>
#include <memory>
#include <optional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ui/qt/gui_call.h"
#include "platform/ui/dialog.h"
#include "platform/ui/qt/message_box.h"

namespace mivo::ui::qthost {

class QtWindow;

class ModalTracker {
 public:
  ModalTracker();
  ~ModalTracker();
  ModalTracker(const ModalTracker&) = delete;
  ModalTracker& operator=(const ModalTracker&) = delete;

  // A modal message box owned by `owner` (a window, or nullptr). On the GUI
  // thread it runs a nested loop; from another thread the box is queued to
  // the GUI thread (behind that thread's earlier calls to the owner) and only
  // the caller waits. During shutdown it answers at once with CancelAnswer.
  // With a bound the box closes itself then and answers MB_TIMEDOUT.
  int MessageBox(QWidget* owner, std::string_view text, std::string_view caption, unsigned type,
                 std::optional<std::chrono::milliseconds> bound = std::nullopt);

  // Any thread: answers the waiting boxes, then closes every open box and
  // folder chooser and ends every window above the outermost with IDCANCEL.
  void CancelModals();
  bool ShuttingDown() const;

  // GUI thread: what is open above the outermost window, and answering it
  // (see IDialogHost::OpenModals and AnswerModal).
  std::vector<OpenModal> OpenModals() const;
  bool AnswerModal(int answer);

  // GUI thread.
  void PushWindow(QtWindow* window);
  void PopWindow(QtWindow* window);
  void TrackDialog(QDialog* dialog);
  const QFont& BoxFont() const { return m_boxFont; }

 private:
  int RunOnGuiThread(QWidget* owner, std::string_view text, std::string_view caption,
                     unsigned type, std::optional<std::chrono::milliseconds> bound);
  void ShowForOtherThread(const std::shared_ptr<BoxRequest>& request, QWidget* owner,
                          const std::string& text, const std::string& caption);
  void Forget(const std::shared_ptr<BoxRequest>& request);
  // Closes the box shown for a waiter whose time was up.
  void CloseBoxOf(const std::shared_ptr<BoxRequest>& request);
  void CloseOpenModals();
  void AnswerWaiting();

  mutable std::mutex m_mutex;  // guards m_shuttingDown and m_waiting
  bool m_shuttingDown = false;
  std::vector<std::weak_ptr<BoxRequest>> m_waiting;

  // GUI thread only.
  QFont m_boxFont;
  struct OpenBox {
    QPointer<QMessageBox> box;
    unsigned type = 0;
    std::weak_ptr<BoxRequest> request;  // the waiter of another thread, if any
  };
  std::vector<OpenBox> m_openBoxes;
  std::vector<QPointer<QDialog>> m_openDialogs;
  std::vector<QtWindow*> m_windows;
  std::unique_ptr<GuiInvoker> m_invoker;  // last member: its queued calls go first
};

}  // namespace mivo::ui::qthost
