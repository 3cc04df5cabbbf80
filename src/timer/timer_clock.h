// The clock of timed recording: whole seconds since 1970, behind an
// interface so that tests set the time instead of waiting for it.
#pragma once

#include <cstdint>

namespace mivo {

class IClock {
 public:
  virtual ~IClock() = default;
  // Seconds since 1970-01-01 00:00 UTC.
  virtual std::int64_t Now() const = 0;
};

class SystemClock final : public IClock {
 public:
  std::int64_t Now() const override;
};

}  // namespace mivo
