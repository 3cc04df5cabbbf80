#include "timer/timer_clock.h"

#include <ctime>

namespace mivo {

std::int64_t SystemClock::Now() const { return static_cast<std::int64_t>(std::time(nullptr)); }

}  // namespace mivo
