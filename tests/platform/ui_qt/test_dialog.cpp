#include "test_dialog.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>

namespace mivo::ui::testing {

namespace {

constexpr int kWatchdogTimer = 9999;
constexpr unsigned kWatchdogMs = 30000;

DialogTemplate MakeTemplate() {
  DialogTemplate t;
  t.id = 900;
  t.title = "テスト窓";
  t.width = 260;
  t.height = 200;
  using K = ControlKind;
  t.controls = {
      {kRec, K::Button, "REC", {5, 5, 40, 14}},
      {IDOK, K::DefButton, "OK", {50, 5, 40, 14}},
      {IDCANCEL, K::Button, "キャンセル", {95, 5, 40, 14}},
      {kAbout, K::Button, "About...", {140, 5, 50, 14}, kDisabled},
      {kTrackName, K::Edit, "", {5, 25, 120, 12}, kReadOnly},
      {kPrefix, K::Edit, "rec", {130, 25, 60, 12}, 0, 8},
      {kHours, K::Edit, "0", {195, 25, 30, 12}, kNumber},
      {kLog, K::Edit, "", {5, 42, 120, 30}, kMultiLine | kVScroll},
      {kFrame, K::GroupBox, "変換", {130, 40, 125, 60}},
      {kWav, K::CheckBox, "WAV", {135, 50, 50, 10}},
      {kStamp, K::CheckBox, "タイムスタンプを\n録音開始時刻に", {135, 62, 100, 20},
       kMultiLine},
      {kLevel, K::RadioButton, "LEVEL", {5, 78, 50, 10}, kGroup},
      {kSpectrum, K::RadioButton, "SPECTRUM", {60, 78, 60, 10}},
      {kModeA, K::RadioButton, "A", {135, 85, 40, 10}, kGroup},
      {kModeB, K::RadioButton, "B", {180, 85, 40, 10}},
      {kPassName, K::Static, "-", {5, 92, 100, 8}},
      {kStageBar, K::ProgressBar, "", {5, 104, 120, 8}},
      {kTrackBar, K::ProgressBar, "", {5, 114, 120, 8}},
      {kForce, K::DropList, "通常\nFORCE\nFORCEIFHUNG ", {135, 104, 80, 60}},
      {kList, K::ListBox, "いち\nに\nさん", {5, 125, 80, 40}, kVScroll},
      {kDate, K::DatePicker, "", {90, 125, 60, 12}},
      {kTime, K::TimePicker, "", {155, 125, 50, 12}},
      {kIcon, K::Icon, "", {215, 125, 20, 20}},
      {kCanvas, K::Canvas, "", {kCanvasX, kCanvasY, kCanvasW, kCanvasH}},
      {-1, K::Static, "入力", {150, 170, 40, 8}},
  };
  return t;
}

}  // namespace

const DialogTemplate& TestTemplate() {
  static const DialogTemplate tmpl = MakeTemplate();
  return tmpl;
}

std::vector<std::string> ScriptDialog::Log() const {
  std::lock_guard lock(m_mutex);
  return m_log;
}

int ScriptDialog::Count(const std::string& entry) const {
  std::lock_guard lock(m_mutex);
  return static_cast<int>(std::count(m_log.begin(), m_log.end(), entry));
}

void ScriptDialog::Record(const std::string& entry) {
  std::lock_guard lock(m_mutex);
  m_log.push_back(entry);
}

bool ScriptDialog::OnInitDialog() {
  Wnd().SetTimer(kWatchdogTimer, kWatchdogMs);
  Wnd().PostMessage(kRunScript, 0, 0);
  return true;
}

void ScriptDialog::OnCommand(int id, int code) {
  Record("cmd " + std::to_string(id) + " " + std::to_string(code));
  onCommand ? onCommand(id, code) : CDialog::OnCommand(id, code);
}

void ScriptDialog::OnTimer(int timerId) {
  if (timerId == kWatchdogTimer) {
    ADD_FAILURE() << "the dialog's script did not end";
    Wnd().EndDialog(-2);
    return;
  }
  Record("timer " + std::to_string(timerId));
}

void ScriptDialog::OnMessage(unsigned msg, std::uintptr_t wParam, std::intptr_t lParam) {
  if (msg == kRunScript && !m_ran) {
    m_ran = true;
    if (script) script(*this);
    if (endAfterScript) Wnd().EndDialog(IDOK);
    return;
  }
  Record("msg " + std::to_string(msg) + " " + std::to_string(wParam) + " " +
         std::to_string(lParam));
}

void ScriptDialog::OnOK() {
  Record("ok");
  onOK ? onOK() : CDialog::OnOK();
}

void ScriptDialog::OnCancel() {
  Record("cancel");
  onCancel ? onCancel() : CDialog::OnCancel();
}

void ScriptDialog::OnClose() {
  Record("close");
  onClose ? onClose() : CDialog::OnClose();
}

bool WaitFor(const std::function<bool()>& done, int ms) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() > ms) return false;
    QEventLoop loop;
    QTimer::singleShot(2, &loop, &QEventLoop::quit);
    loop.exec();
  }
  return true;
}

QMessageBox* VisibleBox() {
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    auto* box = qobject_cast<QMessageBox*>(widget);
    if (box != nullptr && box->isVisible()) return box;
  }
  return nullptr;
}

}  // namespace mivo::ui::testing
