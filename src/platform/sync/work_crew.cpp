#include "platform/sync/work_crew.h"

#include <new>

namespace mivo::platform {

WorkCrew::WorkCrew(int helpers) {
  const ThreadScheduling scheduling = CurrentThreadScheduling();
  for (int i = 0; i < helpers; ++i) {
    std::unique_ptr<Thread> thread(new (std::nothrow) Thread);
    if (!thread) break;
    const int slice = Size();
    if (!thread->Start([this, slice, scheduling] { HelperLoop(slice, scheduling); })) break;
    m_helpers.push_back(std::move(thread));
  }
}

WorkCrew::~WorkCrew() {
  {
    std::lock_guard lock(m_mtx);
    m_bEnding = true;
  }
  m_cvWork.notify_all();
  m_helpers.clear();  // each Thread joins as it goes
}

void WorkCrew::HelperLoop(int slice, ThreadScheduling scheduling) {
  // The thread began with its creator's scheduling already; setting it
  // again makes sure of it. A refusal leaves what the system gave.
  static_cast<void>(SetCurrentThreadScheduling(scheduling));
  std::uint64_t seen = 0;
  for (;;) {
    const std::function<void(int)>* job = nullptr;
    {
      std::unique_lock lock(m_mtx);
      m_cvWork.wait(lock, [&] { return m_bEnding || m_generation != seen; });
      if (m_bEnding) return;
      seen = m_generation;
      job = m_job;
    }
    (*job)(slice);
    {
      std::lock_guard lock(m_mtx);
      if (--m_pending == 0) m_cvDone.notify_one();
    }
  }
}

void WorkCrew::Run(const std::function<void(int)>& job) {
  if (m_helpers.empty()) {
    job(0);
    return;
  }
  {
    std::lock_guard lock(m_mtx);
    m_job = &job;
    m_pending = static_cast<int>(m_helpers.size());
    ++m_generation;
  }
  m_cvWork.notify_all();
  job(0);
  // The helpers' slices are computation of the same size as the owner's
  // own: this wait ends when they do.
  std::unique_lock lock(m_mtx);
  m_cvDone.wait(lock, [&] { return m_pending == 0; });
  m_job = nullptr;
}

}  // namespace mivo::platform
