// Widgets for the controls of a dialog template, placed at 2 pixels per
// dialog unit.
#pragma once

#include <QIcon>
#include <QRadioButton>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <string>
#include <string_view>

#include "platform/ui/window.h"

namespace mivo::ui::qthost {

inline constexpr int kPixelsPerUnit = 2;
inline constexpr int kIconPixels = 32;

// A radio button with Win32 behaviour: a click checks it and never unchecks
// it; the window unchecks the other buttons of its group.
class GroupRadioButton final : public QRadioButton {
 public:
  using QRadioButton::QRadioButton;

 protected:
  void nextCheckState() override;
};

QString FromUtf8(std::string_view text);
std::string ToUtf8(const QString& text);

// Text of a label or button: line breaks kept when `multiLine`, else shown as spaces.
QString DisplayText(std::string_view text, bool multiLine);
// An edit holds bytes, as a Win32 edit does; only what it shows is
// converted. EditDisplay shows them as UTF-8, each byte that belongs to no
// valid character as U+FFFD, and a multi-line edit's "\r\n" as a line
// break. EditBytes gives back the bytes after the user turned that display
// into `now`: the unchanged head and tail keep their bytes, and only the
// changed middle is new UTF-8 (with "\r\n" line breaks in a multi-line edit).
QString EditDisplay(std::string_view bytes, bool multiLine);
std::string EditBytes(std::string_view bytes, bool multiLine, const QString& now);
// Items of a list: the text split at '\n', exactly as given; none when empty.
QStringList SplitItems(std::string_view text);

// The object name of a control's widget, "mivo_ctl_<id>".
QString ControlObjectName(int id);

// Pickers hold plain fields (UTC, so that no daylight-saving gap of the
// local zone can shift them). "No date" shows these texts.
inline constexpr const char* kNoDateText = "----/--/--";
inline constexpr const char* kNoTimeText = "--:--:--";

// Creates and places the widget of a control (no notifications connected).
// Canvas rectangles are client pixels; all others are dialog units.
QWidget* CreateControl(const ControlTemplate& control, QWidget* parent, const QIcon& icon);

}  // namespace mivo::ui::qthost
