// Message boxes with Win32 styles (MB_* buttons and icons) and answers (ID*).
#pragma once

#include <QFont>
#include <QMessageBox>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string_view>

namespace mivo::ui::qthost {

// The answer of a box that was closed without a button: IDOK for MB_OK,
// IDABORT for MB_ABORTRETRYIGNORE, IDCANCEL otherwise.
int CancelAnswer(unsigned type);

// The answer of a finished box: the id of the button clicked, or
// CancelAnswer(type) when it was closed without one.
int AnswerOf(const QMessageBox& box, unsigned type);

// The standard button that gives `answer` (IDOK ...); NoButton for none.
QMessageBox::StandardButton ButtonOfAnswer(int answer);

// A box with the caption (kAppTitle when empty), the text ("\r\n" as a
// line break), the icon and buttons of `type`, the first button as default.
// The caller owns it (or its parent does).
QMessageBox* CreateMessageBox(QWidget* parent, std::string_view text, std::string_view caption,
                              unsigned type, const QFont& font);

// A box asked for by another thread: that thread waits until it is answered.
class BoxRequest {
 public:
  explicit BoxRequest(unsigned type) : m_type(type) {}

  unsigned Type() const { return m_type; }
  // The first answer counts; later ones are ignored.
  void Answer(int answer);
  bool Answered();
  int Wait();
  // Waits at most `bound`; then answers MB_TIMEDOUT itself.
  int Wait(std::chrono::milliseconds bound);

 private:
  const unsigned m_type;
  std::mutex m_mutex;
  std::condition_variable m_cv;
  bool m_answered = false;
  int m_answer = 0;
};

}  // namespace mivo::ui::qthost
