// One dialog window of the Qt host: the widgets of a template, addressed by
// control id, with the dialog's handlers fed from Qt's signals and events.
#pragma once

#include <QDate>
#include <QDialog>
#include <QIcon>

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/ui/dialog.h"
#include "platform/ui/qt/gui_call.h"
#include "platform/ui/window.h"

class QRadioButton;
class QTimer;

namespace mivo::ui::qthost {

class DrawOverlay;
class ModalTracker;

class QtWindow final : public QDialog, public IWindow {
 public:
  // Builds the window and its controls from dialog.Template(). GUI thread.
  QtWindow(CDialog& dialog, QtWindow* parent, ModalTracker& tracker, const QIcon& icon);
  ~QtWindow() override;

  // Attaches the dialog, calls OnInitDialog, runs the window modally until
  // EndDialog and calls OnDestroy. Afterwards the window no longer calls the
  // dialog; the caller destroys the window and detaches the dialog.
  int Run();

  // IWindow.
  void SetDlgItemText(int id, std::string_view text) override;
  std::string GetDlgItemText(int id) const override;
  void EnableDlgItem(int id, bool enable) override;
  void SetFocus(int id) override;
  bool IsDlgItemEnabled(int id) const override;
  void CheckDlgButton(int id, bool checked) override;
  bool IsDlgButtonChecked(int id) const override;
  void ResetContent(int id) override;
  int AddString(int id, std::string_view text) override;
  void SetCurSel(int id, int index) override;
  int GetCurSel(int id) const override;
  int GetCount(int id) const override;
  std::string GetItemText(int id, int index) const override;
  void SetProgressRange(int id, int low, int high) override;
  void SetProgressPos(int id, int pos) override;
  void SetPickerTime(int id, const PickerTime& t) override;
  PickerTime GetPickerTime(int id) const override;
  void FillSolidRect(int x, int y, int w, int h, Color color) override;
  void SetTimer(int timerId, unsigned ms) override;
  void KillTimer(int timerId) override;
  void PostMessage(unsigned msg, std::uintptr_t wParam, std::intptr_t lParam) override;
  int MessageBox(std::string_view text, std::string_view caption, unsigned type) override;
  void EndDialog(int result) override;
  void BeginWaitCursor() override;
  void EndWaitCursor() override;

  // Enter and Escape become IDOK and IDCANCEL commands; they never close the
  // window by themselves.
  void accept() override;
  void reject() override;

 protected:
  bool event(QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  // The close box asks the dialog (OnClose); only EndDialog closes.
  void closeEvent(QCloseEvent* event) override;

 private:
  struct Control {
    ControlKind kind = ControlKind::Static;
    unsigned style = 0;
    QWidget* widget = nullptr;
    std::string text;            // the text as set (an edit's bytes, before the user's changes)
    int group = 0;               // radio buttons
    int low = 0, high = 100;     // progress bars
    int pos = 0;
    QDate date;                  // time pickers keep the date they were given
    bool none = false;           // pickers: "no date" was set and nothing since
  };

  void BuildControls(const DialogTemplate& tmpl, const QIcon& icon);
  void Connect(int id, Control& control);
  void Command(int id, int code);
  void DeliverPosted(unsigned msg, std::uintptr_t wParam, std::intptr_t lParam);
  void CheckRadio(QRadioButton* radio, int group);
  static void ShowProgress(const Control& control);
  Control* Find(int id);
  const Control* Find(int id) const;
  // The widget of a control when it is a W, else nullptr.
  template <class W>
  W* WidgetOf(int id) const {
    const Control* control = Find(id);
    return control != nullptr ? qobject_cast<W*>(control->widget) : nullptr;
  }
  QtWindow* Self() const { return const_cast<QtWindow*>(this); }

  // From another thread: queues the call to the GUI thread and returns true.
  template <class F>
  bool QueuedFromOtherThread(F&& call) {
    if (IsGuiThread()) return false;
    PostToGui(this, std::forward<F>(call));
    return true;
  }

  CDialog* m_dialog;
  ModalTracker& m_tracker;
  std::map<int, Control> m_controls;
  std::vector<std::pair<int, QRadioButton*>> m_radios;  // group, button
  std::map<int, QTimer*> m_timers;
  DrawOverlay* m_overlay = nullptr;
  bool m_running = false;
  bool m_ended = false;
  int m_waitCursors = 0;  // begun and not ended (restored when the window goes)
  int m_result = IDCANCEL;
};

}  // namespace mivo::ui::qthost
