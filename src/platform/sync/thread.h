// Threads with a Windows-style priority, process priority classes and Sleep.
#pragma once

#include <pthread.h>

#include <cstdint>
#include <functional>
#include <string>

namespace mivo::platform {

// A thread of our own, started without exceptions: a system that refuses
// a new thread (no memory for its stack, too many threads) is reported by
// Start returning false, where std::thread would throw. The destructor
// joins a thread that is still running.
class Thread {
 public:
  Thread() = default;
  ~Thread() { Join(); }
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Runs `body` on a new thread. False, with *error saying why, when the
  // thread could not be made (or one is already running).
  bool Start(std::function<void()> body, std::string* error = nullptr);
  bool Joinable() const { return m_bJoinable; }
  // True when called on this thread itself.
  bool IsCurrent() const { return m_bJoinable && ::pthread_equal(m_thread, ::pthread_self()) != 0; }
  // Waits for the thread to end; nothing when none runs.
  void Join();

 private:
  pthread_t m_thread{};
  bool m_bJoinable = false;
};

// Windows thread priorities: -15 idle, -2 lowest ... 2 highest, 15 time critical.
// Applies to the calling thread (Linux: SCHED_IDLE or its nice value).
// Returns false when the system refused; the priority is then unchanged.
bool SetCurrentThreadPriority(int priority);

// Windows priority classes: 64 idle, 16384 below normal, 32 normal,
// 32768 above normal, 128 high, 256 realtime. Any other value is refused.
// Returns false when refused; the priority is then unchanged.
bool SetProcessPriorityClass(std::int32_t priorityClass);

void Sleep(unsigned milliseconds);

// The processors this process may run on (its affinity mask, so a
// `taskset` or a container's CPU set counts), at least 1.
int ProcessorCount();

// How the system schedules a thread: its policy with its static priority,
// and its nice value (on Linux each thread has its own).
struct ThreadScheduling {
  int policy = 0;
  int priority = 0;
  int nice = 0;
};
// The calling thread's scheduling.
ThreadScheduling CurrentThreadScheduling();
// Gives the calling thread `scheduling`, as a helper thread takes the one
// of the thread it works for. False when the system refuses (a priority
// above the thread's own needs rights); the scheduling is then unchanged
// as far as it was refused.
bool SetCurrentThreadScheduling(const ThreadScheduling& scheduling);

}  // namespace mivo::platform
