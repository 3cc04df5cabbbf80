#include "platform/sync/thread.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <new>
#include <thread>

namespace mivo::platform {
namespace {

bool SetNice(int nice) {
  // On Linux the nice value belongs to the thread: PRIO_PROCESS with the
  // thread id changes only the calling thread.
  const auto tid = static_cast<id_t>(::syscall(SYS_gettid));
  return ::setpriority(PRIO_PROCESS, tid, nice) == 0;
}

bool SetPolicy(int policy) {
  sched_param param{};
  param.sched_priority = 0;
  return ::pthread_setschedparam(::pthread_self(), policy, &param) == 0;
}

std::string ErrorText(int err) {
  char buffer[128];
  return ::strerror_r(err, buffer, sizeof buffer);  // GNU: returns the message
}

void* RunBody(void* arg) {
  std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(arg));
  (*body)();
  return nullptr;
}

}  // namespace

bool Thread::Start(std::function<void()> body, std::string* error) {
  if (m_bJoinable) {
    if (error != nullptr) *error = "the thread is already running";
    return false;
  }
  std::unique_ptr<std::function<void()>> owned(new (std::nothrow) std::function<void()>(std::move(body)));
  if (!owned) {
    if (error != nullptr) *error = ErrorText(ENOMEM);
    return false;
  }
  const int err = ::pthread_create(&m_thread, nullptr, RunBody, owned.get());
  if (err != 0) {
    if (error != nullptr) *error = ErrorText(err);
    return false;
  }
  static_cast<void>(owned.release());  // the thread owns it now
  m_bJoinable = true;
  return true;
}

void Thread::Join() {
  if (!m_bJoinable) return;
  static_cast<void>(::pthread_join(m_thread, nullptr));
  m_bJoinable = false;
}

bool SetCurrentThreadPriority(int priority) {
  int nice = 0;
  switch (priority) {
    case -15: return SetPolicy(SCHED_IDLE);
    case -2: nice = 10; break;
    case -1: nice = 5; break;
    case 0: nice = 0; break;
    case 1: nice = -5; break;
    case 2: nice = -10; break;
    case 15: nice = -15; break;
    default: return false;
  }
  if (!SetPolicy(SCHED_OTHER)) return false;
  return SetNice(nice);
}

bool SetProcessPriorityClass(std::int32_t priorityClass) {
  int nice = 0;
  switch (priorityClass) {
    case 64: nice = 19; break;
    case 16384: nice = 10; break;
    case 32: nice = 0; break;
    case 32768: nice = -5; break;
    case 128: nice = -10; break;
    case 256: nice = -20; break;
    default: return false;
  }
  return SetNice(nice);
}

void Sleep(unsigned milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

int ProcessorCount() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return count;
  }
  const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<int>(online) : 1;
}

ThreadScheduling CurrentThreadScheduling() {
  ThreadScheduling s;
  sched_param param{};
  if (::pthread_getschedparam(::pthread_self(), &s.policy, &param) == 0) s.priority = param.sched_priority;
  const auto tid = static_cast<id_t>(::syscall(SYS_gettid));
  errno = 0;
  const int nice = ::getpriority(PRIO_PROCESS, tid);
  if (errno == 0) s.nice = nice;
  return s;
}

bool SetCurrentThreadScheduling(const ThreadScheduling& scheduling) {
  sched_param param{};
  param.sched_priority = scheduling.priority;
  const bool policy = ::pthread_setschedparam(::pthread_self(), scheduling.policy, &param) == 0;
  return SetNice(scheduling.nice) && policy;
}

}  // namespace mivo::platform
