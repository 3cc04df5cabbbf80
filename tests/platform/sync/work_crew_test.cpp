// The crew of helper threads: every slice once per job, the owner's
// scheduling on every helper, fewer helpers when the system gives none.
#include <gtest/gtest.h>

#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "platform/sync/thread.h"
#include "platform/sync/work_crew.h"
#include "support/no_new_threads.h"

namespace mivo::platform {
namespace {

TEST(WorkCrew, EverySliceRunsOncePerJobAndRunReturnsAfterAll) {
  EXPECT_GE(ProcessorCount(), 1);
  for (int helpers : {0, 1, 4}) {
    WorkCrew crew(helpers);
    ASSERT_EQ(crew.Size(), helpers + 1);
    std::vector<int> runs(static_cast<std::size_t>(crew.Size()), 0);
    std::vector<pid_t> threads(runs.size(), 0);
    for (int job = 0; job < 200; ++job) {
      crew.Run([&](int slice) {
        ++runs[static_cast<std::size_t>(slice)];  // each slice has its own entry
        threads[static_cast<std::size_t>(slice)] = static_cast<pid_t>(::syscall(SYS_gettid));
      });
      for (int n : runs) ASSERT_EQ(n, job + 1) << helpers << " helpers";
    }
    EXPECT_EQ(threads[0], static_cast<pid_t>(::syscall(SYS_gettid)));  // slice 0 is the owner's
    for (std::size_t i = 1; i < threads.size(); ++i) EXPECT_NE(threads[i], threads[0]);
  }
}

// On a thread of its own, so that the test process keeps its priority.
template <class F>
void OnThread(F&& body) {
  Thread t;
  ASSERT_TRUE(t.Start(std::forward<F>(body)));
  t.Join();
}

TEST(WorkCrew, HelpersRunAtTheSchedulingOfTheThreadThatMadeTheCrew) {
  struct Seen {
    int policy;
    int nice;
  };
  auto helpersOf = [](std::vector<Seen>& seen) {
    WorkCrew crew(3);
    seen.assign(static_cast<std::size_t>(crew.Size()), Seen{-1, 99});
    crew.Run([&](int slice) {
      const auto tid = static_cast<id_t>(::syscall(SYS_gettid));
      seen[static_cast<std::size_t>(slice)] = Seen{::sched_getscheduler(0), ::getpriority(PRIO_PROCESS, tid)};
    });
  };
  std::vector<Seen> low, idle;
  OnThread([&] {
    // The conversion worker's "lowest" priority, then the idle class.
    ASSERT_TRUE(SetCurrentThreadPriority(-2));
    helpersOf(low);
    ASSERT_TRUE(SetCurrentThreadPriority(-15));
    helpersOf(idle);
  });
  ASSERT_EQ(low.size(), 4u);
  for (const Seen& s : low) {
    EXPECT_EQ(s.policy, SCHED_OTHER);
    EXPECT_EQ(s.nice, 10);
  }
  for (const Seen& s : idle) EXPECT_EQ(s.policy, SCHED_IDLE);
}

TEST(WorkCrew, AHelperTheSystemRefusesLeavesASmallerCrewThatStillWorks) {
  testing::NoNewThreads refuse;
  ASSERT_TRUE(refuse.Ok());
  WorkCrew crew(3);
  EXPECT_EQ(crew.Size(), 1);
  int runs = 0;
  crew.Run([&](int slice) { runs += slice == 0; });
  EXPECT_EQ(runs, 1);
}

}  // namespace
}  // namespace mivo::platform
