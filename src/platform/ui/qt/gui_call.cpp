#include "platform/ui/qt/gui_call.h"

#include <QCoreApplication>
#include <QThread>

namespace mivo::ui::qthost {

GuiCallEvent::GuiCallEvent(std::function<void()> run, std::function<void()> discard)
    : QEvent(Kind()), m_run(std::move(run)), m_discard(std::move(discard)) {}

GuiCallEvent::~GuiCallEvent() {
  if (!m_ran && m_discard) m_discard();
}

QEvent::Type GuiCallEvent::Kind() {
  static const auto kind = static_cast<QEvent::Type>(QEvent::registerEventType());
  return kind;
}

void GuiCallEvent::Run() {
  m_ran = true;
  if (m_run) m_run();
}

bool IsGuiThread() {
  const QCoreApplication* app = QCoreApplication::instance();
  return app != nullptr && QThread::currentThread() == app->thread();
}

void PostToGui(QObject* receiver, std::function<void()> run, std::function<void()> discard) {
  // postEvent takes ownership; a dropped event runs `discard` from its destructor.
  QCoreApplication::postEvent(receiver, new GuiCallEvent(std::move(run), std::move(discard)));
}

bool DispatchGuiCall(QEvent* event) {
  if (event->type() != GuiCallEvent::Kind()) return false;
  static_cast<GuiCallEvent*>(event)->Run();
  return true;
}

bool GuiInvoker::event(QEvent* event) { return DispatchGuiCall(event) || QObject::event(event); }

}  // namespace mivo::ui::qthost
