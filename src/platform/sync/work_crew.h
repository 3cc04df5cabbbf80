// A few helper threads that share one job with the thread that owns them:
// the job is cut into slices, the owner runs slice 0 and each helper one of
// the others, and Run returns when every slice is done.
//
// The helpers take the scheduling of the thread that made the crew (policy,
// priority and nice value), so that work done for a low-priority thread
// stays at its priority. A helper the system refuses is simply not there:
// the crew is smaller, never an error.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/sync/thread.h"

namespace mivo::platform {

class WorkCrew {
 public:
  // Starts up to `helpers` threads (none for 0 or less).
  explicit WorkCrew(int helpers);
  // Ends the helpers and waits for them.
  ~WorkCrew();
  WorkCrew(const WorkCrew&) = delete;
  WorkCrew& operator=(const WorkCrew&) = delete;

  // The owner and the helpers that started: the number of slices of a job.
  int Size() const { return static_cast<int>(m_helpers.size()) + 1; }

  // Runs job(0) … job(Size() - 1), slice 0 on the calling thread, and
  // returns when all have returned. Only the owner calls Run, one job at a
  // time; a job must return on its own (it is computation, not waiting).
  void Run(const std::function<void(int slice)>& job);

 private:
  void HelperLoop(int slice, ThreadScheduling scheduling);

  std::mutex m_mtx;
  std::condition_variable m_cvWork;
  std::condition_variable m_cvDone;
  const std::function<void(int)>* m_job = nullptr;
  std::uint64_t m_generation = 0;  // counts the jobs handed out
  int m_pending = 0;               // helper slices of the current job not yet done
  bool m_bEnding = false;
  std::vector<std::unique_ptr<Thread>> m_helpers;
};

}  // namespace mivo::platform
