// A stand-in encoder library for the bridge's tests. Built several times,
// each build behaving as its definitions say:
//   FAKE_NO_UNIT_STATES   MPGE_getUnitStates is not exported
//   FAKE_INIT_FAILS       MPGE_initializeWork returns 1
//   FAKE_FAIL_AT_FRAME=k  MPGE_processFrame returns 5 at its k-th call
//   FAKE_FRAME_COUNT=n    MPGE_getConfigure(15) gives n (default 5)
//   FAKE_END_AT=m         MPGE_processFrame returns 1 at its m-th call
//                         (default: the frame count)
//   FAKE_VERSION_FAILS    MPGE_getVersion returns 1
// MPGE_setConfigure(1, ...) fails when the input file cannot be opened.
// Every call is appended to the file named by $MIVO_FAKE_GOGO_LOG, one line
// each ("setConfigure 3 2 0", "setConfigure 1 0 /path", ...).
#include <cinttypes>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifndef FAKE_FRAME_COUNT
#define FAKE_FRAME_COUNT 5
#endif
#ifndef FAKE_END_AT
#define FAKE_END_AT FAKE_FRAME_COUNT
#endif

#define FAKE_API extern "C" __attribute__((visibility("default")))

namespace {

int g_calls = 0;  // processFrame calls of the current job

void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Log(const char* format, ...) {
  const char* path = std::getenv("MIVO_FAKE_GOGO_LOG");
  if (path == nullptr) return;
  std::FILE* f = std::fopen(path, "a");
  if (f == nullptr) return;
  va_list args;
  va_start(args, format);
  std::vfprintf(f, format, args);
  va_end(args);
  std::fputc('\n', f);
  std::fclose(f);
}

}  // namespace

FAKE_API uint32_t MPGE_initializeWork(void) {
  g_calls = 0;
  Log("initializeWork");
#ifdef FAKE_INIT_FAILS
  return 1;
#else
  return 0;
#endif
}

FAKE_API uint32_t MPGE_setConfigure(uint32_t id, uintptr_t value1, uintptr_t value2) {
  if (id == 1 || id == 2) {
    const char* text = reinterpret_cast<const char*>(value2);
    Log("setConfigure %u %" PRIuPTR " %s", id, value1, text ? text : "(null)");
    if (id == 1) {
      std::FILE* f = text ? std::fopen(text, "rb") : nullptr;
      if (f == nullptr) return 4;
      std::fclose(f);
    }
    return 0;
  }
  Log("setConfigure %u %" PRIuPTR " %" PRIuPTR, id, value1, value2);
  return 0;
}

FAKE_API uint32_t MPGE_getConfigure(uint32_t id, uint32_t* result) {
  Log("getConfigure %u", id);
  if (id != 15 || result == nullptr) return 2;
  *result = FAKE_FRAME_COUNT;
  return 0;
}

FAKE_API uint32_t MPGE_detectConfigure(void) {
  Log("detectConfigure");
  return 0;
}

FAKE_API uint32_t MPGE_processFrame(void) {
  ++g_calls;
  Log("processFrame");
#ifdef FAKE_FAIL_AT_FRAME
  if (g_calls == FAKE_FAIL_AT_FRAME) return 5;
#endif
  return g_calls >= FAKE_END_AT ? 1 : 0;
}

FAKE_API uint32_t MPGE_closeCoder(void) {
  Log("closeCoder");
  return 0;
}

FAKE_API uint32_t MPGE_endCoder(void) {
  Log("endCoder");
  return 0;
}

FAKE_API uint32_t MPGE_getVersion(uint32_t* code, char* text) {
  Log("getVersion");
#ifdef FAKE_VERSION_FAILS
  (void)code;
  (void)text;
  return 1;
#else
  *code = 1;
  std::snprintf(text, 260, "fake gogo 1.0");
  return 0;
#endif
}

#ifndef FAKE_NO_UNIT_STATES
FAKE_API uint32_t MPGE_getUnitStates(uint32_t* units) {
  *units = 0;
  return 0;
}
#endif
