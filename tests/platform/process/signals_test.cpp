#include "platform/process/signals.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace mivo::platform {
namespace {

bool Blocked(int signo) {
  sigset_t mask;
  sigemptyset(&mask);
  pthread_sigmask(SIG_BLOCK, nullptr, &mask);
  return sigismember(&mask, signo) == 1;
}

// What the watcher's callback saw.
struct Received {
  std::mutex mtx;
  std::condition_variable cv;
  std::vector<int> signals;
  std::vector<std::thread::id> threads;

  void Add(int signo) {
    std::lock_guard lock(mtx);
    signals.push_back(signo);
    threads.push_back(std::this_thread::get_id());
    cv.notify_all();
  }
  bool WaitForCount(std::size_t count) {
    std::unique_lock lock(mtx);
    return cv.wait_for(lock, std::chrono::seconds(5), [&] { return signals.size() >= count; });
  }
};

// These tests start the watcher before anything else in the process creates
// a thread, as main() does.
TEST(TerminationWatcherTest, TerminationSignalsReachTheCallbackOnItsThread) {
  ASSERT_FALSE(Blocked(SIGTERM));
  Received received;
  TerminationWatcher watcher;
  ASSERT_TRUE(watcher.Start([&](int signo) { received.Add(signo); }));
  EXPECT_FALSE(watcher.Start([](int) {}));
  EXPECT_TRUE(Blocked(SIGTERM));
  bool inherited = false;
  std::thread([&] { inherited = Blocked(SIGTERM) && Blocked(SIGINT) && Blocked(SIGHUP); }).join();
  EXPECT_TRUE(inherited);

  const int sent[] = {SIGTERM, SIGINT, SIGHUP};
  for (std::size_t i = 0; i < std::size(sent); ++i) {
    ASSERT_EQ(::kill(::getpid(), sent[i]), 0);
    ASSERT_TRUE(received.WaitForCount(i + 1)) << "signal " << sent[i];
  }
  watcher.Stop();  // the process is still here to stop it
  EXPECT_EQ(received.signals, std::vector<int>(std::begin(sent), std::end(sent)));
  for (const auto& id : received.threads) EXPECT_NE(id, std::this_thread::get_id());
  EXPECT_FALSE(Blocked(SIGTERM));
  EXPECT_FALSE(Blocked(SIGINT));
  EXPECT_FALSE(Blocked(SIGHUP));
}

TEST(TerminationWatcherTest, StopKeepsWhatWasBlockedBeforeStart) {
  sigset_t hup;
  sigemptyset(&hup);
  sigaddset(&hup, SIGHUP);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &hup, nullptr), 0);
  {
    TerminationWatcher watcher;
    ASSERT_TRUE(watcher.Start([](int) {}));
    sigset_t usr1;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &usr1, nullptr), 0);  // changed while running
  }  // destroyed: stops
  EXPECT_FALSE(Blocked(SIGTERM));
  EXPECT_TRUE(Blocked(SIGHUP));
  EXPECT_TRUE(Blocked(SIGUSR1));
  sigaddset(&hup, SIGUSR1);
  ASSERT_EQ(pthread_sigmask(SIG_UNBLOCK, &hup, nullptr), 0);
}

}  // namespace
}  // namespace mivo::platform
