#include "private_logind.h"

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <sstream>
#include <thread>

#include "support/child_process.h"
#include "support/temp_folder.h"

namespace mivo::platform::test_support {
namespace {

using mivo::testing::Exited;
using mivo::testing::KillAndWait;
using mivo::testing::OnPath;
using mivo::testing::ReadBytes;
using mivo::testing::RunBounded;
using mivo::testing::Spawn;

constexpr const char* kPython = "/usr/bin/python3";
constexpr auto kStartBound = std::chrono::seconds(15);
constexpr int kCallBound = 10;

bool Waited(const std::function<bool()>& ready, pid_t pid) {
  const auto end = std::chrono::steady_clock::now() + kStartBound;
  while (std::chrono::steady_clock::now() < end) {
    if (Exited(pid)) return false;
    if (ready()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
  }
  return false;
}

}  // namespace

PrivateLogind::PrivateLogind()
    : m_address("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + m_folder / "sysbus").c_str()),
      // Our session comes from the mock alone, never from the caller's.
      m_sessionId("XDG_SESSION_ID", nullptr) {}

PrivateLogind::~PrivateLogind() {
  KillAndWait(m_mock, SIGTERM);
  KillAndWait(m_daemon, SIGTERM);
}

std::string PrivateLogind::Missing() {
  for (const char* p : {"dbus-daemon", "dbus-send", "timeout"}) {
    if (!OnPath(p)) return std::string(p) + " is not installed (package dbus)";
  }
  if (!RunBounded({kPython, "-c", "import dbusmock"}, kCallBound)) {
    return "python3-dbusmock is not installed";
  }
  return {};
}

bool PrivateLogind::StartBus(std::string* error) {
  if (m_folder.Path().empty()) {
    *error = "no temporary folder";
    return false;
  }
  m_daemon = Spawn({"dbus-daemon", "--config-file=/usr/share/dbus-1/session.conf", "--nofork",
                    "--address=unix:path=" + m_folder / "sysbus"},
                   m_folder / "dbus-daemon.out");
  if (m_daemon <= 0 ||
      !Waited([] { return RunBounded({"dbus-send", "--system", "--dest=org.freedesktop.DBus", "--print-reply",
                                      "/org/freedesktop/DBus", "org.freedesktop.DBus.GetId"},
                                     kCallBound); },
              m_daemon)) {
    *error = "the private bus does not answer (see " + m_folder / "dbus-daemon.out" + ")";
    return false;
  }
  return true;
}

bool PrivateLogind::StartLogind(std::string* error) {
  if (!IsOurs()) {
    *error = "DBUS_SYSTEM_BUS_ADDRESS does not name the private bus";
    return false;
  }
  m_mock = Spawn({kPython, "-m", "dbusmock", "--system", "--template", "logind", "-l", m_folder / "mock.log"},
                 m_folder / "mock.out");
  const std::string answer = m_folder / "owner.out";
  auto owned = [&] {
    std::filesystem::remove(answer);
    return RunBounded({"dbus-send", "--system", "--dest=org.freedesktop.DBus", "--print-reply",
                       "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner",
                       "string:org.freedesktop.login1"},
                      kCallBound, answer) &&
           ReadBytes(answer).find("boolean true") != std::string::npos;
  };
  if (m_mock <= 0 || !Waited(owned, m_mock)) {
    *error = "the logind mock did not come up (see " + m_folder / "mock.out" + ")";
    return false;
  }
  return true;
}

bool PrivateLogind::IsOurs() const {
  const char* address = ::getenv("DBUS_SYSTEM_BUS_ADDRESS");
  const std::string prefix = "unix:path=" + m_folder.Path() + "/";
  return !m_folder.Path().empty() && address != nullptr && std::string(address).rfind(prefix, 0) == 0 &&
         std::string(address).find_first_of(";,", prefix.size()) == std::string::npos;
}

void PrivateLogind::UseSocket(const std::string& name) {
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + m_folder / name).c_str(), 1);
}

bool PrivateLogind::Call(const std::string& method, const std::vector<std::string>& args, std::string* reply) {
  std::vector<std::string> argv{"dbus-send", "--system", "--print-reply", "--reply-timeout=5000",
                                "--dest=org.freedesktop.login1", "/org/freedesktop/login1", method};
  argv.insert(argv.end(), args.begin(), args.end());
  const std::string out = m_folder / "call.out";
  std::filesystem::remove(out);
  const bool ok = RunBounded(argv, kCallBound, out);
  if (reply) *reply = ReadBytes(out);
  return ok;
}

bool PrivateLogind::AddMethod(const std::string& name, const std::string& in, const std::string& out,
                              const std::string& code) {
  return Call("org.freedesktop.DBus.Mock.AddMethod",
              {"string:org.freedesktop.login1.Manager", "string:" + name, "string:" + in, "string:" + out,
               "string:" + code});
}

void PrivateLogind::Mark() { m_mark = ReadBytes(m_folder / "mock.log").size(); }

std::vector<std::string> PrivateLogind::CallsSinceMark(const std::vector<std::string>& methods) const {
  const std::string log = ReadBytes(m_folder / "mock.log");
  std::istringstream lines(m_mark < log.size() ? log.substr(m_mark) : std::string());
  std::vector<std::string> calls;
  std::string line;
  while (std::getline(lines, line)) {
    const std::size_t space = line.find(' ');
    if (space == std::string::npos) continue;
    const std::string call = line.substr(space + 1);
    const std::string name = call.substr(0, call.find(' '));
    if (methods.empty() || std::find(methods.begin(), methods.end(), name) != methods.end()) {
      calls.push_back(call);
    }
  }
  return calls;
}

}  // namespace mivo::platform::test_support
