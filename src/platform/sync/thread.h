// Threads with a Windows-style priority, process priority classes and Sleep.
#pragma once

#include <cstdint>

namespace mivo::platform {

// Windows thread priorities: -15 idle, -2 lowest ... 2 highest, 15 time critical.
// Applies to the calling thread (Linux: SCHED_IDLE or its nice value).
// Returns false when the system refused; the priority is then unchanged.
bool SetCurrentThreadPriority(int priority);

// Windows priority classes: 64 idle, 16384 below normal, 32 normal,
// 32768 above normal, 128 high, 256 realtime. Any other value is refused.
// Returns false when refused; the priority is then unchanged.
bool SetProcessPriorityClass(std::int32_t priorityClass);

void Sleep(unsigned milliseconds);

}  // namespace mivo::platform
