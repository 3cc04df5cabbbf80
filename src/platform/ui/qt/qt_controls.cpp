#include "platform/ui/qt/qt_controls.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QDateTime>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPalette>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QRegularExpressionValidator>
#include <QTimeEdit>

#include <algorithm>

namespace mivo::ui::qthost {

namespace {

QRect UnitsToPixels(const Rect& r) {
  return {r.x * kPixelsPerUnit, r.y * kPixelsPerUnit, r.w * kPixelsPerUnit, r.h * kPixelsPerUnit};
}

// Read-only edits have the window's background, as on Windows.
void ShowAsReadOnly(QWidget* edit) {
  QPalette palette = edit->palette();
  palette.setColor(QPalette::Base, palette.color(QPalette::Window));
  edit->setPalette(palette);
}

QWidget* CreateEdit(const ControlTemplate& c, QWidget* parent) {
  const bool readOnly = (c.style & kReadOnly) != 0;
  if ((c.style & kMultiLine) != 0) {
    auto* edit = new QPlainTextEdit(parent);
    edit->setPlainText(EditTextFromWin32(c.text));
    edit->setReadOnly(readOnly);
    edit->setVerticalScrollBarPolicy((c.style & kVScroll) != 0 ? Qt::ScrollBarAsNeeded
                                                               : Qt::ScrollBarAlwaysOff);
    if (readOnly) ShowAsReadOnly(edit);
    return edit;
  }
  auto* edit = new QLineEdit(FromUtf8(c.text), parent);
  edit->setReadOnly(readOnly);
  if (c.limit > 0) edit->setMaxLength(c.limit);
  if ((c.style & kNumber) != 0) {
    edit->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), edit));
  }
  if ((c.style & kRightAlign) != 0) edit->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  if (readOnly) ShowAsReadOnly(edit);
  return edit;
}

QWidget* CreateLabel(const ControlTemplate& c, QWidget* parent) {
  auto* label = new QLabel(parent);
  label->setTextFormat(Qt::PlainText);
  label->setText(DisplayText(c.text, true));
  label->setWordWrap(true);
  label->setAlignment(((c.style & kRightAlign) != 0 ? Qt::AlignRight : Qt::AlignLeft) |
                      Qt::AlignTop);
  if ((c.style & kBorder) != 0) label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  return label;
}

QWidget* CreateWidget(const ControlTemplate& c, QWidget* parent, const QIcon& icon) {
  const bool multiLine = (c.style & kMultiLine) != 0;
  switch (c.kind) {
    case ControlKind::Static:
      return CreateLabel(c, parent);
    case ControlKind::GroupBox:
      return new QGroupBox(DisplayText(c.text, false), parent);
    case ControlKind::Button:
    case ControlKind::DefButton: {
      // Enter belongs to the dialog (IDOK): no button takes it over on focus.
      // The default button only looks like one (and takes Enter itself when focused).
      auto* button = new QPushButton(DisplayText(c.text, multiLine), parent);
      button->setAutoDefault(false);
      button->setDefault(c.kind == ControlKind::DefButton);
      return button;
    }
    case ControlKind::CheckBox:
      return new QCheckBox(DisplayText(c.text, multiLine), parent);
    case ControlKind::RadioButton: {
      auto* radio = new GroupRadioButton(DisplayText(c.text, multiLine), parent);
      radio->setAutoExclusive(false);
      return radio;
    }
    case ControlKind::Edit:
      return CreateEdit(c, parent);
    case ControlKind::ProgressBar: {
      auto* bar = new QProgressBar(parent);
      bar->setTextVisible(false);
      bar->setRange(0, 100);
      bar->setValue(0);
      return bar;
    }
    case ControlKind::DropList: {
      auto* combo = new QComboBox(parent);
      combo->setEditable(false);
      combo->addItems(SplitItems(c.text));
      combo->setCurrentIndex(-1);
      return combo;
    }
    case ControlKind::ListBox: {
      auto* list = new QListWidget(parent);
      list->setSelectionMode(QAbstractItemView::SingleSelection);
      list->addItems(SplitItems(c.text));
      list->setVerticalScrollBarPolicy((c.style & kVScroll) != 0 ? Qt::ScrollBarAsNeeded
                                                                 : Qt::ScrollBarAlwaysOff);
      return list;
    }
    case ControlKind::DatePicker: {
      auto* date = new QDateEdit(parent);
      date->setCalendarPopup(true);
      date->setDisplayFormat(QStringLiteral("yyyy/MM/dd"));
      date->setTimeSpec(Qt::UTC);
      const QDateTime now = QDateTime::currentDateTime();
      date->setDateTime(QDateTime(now.date(), now.time(), Qt::UTC));
      return date;
    }
    case ControlKind::TimePicker: {
      auto* time = new QTimeEdit(parent);
      time->setDisplayFormat(QStringLiteral("HH:mm:ss"));
      time->setTimeSpec(Qt::UTC);
      time->setDateTime(QDateTime(time->date(), QTime::currentTime(), Qt::UTC));
      return time;
    }
    case ControlKind::Icon: {
      auto* label = new QLabel(parent);
      label->setPixmap(icon.pixmap(kIconPixels, kIconPixels));
      return label;
    }
    case ControlKind::Canvas: {
      auto* frame = new QFrame(parent);
      frame->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
      QPalette palette = frame->palette();
      palette.setColor(QPalette::Window, QColor(0x20, 0x22, 0x26));
      frame->setPalette(palette);
      frame->setAutoFillBackground(true);
      return frame;
    }
  }
  return new QWidget(parent);
}

}  // namespace

void GroupRadioButton::nextCheckState() {
  if (!isChecked()) setChecked(true);
}

QString FromUtf8(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

std::string ToUtf8(const QString& text) {
  const QByteArray bytes = text.toUtf8();
  return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

QString DisplayText(std::string_view text, bool multiLine) {
  QString display = FromUtf8(text);
  display.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  if (!multiLine) display.replace(QLatin1Char('\n'), QLatin1Char(' '));
  return display;
}

QString EditTextFromWin32(std::string_view text) {
  return FromUtf8(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}

std::string EditTextToWin32(const QString& text) {
  QString win32 = text;
  win32.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
  return ToUtf8(win32);
}

QStringList SplitItems(std::string_view text) {
  if (text.empty()) return {};
  return FromUtf8(text).split(QLatin1Char('\n'));
}

QString ControlObjectName(int id) { return QStringLiteral("mivo_ctl_%1").arg(id); }

QWidget* CreateControl(const ControlTemplate& control, QWidget* parent, const QIcon& icon) {
  QWidget* widget = CreateWidget(control, parent, icon);
  widget->setObjectName(ControlObjectName(control.id));
  widget->setEnabled((control.style & kDisabled) == 0);

  QRect geometry = control.kind == ControlKind::Canvas
                       ? QRect(control.rect.x, control.rect.y, control.rect.w, control.rect.h)
                       : UnitsToPixels(control.rect);
  if (control.kind == ControlKind::Icon) {
    geometry.setSize(QSize(kIconPixels, kIconPixels));
  } else if (control.kind == ControlKind::DropList) {
    // The template's height includes the dropped-down list.
    geometry.setHeight(std::min(geometry.height(), widget->sizeHint().height()));
  }
  widget->setGeometry(geometry);
  // A frame lies below the controls it surrounds, whatever the template order.
  if (control.kind == ControlKind::GroupBox) widget->lower();
  return widget;
}

}  // namespace mivo::ui::qthost
