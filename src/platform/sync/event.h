// Events. An auto-reset event: Pulse wakes one waiter. A pulse given while
// nobody waits is kept until the next wait takes it, so no wake-up is ever
// lost. A manual-reset event: once set, it stays set for every waiter.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace mivo::platform {

class AutoResetEvent {
 public:
  void Pulse();
  // Waits until pulsed and takes the pulse.
  void Wait();
  // Waits at most `timeout`; true when a pulse was taken.
  bool WaitFor(std::chrono::milliseconds timeout);

 private:
  std::mutex m_mtx;
  std::condition_variable m_cv;
  bool m_bSignaled = false;
};

class ManualResetEvent {
 public:
  void Set();
  // Waits at most `timeout`; true when the event is set.
  bool WaitFor(std::chrono::milliseconds timeout);

 private:
  std::mutex m_mtx;
  std::condition_variable m_cv;
  bool m_bSet = false;
};

}  // namespace mivo::platform
