#include "platform/ui/qt/modal_tracker.h"

#include <QAbstractButton>
#include <QTimer>

#include <algorithm>

#include "platform/ui/qt/japanese_font.h"
#include "platform/ui/qt/qt_window.h"

namespace mivo::ui::qthost {

namespace {

constexpr int kBoxPointSize = 9;

}  // namespace

ModalTracker::ModalTracker()
    : m_boxFont(JapaneseFont(QString(), kBoxPointSize)),
      m_invoker(std::make_unique<GuiInvoker>()) {}

ModalTracker::~ModalTracker() {
  AnswerWaiting();
  m_invoker.reset();  // drops the queued boxes; each answers its waiter
  for (const OpenBox& open : m_openBoxes) {
    if (open.box && open.box->parent() == nullptr) delete open.box.data();
  }
}

int ModalTracker::MessageBox(QWidget* owner, std::string_view text, std::string_view caption,
                             unsigned type, std::optional<std::chrono::milliseconds> bound) {
  if (IsGuiThread()) return RunOnGuiThread(owner, text, caption, type, bound);

  auto request = std::make_shared<BoxRequest>(type);
  {
    std::lock_guard lock(m_mutex);
    if (m_shuttingDown) return CancelAnswer(type);
    m_waiting.push_back(request);
  }
  QObject* receiver = owner != nullptr ? static_cast<QObject*>(owner) : m_invoker.get();
  PostToGui(
      receiver,
      [this, request, owner, t = std::string(text), c = std::string(caption)] {
        ShowForOtherThread(request, owner, t, c);
      },
      [request] { request->Answer(CancelAnswer(request->Type())); });
  const int answer = bound ? request->Wait(*bound) : request->Wait();
  if (answer == MB_TIMEDOUT) PostToGui(m_invoker.get(), [this, request] { CloseBoxOf(request); });
  Forget(request);
  return answer;
}

int ModalTracker::RunOnGuiThread(QWidget* owner, std::string_view text, std::string_view caption,
                                 unsigned type, std::optional<std::chrono::milliseconds> bound) {
  if (ShuttingDown()) return CancelAnswer(type);
  QPointer<QMessageBox> box = CreateMessageBox(owner, text, caption, type, m_boxFont);
  m_openBoxes.push_back(OpenBox{box, type, {}});
  bool timedOut = false;
  if (bound) {
    QTimer::singleShot(*bound, box.data(), [&timedOut, b = box.data()] {
      timedOut = true;
      b->done(QDialog::Rejected);
    });
  }
  box->exec();
  const int answer = timedOut ? MB_TIMEDOUT : box ? AnswerOf(*box, type) : CancelAnswer(type);
  delete box.data();
  std::erase_if(m_openBoxes, [](const OpenBox& b) { return b.box.isNull(); });
  return answer;
}

void ModalTracker::ShowForOtherThread(const std::shared_ptr<BoxRequest>& request, QWidget* owner,
                                      const std::string& text, const std::string& caption) {
  const unsigned type = request->Type();
  if (request->Answered()) return;  // its time was up before it could be shown
  if (ShuttingDown()) {
    request->Answer(CancelAnswer(type));
    return;
  }
  QMessageBox* box = CreateMessageBox(owner, text, caption, type, m_boxFont);
  QObject::connect(box, &QDialog::finished, box, [request, box, type](int) {
    request->Answer(AnswerOf(*box, type));
    box->deleteLater();
  });
  // Destroyed with its owner before it was answered.
  QObject::connect(box, &QObject::destroyed, [request, type] {
    request->Answer(CancelAnswer(type));
  });
  std::erase_if(m_openBoxes, [](const OpenBox& b) { return b.box.isNull(); });
  m_openBoxes.push_back(OpenBox{box, type, request});
  box->show();
}

void ModalTracker::CloseBoxOf(const std::shared_ptr<BoxRequest>& request) {
  const std::vector<OpenBox> boxes = m_openBoxes;  // closing changes the list
  for (const OpenBox& open : boxes) {
    if (open.box && open.request.lock() == request) open.box->done(QDialog::Rejected);
  }
}

void ModalTracker::Forget(const std::shared_ptr<BoxRequest>& request) {
  std::lock_guard lock(m_mutex);
  std::erase_if(m_waiting, [&](const std::weak_ptr<BoxRequest>& w) {
    const std::shared_ptr<BoxRequest> held = w.lock();
    return held == nullptr || held == request;
  });
}

void ModalTracker::AnswerWaiting() {
  std::vector<std::shared_ptr<BoxRequest>> waiting;
  {
    std::lock_guard lock(m_mutex);
    m_shuttingDown = true;
    for (const std::weak_ptr<BoxRequest>& w : m_waiting) {
      if (std::shared_ptr<BoxRequest> request = w.lock()) waiting.push_back(std::move(request));
    }
    m_waiting.clear();
  }
  for (const std::shared_ptr<BoxRequest>& request : waiting) {
    request->Answer(CancelAnswer(request->Type()));
  }
}

void ModalTracker::CancelModals() {
  AnswerWaiting();
  if (IsGuiThread()) {
    CloseOpenModals();
  } else {
    PostToGui(m_invoker.get(), [this] { CloseOpenModals(); });
  }
}

bool ModalTracker::ShuttingDown() const {
  std::lock_guard lock(m_mutex);
  return m_shuttingDown;
}

void ModalTracker::CloseOpenModals() {
  // Copies: closing a box or dialog may change the lists.
  const std::vector<OpenBox> boxes = m_openBoxes;
  for (const OpenBox& open : boxes) {
    // Closed without a button: the box answers CancelAnswer of its type.
    if (open.box && open.box->isVisible()) open.box->done(QDialog::Rejected);
  }
  const std::vector<QPointer<QDialog>> dialogs = m_openDialogs;
  for (const QPointer<QDialog>& dialog : dialogs) {
    if (dialog && dialog->isVisible()) dialog->done(QDialog::Rejected);
  }
  for (std::size_t i = m_windows.size(); i > 1; --i) m_windows[i - 1]->EndDialog(IDCANCEL);
}

std::vector<OpenModal> ModalTracker::OpenModals() const {
  std::vector<OpenModal> open;
  for (std::size_t i = 1; i < m_windows.size(); ++i) {
    open.push_back(OpenModal{false, m_windows[i]->windowTitle().toStdString(), {}, 0});
  }
  for (const QPointer<QDialog>& dialog : m_openDialogs) {
    if (dialog && dialog->isVisible()) open.push_back(OpenModal{false, dialog->windowTitle().toStdString(), {}, 0});
  }
  for (const OpenBox& b : m_openBoxes) {
    if (b.box && b.box->isVisible()) {
      open.push_back(OpenModal{true, b.box->windowTitle().toStdString(), b.box->text().toStdString(), b.type});
    }
  }
  return open;
}

bool ModalTracker::AnswerModal(int answer) {
  for (auto it = m_openBoxes.rbegin(); it != m_openBoxes.rend(); ++it) {
    if (!it->box || !it->box->isVisible()) continue;
    QAbstractButton* button = it->box->button(ButtonOfAnswer(answer));
    if (button == nullptr) return false;
    button->click();  // answers as the user's click does
    return true;
  }
  if (answer != IDCANCEL) return false;
  for (auto it = m_openDialogs.rbegin(); it != m_openDialogs.rend(); ++it) {
    if (*it && (*it)->isVisible()) {
      (*it)->done(QDialog::Rejected);
      return true;
    }
  }
  if (m_windows.size() > 1) {
    m_windows.back()->EndDialog(IDCANCEL);
    return true;
  }
  return false;
}

void ModalTracker::PushWindow(QtWindow* window) { m_windows.push_back(window); }

void ModalTracker::PopWindow(QtWindow* window) { std::erase(m_windows, window); }

void ModalTracker::TrackDialog(QDialog* dialog) {
  std::erase_if(m_openDialogs, [](const QPointer<QDialog>& d) { return d.isNull(); });
  m_openDialogs.emplace_back(dialog);
}

}  // namespace mivo::ui::qthost
