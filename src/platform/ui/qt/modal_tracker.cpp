#include "platform/ui/qt/modal_tracker.h"

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
  for (const QPointer<QMessageBox>& box : m_openBoxes) {
    if (box && box->parent() == nullptr) delete box.data();
  }
}

int ModalTracker::MessageBox(QWidget* owner, std::string_view text, std::string_view caption,
                             unsigned type) {
  if (IsGuiThread()) return RunOnGuiThread(owner, text, caption, type);

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
  const int answer = request->Wait();
  Forget(request);
  return answer;
}

int ModalTracker::RunOnGuiThread(QWidget* owner, std::string_view text, std::string_view caption,
                                 unsigned type) {
  if (ShuttingDown()) return CancelAnswer(type);
  QPointer<QMessageBox> box = CreateMessageBox(owner, text, caption, type, m_boxFont);
  m_openBoxes.emplace_back(box);
  box->exec();
  const int answer = box ? AnswerOf(*box, type) : CancelAnswer(type);
  delete box.data();
  std::erase_if(m_openBoxes, [](const QPointer<QMessageBox>& b) { return b.isNull(); });
  return answer;
}

void ModalTracker::ShowForOtherThread(const std::shared_ptr<BoxRequest>& request, QWidget* owner,
                                      const std::string& text, const std::string& caption) {
  const unsigned type = request->Type();
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
  std::erase_if(m_openBoxes, [](const QPointer<QMessageBox>& b) { return b.isNull(); });
  m_openBoxes.emplace_back(box);
  box->show();
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
  const std::vector<QPointer<QMessageBox>> boxes = m_openBoxes;
  for (const QPointer<QMessageBox>& box : boxes) {
    // Closed without a button: the box answers CancelAnswer of its type.
    if (box && box->isVisible()) box->done(QDialog::Rejected);
  }
  const std::vector<QPointer<QDialog>> dialogs = m_openDialogs;
  for (const QPointer<QDialog>& dialog : dialogs) {
    if (dialog && dialog->isVisible()) dialog->done(QDialog::Rejected);
  }
  for (std::size_t i = m_windows.size(); i > 1; --i) m_windows[i - 1]->EndDialog(IDCANCEL);
}

void ModalTracker::PushWindow(QtWindow* window) { m_windows.push_back(window); }

void ModalTracker::PopWindow(QtWindow* window) { std::erase(m_windows, window); }

void ModalTracker::TrackDialog(QDialog* dialog) {
  std::erase_if(m_openDialogs, [](const QPointer<QDialog>& d) { return d.isNull(); });
  m_openDialogs.emplace_back(dialog);
}

}  // namespace mivo::ui::qthost
