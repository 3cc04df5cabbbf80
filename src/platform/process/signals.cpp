#include "platform/process/signals.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace mivo::platform {

bool TerminationWatcher::Start(Callback onSignal) {
  if (Running() || !onSignal) return false;

  sigset_t watched;
  if (::sigemptyset(&watched) != 0 || ::sigaddset(&watched, SIGTERM) != 0 ||
      ::sigaddset(&watched, SIGINT) != 0 || ::sigaddset(&watched, SIGHUP) != 0) {
    return false;
  }
  UniqueFd signals(::signalfd(-1, &watched, SFD_CLOEXEC | SFD_NONBLOCK));
  if (!signals) return false;
  UniqueFd stop(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!stop) return false;

  // Blocked before the thread exists, so the thread inherits the mask too.
  sigset_t previous;
  if (::pthread_sigmask(SIG_BLOCK, &watched, &previous) != 0) return false;

  m_onSignal = std::move(onSignal);
  m_signals = std::move(signals);
  m_stop = std::move(stop);
  if (!m_thread.Start([this] { Watch(); })) {
    static_cast<void>(::pthread_sigmask(SIG_SETMASK, &previous, nullptr));
    m_onSignal = nullptr;
    m_signals.Reset();
    m_stop.Reset();
    return false;
  }
  m_previousMask = previous;
  m_startThread = ::pthread_self();
  return true;
}

void TerminationWatcher::Stop() {
  if (!m_thread.Joinable()) return;
  const std::uint64_t one = 1;
  ssize_t written = -1;
  do {
    written = ::write(m_stop.Get(), &one, sizeof one);
  } while (written < 0 && errno == EINTR);
  // An eventfd write fails only on counter overflow, which one write cannot cause.
  if (m_thread.IsCurrent()) return;  // from the callback
  m_thread.Join();
  m_onSignal = nullptr;
  m_signals.Reset();
  m_stop.Reset();

  if (::pthread_equal(m_startThread, ::pthread_self()) == 0) return;
  // Unblock only what Start blocked; whatever else changed since stays.
  sigset_t unblock;
  if (::sigemptyset(&unblock) != 0) return;
  for (const int signo : {SIGTERM, SIGINT, SIGHUP}) {
    if (::sigismember(&m_previousMask, signo) == 0 && ::sigaddset(&unblock, signo) != 0) return;
  }
  static_cast<void>(::pthread_sigmask(SIG_UNBLOCK, &unblock, nullptr));  // valid arguments: cannot fail
}

void TerminationWatcher::Watch() {
  for (;;) {
    pollfd fds[2] = {{m_signals.Get(), POLLIN, 0}, {m_stop.Get(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      // Only a shortage of kernel memory is left; wait for it to pass.
      Sleep(100);
      continue;
    }
    // Signals first, so one that came with the stop request is still reported.
    if ((fds[0].revents & POLLIN) != 0) {
      for (;;) {
        signalfd_siginfo info{};
        const ssize_t n = ::read(m_signals.Get(), &info, sizeof info);
        if (n < 0 && errno == EINTR) continue;
        if (n != static_cast<ssize_t>(sizeof info)) break;  // EAGAIN: all taken
        m_onSignal(static_cast<int>(info.ssi_signo));
      }
    }
    if (fds[1].revents != 0) return;
  }
}

}  // namespace mivo::platform
