// Turns SIGTERM, SIGINT and SIGHUP into calls on a thread of our own, where
// the recorder can close its files in order instead of dying mid-write.
#pragma once

#include <pthread.h>
#include <signal.h>

#include <functional>

#include "platform/process/unique_fd.h"
#include "platform/sync/thread.h"

namespace mivo::platform {

class TerminationWatcher {
 public:
  using Callback = std::function<void(int signo)>;

  TerminationWatcher() = default;
  TerminationWatcher(const TerminationWatcher&) = delete;
  TerminationWatcher& operator=(const TerminationWatcher&) = delete;
  ~TerminationWatcher() { Stop(); }

  // Blocks the three signals in the calling thread and starts a thread that
  // takes them with a signalfd and calls onSignal(signo) for each, on that
  // thread. A thread inherits the signal mask of the thread that creates it,
  // so call this in main() before any other thread exists: then every thread
  // the program starts later keeps the signals blocked too, and none of them
  // can be killed by one. A thread created earlier would still take the
  // signals with their default action (termination). Send the signals to the
  // process (kill), not to one thread (raise, pthread_kill): a thread-directed
  // signal stays pending on a thread that never reads it.
  // False when already started or the system refused; nothing is changed then.
  bool Start(Callback onSignal);

  // Ends the thread (after a callback that is running returns). On the thread
  // that called Start, the three signals are unblocked again where they were
  // unblocked before Start; other bits of the mask are left as they are. A
  // signal that arrives after the thread ended has its default action once
  // unblocked. Must not be called from the callback.
  void Stop();

  bool Running() const { return m_thread.Joinable(); }

 private:
  void Watch();

  Callback m_onSignal;
  UniqueFd m_signals;  // signalfd
  UniqueFd m_stop;     // eventfd: readable once Stop() asks the thread to end
  Thread m_thread;
  pthread_t m_startThread{};
  sigset_t m_previousMask{};
};

}  // namespace mivo::platform
