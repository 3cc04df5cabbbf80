// While it lives, every thread started with the default attributes (as
// std::thread and platform::Thread start theirs) asks for a stack no system
// has, so that the system refuses it: a test of what a refused thread does.
#pragma once

#include <pthread.h>

#include <cstddef>

namespace mivo::testing {

class NoNewThreads {
 public:
  NoNewThreads() {
    pthread_attr_t huge;
    m_ok = ::pthread_getattr_default_np(&m_saved) == 0 && ::pthread_attr_init(&huge) == 0 &&
           ::pthread_attr_setstacksize(&huge, std::size_t{1} << 50) == 0 &&
           ::pthread_setattr_default_np(&huge) == 0;
  }
  ~NoNewThreads() { static_cast<void>(::pthread_setattr_default_np(&m_saved)); }
  NoNewThreads(const NoNewThreads&) = delete;
  NoNewThreads& operator=(const NoNewThreads&) = delete;
  bool Ok() const { return m_ok; }

 private:
  pthread_attr_t m_saved{};
  bool m_ok = false;
};

}  // namespace mivo::testing
