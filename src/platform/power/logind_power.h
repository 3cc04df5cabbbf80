// The power services on systemd-logind, over the system D-Bus.
#pragma once

#include <chrono>
#include <memory>

#include "platform/power/power.h"

namespace mivo::platform {

struct LogindPowerOptions {
  // The bound of connecting to the system bus and of every call on it.
  std::chrono::milliseconds timeout{5000};
};

// The system bus is the one DBUS_SYSTEM_BUS_ADDRESS names, else the
// machine's own. Every request opens a connection of its own and closes it
// again, so a bus or logind that comes and goes is met afresh each time; a
// missing bus or logind makes a request fail with a message, within the
// timeout.
std::unique_ptr<IPowerSystem> CreateLogindPower(const LogindPowerOptions& options = {});

}  // namespace mivo::platform
