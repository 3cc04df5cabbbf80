// The power services of the system: may this user end the session or power
// the machine off, the request itself, and keeping the machine awake. The
// stand-in for the shutdown privilege and ExitWindowsEx, with the same flag
// values, so that the settings keep their meaning.
#pragma once

#include <memory>
#include <string>

namespace mivo::platform {

// ExitWindowsEx's flags, as stored in the settings.
inline constexpr unsigned EWX_LOGOFF = 0;
inline constexpr unsigned EWX_SHUTDOWN = 1;
inline constexpr unsigned EWX_REBOOT = 2;
inline constexpr unsigned EWX_FORCE = 4;
inline constexpr unsigned EWX_POWEROFF = 8;
inline constexpr unsigned EWX_FORCEIFHUNG = 16;

// Held while the machine must not sleep or go idle; released when destroyed.
class ISleepInhibitor {
 public:
  virtual ~ISleepInhibitor() = default;
};

class IPowerSystem {
 public:
  virtual ~IPowerSystem() = default;

  // "Obtaining the shutdown right": whether this user may take the action
  // that `ewxFlags` names (an action value, optionally OR-ed with a force
  // value). False, with `why` filled, when the system refuses or cannot be
  // asked.
  virtual bool ObtainShutdownRight(unsigned ewxFlags, std::string* why) = 0;

  // Requests the action. True when the system accepted the request; false,
  // with `error` filled, otherwise.
  virtual bool ExitWindowsEx(unsigned ewxFlags, std::string* error) = 0;

  // Keeps the machine from sleeping and idling while the returned lock
  // lives. nullptr, with `error` filled, when the system cannot be asked;
  // recording goes on regardless.
  virtual std::unique_ptr<ISleepInhibitor> InhibitSleep(const std::string& who, const std::string& why,
                                                        std::string* error) = 0;
};

}  // namespace mivo::platform
