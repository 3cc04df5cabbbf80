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
#include <vector>

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
    edit->setPlainText(EditDisplay(c.text, true));
    edit->setReadOnly(readOnly);
    edit->setVerticalScrollBarPolicy((c.style & kVScroll) != 0 ? Qt::ScrollBarAsNeeded
                                                               : Qt::ScrollBarAlwaysOff);
    if (readOnly) ShowAsReadOnly(edit);
    return edit;
  }
  auto* edit = new QLineEdit(EditDisplay(c.text, false), parent);
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

// The length of the valid UTF-8 character at the start of `s` (its code
// point in `cp`), or 0 when the bytes there are none: a stray continuation
// byte, a cut sequence, an overlong form, a surrogate or a value past U+10FFFF.
std::size_t Utf8Character(std::string_view s, char32_t* cp) {
  const auto byte = [&s](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) {
    *cp = lead;
    return 1;
  }
  std::size_t length = 0;
  char32_t value = 0, least = 0;
  if ((lead & 0xE0) == 0xC0) {
    length = 2;
    value = lead & 0x1F;
    least = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3;
    value = lead & 0x0F;
    least = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4;
    value = lead & 0x07;
    least = 0x10000;
  } else {
    return 0;
  }
  if (s.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    value = (value << 6) | (byte(i) & 0x3F);
  }
  if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  *cp = value;
  return length;
}

// The display of an edit's bytes; `at` gets the offset of the first byte of
// each UTF-16 unit shown (a pair's second unit shares the first's), then the
// length of `bytes`.
QString Display(std::string_view bytes, bool multiLine, std::vector<std::size_t>* at) {
  QString shown;
  shown.reserve(static_cast<qsizetype>(bytes.size()));
  for (std::size_t i = 0; i < bytes.size();) {
    if (at != nullptr) at->push_back(i);
    if (multiLine && bytes.substr(i, 2) == "\r\n") {
      shown += QLatin1Char('\n');
      i += 2;
      continue;
    }
    char32_t cp = 0;
    std::size_t length = Utf8Character(bytes.substr(i), &cp);
    if (length == 0) {
      cp = QChar::ReplacementCharacter;
      length = 1;
    }
    if (QChar::requiresSurrogates(cp)) {
      if (at != nullptr) at->push_back(i);
      shown += QChar(QChar::highSurrogate(cp));
      shown += QChar(QChar::lowSurrogate(cp));
    } else {
      shown += QChar(static_cast<char16_t>(cp));
    }
    i += length;
  }
  if (at != nullptr) at->push_back(bytes.size());
  return shown;
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

QString EditDisplay(std::string_view bytes, bool multiLine) { return Display(bytes, multiLine, nullptr); }

std::string EditBytes(std::string_view bytes, bool multiLine, const QString& now) {
  std::vector<std::size_t> at;
  const QString shown = Display(bytes, multiLine, &at);
  if (now == shown) return std::string(bytes);
  const qsizetype limit = std::min(shown.size(), now.size());
  qsizetype head = 0;
  while (head < limit && shown[head] == now[head]) ++head;
  if (head > 0 && shown[head - 1].isHighSurrogate()) --head;  // never half a character
  qsizetype tail = 0;
  while (tail < limit - head && shown[shown.size() - 1 - tail] == now[now.size() - 1 - tail]) ++tail;
  if (tail > 0 && shown[shown.size() - tail].isLowSurrogate()) --tail;

  QString middle = now.mid(head, now.size() - head - tail);
  if (multiLine) middle.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
  std::string result(bytes.substr(0, at[static_cast<std::size_t>(head)]));
  result += ToUtf8(middle);
  result += bytes.substr(at[static_cast<std::size_t>(shown.size() - tail)]);
  return result;
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
