// Calls marshalled onto the GUI thread: a queued function travels as a posted
// event, so that it keeps its place among the window's other posted events.
#pragma once

#include <QEvent>
#include <QObject>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>

namespace mivo::ui::qthost {

// A function run by its receiver's event() on the GUI thread. When the event
// is dropped without being run (its receiver was destroyed first), `discard`
// runs instead, so that a waiting caller is always released.
class GuiCallEvent final : public QEvent {
 public:
  GuiCallEvent(std::function<void()> run, std::function<void()> discard);
  ~GuiCallEvent() override;
  GuiCallEvent(const GuiCallEvent&) = delete;
  GuiCallEvent& operator=(const GuiCallEvent&) = delete;

  static QEvent::Type Kind();
  void Run();

 private:
  std::function<void()> m_run;
  std::function<void()> m_discard;
  bool m_ran = false;
};

// True on the thread of the QApplication.
bool IsGuiThread();

// Queues `run` for `receiver`, an object of the GUI thread. Any thread.
void PostToGui(QObject* receiver, std::function<void()> run, std::function<void()> discard = {});

// For a receiver's event(): runs a GuiCallEvent and returns true; false for
// any other event.
bool DispatchGuiCall(QEvent* event);

// Runs `fn` on the GUI thread and returns its value. From another thread the
// caller waits; `fallback` is returned when the receiver goes away first.
template <class T, class F>
T CallOnGui(QObject* receiver, F&& fn, T fallback) {
  if (IsGuiThread()) return fn();
  struct Shared {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    T value;
  };
  auto shared = std::make_shared<Shared>();
  shared->value = std::move(fallback);
  PostToGui(
      receiver,
      [shared, f = std::forward<F>(fn)]() mutable {
        T value = f();
        std::lock_guard lock(shared->mutex);
        shared->value = std::move(value);
        shared->done = true;
        shared->cv.notify_all();
      },
      [shared] {
        std::lock_guard lock(shared->mutex);
        shared->done = true;
        shared->cv.notify_all();
      });
  std::unique_lock lock(shared->mutex);
  shared->cv.wait(lock, [&] { return shared->done; });
  return std::move(shared->value);
}

// A plain receiver for queued calls that belong to no window.
class GuiInvoker final : public QObject {
 public:
  using QObject::QObject;

 protected:
  bool event(QEvent* event) override;
};

}  // namespace mivo::ui::qthost
