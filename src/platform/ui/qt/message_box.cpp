#include "platform/ui/qt/message_box.h"

#include <QAbstractButton>
#include <QString>

#include "platform/ui/dialog.h"
#include "platform/ui/window.h"

namespace mivo::ui::qthost {

namespace {

QMessageBox::StandardButtons ButtonsOf(unsigned type) {
  switch (type & MB_TYPEMASK) {
    case MB_OKCANCEL: return QMessageBox::Ok | QMessageBox::Cancel;
    case MB_ABORTRETRYIGNORE: return QMessageBox::Abort | QMessageBox::Retry | QMessageBox::Ignore;
    case MB_YESNOCANCEL: return QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
    case MB_YESNO: return QMessageBox::Yes | QMessageBox::No;
    case MB_RETRYCANCEL: return QMessageBox::Retry | QMessageBox::Cancel;
    default: return QMessageBox::Ok;
  }
}

// The button Windows makes the default: the first one of the style.
QMessageBox::StandardButton FirstButtonOf(unsigned type) {
  switch (type & MB_TYPEMASK) {
    case MB_ABORTRETRYIGNORE: return QMessageBox::Abort;
    case MB_YESNOCANCEL:
    case MB_YESNO: return QMessageBox::Yes;
    case MB_RETRYCANCEL: return QMessageBox::Retry;
    default: return QMessageBox::Ok;
  }
}

QMessageBox::Icon IconOf(unsigned type) {
  switch (type & MB_ICONMASK) {
    case MB_ICONSTOP: return QMessageBox::Critical;
    case MB_ICONQUESTION: return QMessageBox::Question;
    case MB_ICONEXCLAMATION: return QMessageBox::Warning;
    case MB_ICONINFORMATION: return QMessageBox::Information;
    default: return QMessageBox::NoIcon;
  }
}

int IdOf(QMessageBox::StandardButton button) {
  switch (button) {
    case QMessageBox::Ok: return IDOK;
    case QMessageBox::Cancel: return IDCANCEL;
    case QMessageBox::Abort: return IDABORT;
    case QMessageBox::Retry: return IDRETRY;
    case QMessageBox::Ignore: return IDIGNORE;
    case QMessageBox::Yes: return IDYES;
    case QMessageBox::No: return IDNO;
    default: return 0;
  }
}

QString FromUtf8(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

QMessageBox::StandardButton ButtonOfAnswer(int answer) {
  switch (answer) {
    case IDOK: return QMessageBox::Ok;
    case IDCANCEL: return QMessageBox::Cancel;
    case IDABORT: return QMessageBox::Abort;
    case IDRETRY: return QMessageBox::Retry;
    case IDIGNORE: return QMessageBox::Ignore;
    case IDYES: return QMessageBox::Yes;
    case IDNO: return QMessageBox::No;
    default: return QMessageBox::NoButton;
  }
}

int CancelAnswer(unsigned type) {
  switch (type & MB_TYPEMASK) {
    case MB_OK: return IDOK;
    case MB_ABORTRETRYIGNORE: return IDABORT;
    default: return IDCANCEL;
  }
}

int AnswerOf(const QMessageBox& box, unsigned type) {
  QAbstractButton* clicked = box.clickedButton();
  if (clicked == nullptr) return CancelAnswer(type);
  const int id = IdOf(box.standardButton(clicked));
  return id != 0 ? id : CancelAnswer(type);
}

QMessageBox* CreateMessageBox(QWidget* parent, std::string_view text, std::string_view caption,
                              unsigned type, const QFont& font) {
  auto* box = new QMessageBox(parent);
  box->setFont(font);
  box->setWindowTitle(FromUtf8(caption.empty() ? kAppTitle : caption));
  box->setTextFormat(Qt::PlainText);
  box->setText(FromUtf8(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
  box->setIcon(IconOf(type));
  box->setStandardButtons(ButtonsOf(type));
  box->setDefaultButton(FirstButtonOf(type));
  box->setWindowModality(Qt::ApplicationModal);
  return box;
}

void BoxRequest::Answer(int answer) {
  std::lock_guard lock(m_mutex);
  if (m_answered) return;
  m_answered = true;
  m_answer = answer;
  m_cv.notify_all();
}

bool BoxRequest::Answered() {
  std::lock_guard lock(m_mutex);
  return m_answered;
}

int BoxRequest::Wait(std::chrono::milliseconds bound) {
  std::unique_lock lock(m_mutex);
  if (!m_cv.wait_for(lock, bound, [this] { return m_answered; })) {
    m_answered = true;
    m_answer = MB_TIMEDOUT;
  }
  return m_answer;
}

int BoxRequest::Wait() {
  std::unique_lock lock(m_mutex);
  m_cv.wait(lock, [this] { return m_answered; });
  return m_answer;
}

}  // namespace mivo::ui::qthost
