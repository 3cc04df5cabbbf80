// The window layer: controls addressed by their dialog identifiers, as
// Win32 dialog code addresses them. The controller and every settings dialog
// are written against IWindow; a Qt host and a headless host implement it.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace mivo::ui {

// Window messages (Win32 values, so that numbers in logs and posts match).
inline constexpr unsigned WM_CLOSE = 0x0010;
inline constexpr unsigned WM_COMMAND = 0x0111;
inline constexpr unsigned WM_TIMER = 0x0113;
inline constexpr unsigned WM_USER = 0x0400;
inline constexpr unsigned MM_WIM_DATA = 0x03C0;

// The application title: the caption of the program's message boxes unless
// one has its own, and of every box shown with an empty caption.
inline constexpr std::string_view kAppTitle = "Mivo";

// Message box styles and answers.
inline constexpr unsigned MB_OK = 0x00;
inline constexpr unsigned MB_OKCANCEL = 0x01;
inline constexpr unsigned MB_ABORTRETRYIGNORE = 0x02;
inline constexpr unsigned MB_YESNOCANCEL = 0x03;
inline constexpr unsigned MB_YESNO = 0x04;
inline constexpr unsigned MB_RETRYCANCEL = 0x05;
inline constexpr unsigned MB_TYPEMASK = 0x0F;
inline constexpr unsigned MB_ICONSTOP = 0x10;
inline constexpr unsigned MB_ICONQUESTION = 0x20;
inline constexpr unsigned MB_ICONEXCLAMATION = 0x30;
inline constexpr unsigned MB_ICONWARNING = MB_ICONEXCLAMATION;
inline constexpr unsigned MB_ICONINFORMATION = 0x40;
inline constexpr unsigned MB_ICONMASK = 0xF0;

inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDABORT = 3;
inline constexpr int IDRETRY = 4;
inline constexpr int IDIGNORE = 5;
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;
// The answer of a box that closed itself when its time was up.
inline constexpr int MB_TIMEDOUT = 32000;

// Notification codes carried with WM_COMMAND.
inline constexpr int BN_CLICKED = 0;
inline constexpr int CBN_SELCHANGE = 1;
inline constexpr int LBN_SELCHANGE = 1;
inline constexpr int EN_CHANGE = 0x0300;

// Colour as 0x00BBGGRR, like COLORREF.
using Color = std::uint32_t;
constexpr Color Rgb(unsigned r, unsigned g, unsigned b) {
  return (r & 0xFF) | ((g & 0xFF) << 8) | ((b & 0xFF) << 16);
}

enum class ControlKind {
  Static,       // label; text may hold "\n"
  GroupBox,     // frame with a caption
  Button,       // push button
  DefButton,    // default push button (OK)
  CheckBox,
  RadioButton,
  Edit,
  ProgressBar,  // range 0..100 until set
  DropList,     // drop-down list, pick only
  ListBox,
  DatePicker,   // short date
  TimePicker,   // hours, minutes, seconds
  Icon,         // the program icon
  Canvas,       // area drawn with FillSolidRect, in client pixels
};

// Style bits of a control template.
inline constexpr unsigned kReadOnly = 1u << 0;
inline constexpr unsigned kMultiLine = 1u << 1;
inline constexpr unsigned kDisabled = 1u << 2;
inline constexpr unsigned kNumber = 1u << 3;    // edit accepts digits only
inline constexpr unsigned kBorder = 1u << 4;
inline constexpr unsigned kVScroll = 1u << 5;
inline constexpr unsigned kGroup = 1u << 6;     // first radio button of a group
inline constexpr unsigned kRightAlign = 1u << 7;

// Rectangle in dialog units (for Canvas: client pixels, see FillSolidRect).
struct Rect {
  int x = 0, y = 0, w = 0, h = 0;
};

struct ControlTemplate {
  int id = 0;  // 0 or -1 for labels and frames nobody addresses
  ControlKind kind = ControlKind::Static;
  std::string text;  // UTF-8; for lists the items separated by '\n'
  Rect rect;
  unsigned style = 0;
  int limit = 0;  // edit: most characters accepted, 0 = no limit
};

struct DialogTemplate {
  int id = 0;
  std::string title;
  int width = 0, height = 0;  // dialog units
  std::string font = "ＭＳ Ｐゴシック";
  int pointSize = 9;
  std::vector<ControlTemplate> controls;

  const ControlTemplate* Find(int controlId) const;
  // Appends a control; templates are built as lists of these calls.
  void Add(int controlId, ControlKind kind, std::string text, Rect rect, unsigned style = 0, int limit = 0) {
    controls.push_back(ControlTemplate{controlId, kind, std::move(text), rect, style, limit});
  }
};

// Date and time of a picker (local time). valid == false is "no date" (GDT_NONE).
struct PickerTime {
  bool valid = false;
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

// One window made from a DialogTemplate. Unless stated otherwise a call is
// made on the window's (GUI) thread. The setters marked "any thread" may be
// called from other threads: the host applies them on the GUI thread in the
// order they were made.
class IWindow {
 public:
  virtual ~IWindow() = default;

  // Text of an edit, label, button or check box. Any thread.
  virtual void SetDlgItemText(int id, std::string_view text) = 0;
  virtual std::string GetDlgItemText(int id) const = 0;

  virtual void EnableDlgItem(int id, bool enable) = 0;
  virtual bool IsDlgItemEnabled(int id) const = 0;
  // Gives the keyboard focus to a control (a refused entry is corrected there).
  virtual void SetFocus(int id) = 0;

  // Check boxes and radio buttons.
  virtual void CheckDlgButton(int id, bool checked) = 0;
  virtual bool IsDlgButtonChecked(int id) const = 0;

  // Drop-down lists and list boxes. GetCurSel returns -1 when nothing is selected.
  virtual void ResetContent(int id) = 0;
  virtual int AddString(int id, std::string_view text) = 0;
  virtual void SetCurSel(int id, int index) = 0;  // -1 clears the selection
  virtual int GetCurSel(int id) const = 0;
  virtual int GetCount(int id) const = 0;
  virtual std::string GetItemText(int id, int index) const = 0;

  // Progress bars. Any thread.
  virtual void SetProgressRange(int id, int low, int high) = 0;
  virtual void SetProgressPos(int id, int pos) = 0;

  // Date and time pickers, as DTM_SETSYSTEMTIME and DTM_GETSYSTEMTIME: a
  // date picker shows the date, a time picker the time of day, and both
  // keep the whole value they were given. Setting an
  // invalid value leaves the picker without one ("no date") until the user
  // or the program gives it a value; reading it then answers invalid.
  virtual void SetPickerTime(int id, const PickerTime& t) = 0;
  virtual PickerTime GetPickerTime(int id) const = 0;

  // A solid rectangle in client pixels of the window.
  virtual void FillSolidRect(int x, int y, int w, int h, Color color) = 0;

  // Window timers: WM_TIMER with the id every `ms` milliseconds until killed.
  virtual void SetTimer(int timerId, unsigned ms) = 0;
  virtual void KillTimer(int timerId) = 0;

  // Posts a message to the window's own queue. Any thread.
  virtual void PostMessage(unsigned msg, std::uintptr_t wParam, std::intptr_t lParam) = 0;

  // Modal message box owned by this window; an empty caption is kAppTitle.
  // Returns IDOK, IDCANCEL, IDABORT ...
  // Any thread: from another thread it blocks only the calling thread.
  virtual int MessageBox(std::string_view text, std::string_view caption, unsigned type) = 0;

  // Ends the modal run of this window with a result.
  virtual void EndDialog(int result) = 0;

  // The wait cursor over the program's windows while a slow step runs on
  // the window's thread. Calls nest: each Begin needs its End.
  virtual void BeginWaitCursor() {}
  virtual void EndWaitCursor() {}
};

// Shows the wait cursor for its lifetime.
class WaitCursor {
 public:
  explicit WaitCursor(IWindow& window) : m_window(window) { m_window.BeginWaitCursor(); }
  ~WaitCursor() { m_window.EndWaitCursor(); }
  WaitCursor(const WaitCursor&) = delete;
  WaitCursor& operator=(const WaitCursor&) = delete;

 private:
  IWindow& m_window;
};

}  // namespace mivo::ui
