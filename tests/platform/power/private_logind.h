// A private D-Bus daemon standing in for the system bus, in a temporary
// folder of its own, with python3-dbusmock's logind template on it. While
// this object lives, DBUS_SYSTEM_BUS_ADDRESS names that bus, so the power
// layer, dbus-send and the mock all meet there and nothing reaches the
// machine's logind.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "test_folders.h"

namespace mivo::platform::test_support {

class PrivateLogind {
 public:
  PrivateLogind();
  ~PrivateLogind();  // the mock and the daemon are stopped by their PIDs
  PrivateLogind(const PrivateLogind&) = delete;
  PrivateLogind& operator=(const PrivateLogind&) = delete;

  // Why the tests cannot run here (a program is missing), or empty.
  static std::string Missing();

  // Starts the bus daemon and waits until it answers.
  bool StartBus(std::string* error);
  // Starts the logind mock on the bus and waits until it owns its name.
  bool StartLogind(std::string* error);

  // Whether DBUS_SYSTEM_BUS_ADDRESS names a socket in this object's own
  // folder. Nothing may ask for a power action otherwise.
  bool IsOurs() const;
  // Points DBUS_SYSTEM_BUS_ADDRESS at `name` in our folder instead (a socket
  // that is not there, or one the test serves itself).
  void UseSocket(const std::string& name);
  std::string PathOf(const std::string& name) const { return m_folder / name; }

  // Calls a method on logind's main object with dbus-send arguments
  // ("string:…", "uint32:…"); its printed reply in `reply`.
  bool Call(const std::string& method, const std::vector<std::string>& args, std::string* reply = nullptr);
  // Adds (or replaces) a method of org.freedesktop.login1.Manager.
  bool AddMethod(const std::string& name, const std::string& in, const std::string& out,
                 const std::string& code);

  // The calls the mock logged since the last Mark(), without time stamps
  // (`PowerOffWithFlags 1`, `TerminateSession "c2"`), optionally only those
  // whose method is in `methods`.
  std::vector<std::string> CallsSinceMark(const std::vector<std::string>& methods = {}) const;
  void Mark();

 private:
  TempFolder m_folder;
  ScopedEnv m_address;
  ScopedEnv m_sessionId;
  pid_t m_daemon = -1;
  pid_t m_mock = -1;
  std::size_t m_mark = 0;
};

}  // namespace mivo::platform::test_support
