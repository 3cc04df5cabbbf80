#include "platform/sync/event.h"

namespace mivo::platform {

void AutoResetEvent::Pulse() {
  {
    std::lock_guard lock(m_mtx);
    m_bSignaled = true;
  }
  m_cv.notify_one();
}

void AutoResetEvent::Wait() {
  std::unique_lock lock(m_mtx);
  m_cv.wait(lock, [this] { return m_bSignaled; });
  m_bSignaled = false;
}

bool AutoResetEvent::WaitFor(std::chrono::milliseconds timeout) {
  std::unique_lock lock(m_mtx);
  if (!m_cv.wait_for(lock, timeout, [this] { return m_bSignaled; })) return false;
  m_bSignaled = false;
  return true;
}

void ManualResetEvent::Set() {
  {
    std::lock_guard lock(m_mtx);
    m_bSet = true;
  }
  m_cv.notify_all();
}

bool ManualResetEvent::WaitFor(std::chrono::milliseconds timeout) {
  std::unique_lock lock(m_mtx);
  return m_cv.wait_for(lock, timeout, [this] { return m_bSet; });
}

}  // namespace mivo::platform
