#include "platform/ui/qt/qt_window.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QLocale>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QTimer>

#include <algorithm>
#include <climits>
#include <utility>

#include "platform/ui/qt/draw_overlay.h"
#include "platform/ui/qt/japanese_font.h"
#include "platform/ui/qt/modal_tracker.h"
#include "platform/ui/qt/qt_controls.h"

namespace mivo::ui::qthost {

namespace {

// Windows runs shorter window timers at this period.
constexpr unsigned kMinTimerMs = 10;

bool IsAddressable(int id) { return id != 0 && id != -1; }

bool IsButtonKind(ControlKind kind) {
  return kind == ControlKind::Button || kind == ControlKind::DefButton ||
         kind == ControlKind::CheckBox || kind == ControlKind::RadioButton;
}

int ClampToRange(int pos, int low, int high) {
  return high > low ? std::clamp(pos, low, high) : low;
}

Qt::WindowFlags FlagsFor(const QtWindow* parent) {
  Qt::WindowFlags flags = Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
  if (parent == nullptr) flags |= Qt::WindowMinimizeButtonHint;
  return flags;
}

}  // namespace

QtWindow::QtWindow(CDialog& dialog, QtWindow* parent, ModalTracker& tracker, const QIcon& icon)
    : QDialog(parent, FlagsFor(parent)), m_dialog(&dialog), m_tracker(tracker) {
  const DialogTemplate& tmpl = dialog.Template();
  setWindowTitle(FromUtf8(tmpl.title));
  setWindowIcon(icon);
  const QFont font = JapaneseFont(FromUtf8(tmpl.font), tmpl.pointSize);
  if (!HasJapaneseGlyphs(font)) {
    qWarning("mivo: no installed font shows Japanese; install fonts-vlgothic");
  }
  setFont(font);
  setLocale(QLocale(QLocale::Japanese, QLocale::Japan));
  const QSize client(tmpl.width * kPixelsPerUnit, tmpl.height * kPixelsPerUnit);
  setFixedSize(client);
  BuildControls(tmpl, icon);
  m_overlay = new DrawOverlay(this, client);
  m_overlay->raise();
}

QtWindow::~QtWindow() {
  while (m_waitCursors > 0) EndWaitCursor();
}

void QtWindow::BuildControls(const DialogTemplate& tmpl, const QIcon& icon) {
  int group = 0;
  for (const ControlTemplate& c : tmpl.controls) {
    if ((c.style & kGroup) != 0) ++group;
    QWidget* widget = CreateControl(c, this, icon);
    if (c.kind == ControlKind::RadioButton) {
      m_radios.emplace_back(group, static_cast<QRadioButton*>(widget));
    }
    Control control;
    control.kind = c.kind;
    control.style = c.style;
    control.widget = widget;
    control.text = c.text;
    control.group = group;
    control.date = QDate::currentDate();
    // Win32 finds the first control of an id; a duplicate stays unaddressable.
    if (!IsAddressable(c.id) || m_controls.count(c.id) != 0) {
      if (c.kind == ControlKind::RadioButton) Connect(0, control);
      continue;
    }
    auto [it, inserted] = m_controls.emplace(c.id, std::move(control));
    Connect(c.id, it->second);
  }
}

void QtWindow::Connect(int id, Control& control) {
  QWidget* widget = control.widget;
  switch (control.kind) {
    case ControlKind::Button:
    case ControlKind::DefButton:
    case ControlKind::CheckBox:
      connect(static_cast<QAbstractButton*>(widget), &QAbstractButton::clicked, this,
              [this, id] { Command(id, BN_CLICKED); });
      break;
    case ControlKind::RadioButton: {
      auto* radio = static_cast<QRadioButton*>(widget);
      const int group = control.group;
      connect(radio, &QAbstractButton::clicked, this, [this, id, radio, group] {
        CheckRadio(radio, group);
        if (IsAddressable(id)) Command(id, BN_CLICKED);
      });
      break;
    }
    case ControlKind::Edit:
      // Each change, one stretch at a time, is carried into the bytes, so
      // that what the user leaves alone keeps its bytes (controls live in a
      // map: the reference stays valid).
      if (auto* line = qobject_cast<QLineEdit*>(widget)) {
        connect(line, &QLineEdit::textChanged, this, [this, id, line, &control] {
          control.text = EditBytes(control.text, false, line->text());
          Command(id, EN_CHANGE);
        });
      } else if (auto* plain = qobject_cast<QPlainTextEdit*>(widget)) {
        connect(plain, &QPlainTextEdit::textChanged, this, [this, id, plain, &control] {
          control.text = EditBytes(control.text, true, plain->toPlainText());
          Command(id, EN_CHANGE);
        });
      }
      break;
    case ControlKind::DatePicker:
    case ControlKind::TimePicker: {
      auto* edit = static_cast<QDateTimeEdit*>(widget);
      // A value the user gives ends "no date".
      connect(edit, &QDateTimeEdit::dateTimeChanged, this, [this, id, edit] {
        Control* c = Find(id);
        if (c == nullptr || !c->none) return;
        c->none = false;
        edit->setSpecialValueText(QString());
      });
      break;
    }
    case ControlKind::DropList:
      connect(static_cast<QComboBox*>(widget), &QComboBox::activated, this,
              [this, id] { Command(id, CBN_SELCHANGE); });
      break;
    case ControlKind::ListBox:
      // Programmatic changes block the list's signals: only the user's count.
      connect(static_cast<QListWidget*>(widget), &QListWidget::itemSelectionChanged, this,
              [this, id] { Command(id, LBN_SELCHANGE); });
      break;
    default:
      break;
  }
}

int QtWindow::Run() {
  m_dialog->Attach(this);
  // Placed now where it will be shown (centred on its owner or the screen),
  // so that a message box of OnInitDialog opens over it, not in the corner
  // where a window that was never shown sits.
  adjustPosition(parentWidget());
  if (!m_dialog->OnInitDialog() && !m_ended) {
    m_ended = true;
    m_result = IDCANCEL;
  }
  if (!m_ended) {
    m_running = true;
    exec();
    m_running = false;
  }
  m_dialog->OnDestroy();
  for (const auto& [timerId, timer] : m_timers) timer->stop();
  m_dialog = nullptr;
  return m_result;
}

void QtWindow::Command(int id, int code) {
  if (m_dialog != nullptr && !m_ended) m_dialog->OnCommand(id, code);
}

void QtWindow::DeliverPosted(unsigned msg, std::uintptr_t wParam, std::intptr_t lParam) {
  if (m_dialog == nullptr || m_ended) return;
  if (msg == WM_CLOSE) {
    m_dialog->OnClose();
  } else if (msg == WM_COMMAND) {
    m_dialog->OnCommand(static_cast<int>(wParam & 0xFFFF),
                        static_cast<int>((wParam >> 16) & 0xFFFF));
  } else {
    m_dialog->OnMessage(msg, wParam, lParam);
  }
}

void QtWindow::CheckRadio(QRadioButton* radio, int group) {
  radio->setChecked(true);
  for (const auto& [otherGroup, other] : m_radios) {
    if (otherGroup == group && other != radio) other->setChecked(false);
  }
}

QtWindow::Control* QtWindow::Find(int id) {
  const auto it = m_controls.find(id);
  return it != m_controls.end() ? &it->second : nullptr;
}

const QtWindow::Control* QtWindow::Find(int id) const {
  const auto it = m_controls.find(id);
  return it != m_controls.end() ? &it->second : nullptr;
}

// ---- Texts, state and lists --------------------------------------------------

void QtWindow::SetDlgItemText(int id, std::string_view text) {
  if (QueuedFromOtherThread([this, id, t = std::string(text)] { SetDlgItemText(id, t); })) return;
  Control* control = Find(id);
  if (control == nullptr) return;
  const bool multiLine = (control->style & kMultiLine) != 0;
  switch (control->kind) {
    case ControlKind::Static:
      static_cast<QLabel*>(control->widget)->setText(DisplayText(text, true));
      break;
    case ControlKind::GroupBox:
      static_cast<QGroupBox*>(control->widget)->setTitle(DisplayText(text, false));
      break;
    case ControlKind::Button:
    case ControlKind::DefButton:
    case ControlKind::CheckBox:
    case ControlKind::RadioButton:
      static_cast<QAbstractButton*>(control->widget)->setText(DisplayText(text, multiLine));
      break;
    case ControlKind::Edit:
      // The bytes first: the change notification reads them back.
      control->text = std::string(text);
      if (auto* line = qobject_cast<QLineEdit*>(control->widget)) {
        line->setText(EditDisplay(text, false));
      } else if (auto* plain = qobject_cast<QPlainTextEdit*>(control->widget)) {
        plain->setPlainText(EditDisplay(text, true));
      }
      return;
    default:
      return;
  }
  control->text = std::string(text);
}

std::string QtWindow::GetDlgItemText(int id) const {
  if (!IsGuiThread()) {
    return CallOnGui<std::string>(Self(), [this, id] { return GetDlgItemText(id); }, {});
  }
  const Control* control = Find(id);
  if (control == nullptr) return {};
  switch (control->kind) {
    case ControlKind::Static:
    case ControlKind::GroupBox:
    case ControlKind::Button:
    case ControlKind::DefButton:
    case ControlKind::CheckBox:
    case ControlKind::RadioButton:
      return control->text;
    case ControlKind::Edit:
      if (auto* line = qobject_cast<QLineEdit*>(control->widget)) return EditBytes(control->text, false, line->text());
      if (auto* plain = qobject_cast<QPlainTextEdit*>(control->widget)) {
        return EditBytes(control->text, true, plain->toPlainText());
      }
      return {};
    case ControlKind::DropList:
      return ToUtf8(static_cast<QComboBox*>(control->widget)->currentText());
    case ControlKind::ListBox: {
      const QList<QListWidgetItem*> selected =
          static_cast<QListWidget*>(control->widget)->selectedItems();
      return selected.isEmpty() ? std::string() : ToUtf8(selected.front()->text());
    }
    case ControlKind::DatePicker:
    case ControlKind::TimePicker:
      return ToUtf8(static_cast<QDateTimeEdit*>(control->widget)->text());
    default:
      return {};
  }
}

void QtWindow::EnableDlgItem(int id, bool enable) {
  if (QueuedFromOtherThread([this, id, enable] { EnableDlgItem(id, enable); })) return;
  if (Control* control = Find(id)) control->widget->setEnabled(enable);
}

void QtWindow::SetFocus(int id) {
  if (QueuedFromOtherThread([this, id] { SetFocus(id); })) return;
  if (Control* control = Find(id)) control->widget->setFocus(Qt::OtherFocusReason);
}

bool QtWindow::IsDlgItemEnabled(int id) const {
  if (!IsGuiThread()) {
    return CallOnGui<bool>(Self(), [this, id] { return IsDlgItemEnabled(id); }, false);
  }
  const Control* control = Find(id);
  return control != nullptr && control->widget->isEnabled();
}

void QtWindow::CheckDlgButton(int id, bool checked) {
  if (QueuedFromOtherThread([this, id, checked] { CheckDlgButton(id, checked); })) return;
  const Control* control = Find(id);
  if (control == nullptr || !IsButtonKind(control->kind)) return;
  auto* button = static_cast<QAbstractButton*>(control->widget);
  if (control->kind == ControlKind::RadioButton && checked) {
    CheckRadio(static_cast<QRadioButton*>(button), control->group);
  } else if (button->isCheckable()) {
    button->setChecked(checked);
  }
}

bool QtWindow::IsDlgButtonChecked(int id) const {
  if (!IsGuiThread()) {
    return CallOnGui<bool>(Self(), [this, id] { return IsDlgButtonChecked(id); }, false);
  }
  const Control* control = Find(id);
  return control != nullptr && IsButtonKind(control->kind) &&
         static_cast<QAbstractButton*>(control->widget)->isChecked();
}

void QtWindow::ResetContent(int id) {
  if (QueuedFromOtherThread([this, id] { ResetContent(id); })) return;
  if (auto* combo = WidgetOf<QComboBox>(id)) {
    const QSignalBlocker blocker(combo);
    combo->clear();
  } else if (auto* list = WidgetOf<QListWidget>(id)) {
    const QSignalBlocker blocker(list);
    list->clear();
  }
}

int QtWindow::AddString(int id, std::string_view text) {
  if (!IsGuiThread()) {
    return CallOnGui<int>(Self(), [this, id, t = std::string(text)] { return AddString(id, t); },
                          -1);
  }
  if (auto* combo = WidgetOf<QComboBox>(id)) {
    const QSignalBlocker blocker(combo);
    const bool noSelection = combo->currentIndex() < 0;
    combo->addItem(FromUtf8(text));
    // QComboBox selects the first item added; a Win32 list keeps none.
    if (noSelection) combo->setCurrentIndex(-1);
    return combo->count() - 1;
  }
  if (auto* list = WidgetOf<QListWidget>(id)) {
    const QSignalBlocker blocker(list);
    list->addItem(FromUtf8(text));
    return list->count() - 1;
  }
  return -1;
}

void QtWindow::SetCurSel(int id, int index) {
  if (QueuedFromOtherThread([this, id, index] { SetCurSel(id, index); })) return;
  if (auto* combo = WidgetOf<QComboBox>(id)) {
    const QSignalBlocker blocker(combo);
    combo->setCurrentIndex(index >= 0 && index < combo->count() ? index : -1);
  } else if (auto* list = WidgetOf<QListWidget>(id)) {
    const QSignalBlocker blocker(list);
    if (index >= 0 && index < list->count()) {
      list->setCurrentRow(index);
    } else {
      list->clearSelection();
      list->setCurrentRow(-1);
    }
  }
}

int QtWindow::GetCurSel(int id) const {
  if (!IsGuiThread()) {
    return CallOnGui<int>(Self(), [this, id] { return GetCurSel(id); }, -1);
  }
  if (auto* combo = WidgetOf<QComboBox>(id)) return combo->currentIndex();
  if (auto* list = WidgetOf<QListWidget>(id)) {
    const QList<QListWidgetItem*> selected = list->selectedItems();
    return selected.isEmpty() ? -1 : list->row(selected.front());
  }
  return -1;
}

int QtWindow::GetCount(int id) const {
  if (!IsGuiThread()) {
    return CallOnGui<int>(Self(), [this, id] { return GetCount(id); }, 0);
  }
  if (auto* combo = WidgetOf<QComboBox>(id)) return combo->count();
  if (auto* list = WidgetOf<QListWidget>(id)) return list->count();
  return 0;
}

std::string QtWindow::GetItemText(int id, int index) const {
  if (!IsGuiThread()) {
    return CallOnGui<std::string>(Self(), [this, id, index] { return GetItemText(id, index); },
                                  {});
  }
  if (auto* combo = WidgetOf<QComboBox>(id)) {
    return index >= 0 && index < combo->count() ? ToUtf8(combo->itemText(index)) : std::string();
  }
  if (auto* list = WidgetOf<QListWidget>(id)) {
    const QListWidgetItem* item = list->item(index);
    return item != nullptr ? ToUtf8(item->text()) : std::string();
  }
  return {};
}

// ---- Progress bars and pickers ----------------------------------------------

void QtWindow::ShowProgress(const Control& control) {
  auto* bar = static_cast<QProgressBar*>(control.widget);
  if (control.high <= control.low) {
    // An empty range shows an empty bar, not Qt's busy indicator.
    bar->setRange(0, 1);
    bar->setValue(0);
    return;
  }
  bar->setRange(control.low, control.high);
  bar->setValue(control.pos);
}

void QtWindow::SetProgressRange(int id, int low, int high) {
  if (QueuedFromOtherThread([this, id, low, high] { SetProgressRange(id, low, high); })) return;
  Control* control = Find(id);
  if (control == nullptr || control->kind != ControlKind::ProgressBar) return;
  control->low = low;
  control->high = high;
  control->pos = ClampToRange(control->pos, low, high);
  ShowProgress(*control);
}

void QtWindow::SetProgressPos(int id, int pos) {
  if (QueuedFromOtherThread([this, id, pos] { SetProgressPos(id, pos); })) return;
  Control* control = Find(id);
  if (control == nullptr || control->kind != ControlKind::ProgressBar) return;
  control->pos = ClampToRange(pos, control->low, control->high);
  ShowProgress(*control);
}

void QtWindow::SetPickerTime(int id, const PickerTime& t) {
  if (QueuedFromOtherThread([this, id, t] { SetPickerTime(id, t); })) return;
  Control* control = Find(id);
  if (control == nullptr) return;
  auto* edit = qobject_cast<QDateTimeEdit*>(control->widget);
  if (edit == nullptr) return;
  if (!t.valid) {
    // Shown as dashes (the minimum's special text) until a value is set:
    // by the program, or by the user, whose first change clears the mark.
    edit->setSpecialValueText(
        QString::fromLatin1(control->kind == ControlKind::TimePicker ? kNoTimeText : kNoDateText));
    edit->setDateTime(edit->minimumDateTime());
    control->none = true;
    return;
  }
  const bool wasNone = std::exchange(control->none, false);
  edit->setSpecialValueText(QString());
  const QDate date(t.year, t.month, t.day);
  const QTime time(t.hour, t.minute, t.second);
  if (control->kind == ControlKind::DatePicker) {
    const QDate keptDate = wasNone ? QDate::currentDate() : edit->date();
    edit->setDateTime(QDateTime(date.isValid() ? date : keptDate, time.isValid() ? time : edit->time(), Qt::UTC));
  } else if (control->kind == ControlKind::TimePicker) {
    // QTimeEdit holds times of one fixed day: the date is kept here.
    if (date.isValid()) control->date = date;
    if (time.isValid()) edit->setTime(time);
  }
}

PickerTime QtWindow::GetPickerTime(int id) const {
  if (!IsGuiThread()) {
    return CallOnGui<PickerTime>(Self(), [this, id] { return GetPickerTime(id); }, {});
  }
  const Control* control = Find(id);
  if (control == nullptr) return {};
  const auto* edit = qobject_cast<const QDateTimeEdit*>(control->widget);
  if (edit == nullptr || control->none) return {};
  QDate date = edit->date();
  if (control->kind == ControlKind::TimePicker) {
    date = control->date;
  } else if (control->kind != ControlKind::DatePicker) {
    return {};
  }
  const QTime time = edit->time();
  return PickerTime{true, date.year(), date.month(), date.day(),
                    time.hour(), time.minute(), time.second()};
}

// ---- Drawing, timers, messages ----------------------------------------------

void QtWindow::FillSolidRect(int x, int y, int w, int h, Color color) {
  if (QueuedFromOtherThread([this, x, y, w, h, color] { FillSolidRect(x, y, w, h, color); })) {
    return;
  }
  const QColor rgb(static_cast<int>(color & 0xFF), static_cast<int>((color >> 8) & 0xFF),
                   static_cast<int>((color >> 16) & 0xFF));
  m_overlay->Fill(QRect(x, y, w, h), rgb);
}

void QtWindow::SetTimer(int timerId, unsigned ms) {
  if (QueuedFromOtherThread([this, timerId, ms] { SetTimer(timerId, ms); })) return;
  QTimer*& timer = m_timers[timerId];
  if (timer == nullptr) {
    timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, [this, timerId] {
      if (m_dialog != nullptr && !m_ended) m_dialog->OnTimer(timerId);
    });
  }
  timer->start(static_cast<int>(std::clamp<unsigned>(ms, kMinTimerMs, INT_MAX)));
}

void QtWindow::KillTimer(int timerId) {
  if (QueuedFromOtherThread([this, timerId] { KillTimer(timerId); })) return;
  // Stopped, not deleted: OnTimer may be killing the timer that called it.
  const auto it = m_timers.find(timerId);
  if (it != m_timers.end()) it->second->stop();
}

void QtWindow::PostMessage(unsigned msg, std::uintptr_t wParam, std::intptr_t lParam) {
  PostToGui(this, [this, msg, wParam, lParam] { DeliverPosted(msg, wParam, lParam); });
}

int QtWindow::MessageBox(std::string_view text, std::string_view caption, unsigned type) {
  return m_tracker.MessageBox(this, text, caption, type);
}

void QtWindow::EndDialog(int result) {
  if (QueuedFromOtherThread([this, result] { EndDialog(result); })) return;
  if (m_ended) return;  // a run ends once, with the first result
  m_ended = true;
  m_result = result;
  if (m_running) done(result);
}

void QtWindow::BeginWaitCursor() {
  QApplication::setOverrideCursor(Qt::WaitCursor);
  ++m_waitCursors;
}

void QtWindow::EndWaitCursor() {
  if (m_waitCursors == 0) return;
  --m_waitCursors;
  QApplication::restoreOverrideCursor();
}

// ---- Qt events ---------------------------------------------------------------

bool QtWindow::event(QEvent* event) { return DispatchGuiCall(event) || QDialog::event(event); }

void QtWindow::keyPressEvent(QKeyEvent* event) {
  const Qt::KeyboardModifiers modifiers = event->modifiers();
  const bool plain = modifiers == Qt::NoModifier ||
                     (modifiers == Qt::KeypadModifier && event->key() == Qt::Key_Enter);
  if (plain && (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)) {
    accept();
    return;
  }
  if (plain && event->key() == Qt::Key_Escape) {
    reject();
    return;
  }
  QDialog::keyPressEvent(event);
}

void QtWindow::accept() { Command(IDOK, BN_CLICKED); }

void QtWindow::reject() { Command(IDCANCEL, BN_CLICKED); }

void QtWindow::closeEvent(QCloseEvent* event) {
  event->ignore();
  if (m_dialog != nullptr && !m_ended) m_dialog->OnClose();
}

}  // namespace mivo::ui::qthost
