// A dialog with every kind of control that runs a test script inside its
// modal run and records what reaches it, plus helpers to reach its widgets.
#pragma once

#include <QMessageBox>
#include <QString>
#include <QWidget>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/ui/dialog.h"
#include "platform/ui/qt/qt_dialog_host.h"

namespace mivo::ui::testing {

// Control ids of the test template.
enum : int {
  kRec = 1000, kTrackName = 1002, kPrefix = 1003, kHours = 1032, kLog = 1060,
  kWav = 1013, kStamp = 1023, kLevel = 1008, kSpectrum = 1009, kModeA = 1100, kModeB = 1101,
  kPassName = 1050, kFrame = 1200, kStageBar = 1018, kTrackBar = 1022, kForce = 1072,
  kList = 1080, kDate = 1035, kTime = 1031, kIcon = 1090, kCanvas = 1095, kAbout = 1040,
};
inline constexpr unsigned kRunScript = WM_USER + 100;
inline constexpr int kCanvasX = 200, kCanvasY = 300, kCanvasW = 128, kCanvasH = 16;

const DialogTemplate& TestTemplate();

class ScriptDialog : public CDialog {
 public:
  explicit ScriptDialog(const DialogTemplate& tmpl = TestTemplate()) : CDialog(tmpl) {}

  // Runs once the modal run has started; the dialog ends with IDOK after it
  // unless `endAfterScript` is false or the script ended it.
  std::function<void(ScriptDialog&)> script;
  bool endAfterScript = true;
  // Replace the default handlers when set.
  std::function<void()> onOK, onCancel, onClose;
  std::function<void(int id, int code)> onCommand;

  // "cmd <id> <code>", "timer <id>", "msg <msg> <wParam> <lParam>", "close",
  // "ok", "cancel", in arrival order. Guarded: worker threads read it.
  std::vector<std::string> Log() const;
  int Count(const std::string& entry) const;
  void Record(const std::string& entry);

  bool OnInitDialog() override;
  void OnCommand(int id, int code) override;
  void OnTimer(int timerId) override;
  void OnMessage(unsigned msg, std::uintptr_t wParam, std::intptr_t lParam) override;
  void OnOK() override;
  void OnCancel() override;
  void OnClose() override;

 private:
  mutable std::mutex m_mutex;
  std::vector<std::string> m_log;
  bool m_ran = false;
};

// Spins the event loop until `done` or `ms` milliseconds passed.
bool WaitFor(const std::function<bool()>& done, int ms = 5000);

// The widget of control `id` of a host window.
template <class W>
W* WidgetOf(IWindow& window, int id) {
  auto* dialog = dynamic_cast<QWidget*>(&window);
  return dialog != nullptr ? dialog->findChild<W*>(QStringLiteral("mivo_ctl_%1").arg(id)) : nullptr;
}

// The message box on screen, or nullptr.
QMessageBox* VisibleBox();

}  // namespace mivo::ui::testing
