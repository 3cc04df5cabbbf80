// The nine entry points over the process's one job slot.
#include "gogo/gogo.h"

#include <lame/lame.h>

#include <cstdio>
#include <memory>
#include <mutex>
#include <new>

#include "encoder_job.h"

namespace {

constexpr std::uint32_t kVersionCode = 0x0100;
constexpr const char* kVersionName = "libgogo 1.00";

// The job slot: the entry points carry no handle, so the process has one
// job at a time. This is the library's only mutable state; every entry
// point holds the lock for the whole call.
struct JobSlot {
  std::mutex mutex;
  std::unique_ptr<gogo::EncoderJob> job;
};

JobSlot& Slot() {
  static JobSlot slot;
  return slot;
}

// Runs `f` on the current job under the lock. No exception leaves the
// library: running out of memory is reported as such.
template <typename F>
std::uint32_t WithJob(F&& f) {
  try {
    JobSlot& slot = Slot();
    std::lock_guard lock(slot.mutex);
    if (!slot.job) return MPGE_ERR_NO_JOB;
    return f(*slot.job);
  } catch (const std::bad_alloc&) {
    return MPGE_ERR_NO_MEMORY;
  } catch (...) {
    return MPGE_ERR_ENCODER;
  }
}

}  // namespace

extern "C" {

GOGO_API uint32_t MPGE_initializeWork(void) {
  try {
    auto job = std::make_unique<gogo::EncoderJob>();
    JobSlot& slot = Slot();
    std::lock_guard lock(slot.mutex);
    // A job left over from a caller that never ended it is abandoned: its
    // unfinished output is removed.
    if (slot.job) slot.job->Close();
    slot.job = std::move(job);
    return MPGE_OK;
  } catch (const std::bad_alloc&) {
    return MPGE_ERR_NO_MEMORY;
  } catch (...) {
    return MPGE_ERR_ENCODER;
  }
}

GOGO_API uint32_t MPGE_setConfigure(uint32_t id, uintptr_t value1, uintptr_t value2) {
  return WithJob([&](gogo::EncoderJob& job) { return job.Configure(id, value1, value2); });
}

GOGO_API uint32_t MPGE_getConfigure(uint32_t id, uint32_t* result) {
  return WithJob([&](gogo::EncoderJob& job) { return job.Query(id, result); });
}

GOGO_API uint32_t MPGE_detectConfigure(void) {
  return WithJob([](gogo::EncoderJob& job) { return job.Prepare(); });
}

GOGO_API uint32_t MPGE_processFrame(void) {
  return WithJob([](gogo::EncoderJob& job) { return job.ProcessFrame(); });
}

GOGO_API uint32_t MPGE_closeCoder(void) {
  return WithJob([](gogo::EncoderJob& job) {
    job.Close();
    return static_cast<std::uint32_t>(MPGE_OK);
  });
}

GOGO_API uint32_t MPGE_endCoder(void) {
  try {
    JobSlot& slot = Slot();
    std::lock_guard lock(slot.mutex);
    if (!slot.job) return MPGE_ERR_NO_JOB;
    slot.job->Close();
    slot.job.reset();
    return MPGE_OK;
  } catch (...) {
    return MPGE_ERR_ENCODER;
  }
}

GOGO_API uint32_t MPGE_getVersion(uint32_t* code, char* text) {
  if (code == nullptr || text == nullptr) return MPGE_ERR_ARGUMENT;
  *code = kVersionCode;
  const int n = std::snprintf(text, MPGE_VERSION_TEXT_SIZE, "%s (LAME %s)", kVersionName, get_lame_version());
  return n > 0 ? MPGE_OK : MPGE_ERR_ENCODER;
}

GOGO_API uint32_t MPGE_getUnitStates(uint32_t* units) {
  if (units == nullptr) return MPGE_ERR_ARGUMENT;
  uint32_t bits = 0;
#if defined(__x86_64__) || defined(__i386__)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("mmx")) bits |= MPGE_UNIT_MMX;
  if (__builtin_cpu_supports("sse")) bits |= MPGE_UNIT_SSE;
  if (__builtin_cpu_supports("sse2")) bits |= MPGE_UNIT_SSE2;
  if (__builtin_cpu_supports("avx")) bits |= MPGE_UNIT_AVX;
#endif
  *units = bits;
  return MPGE_OK;
}

}  // extern "C"
