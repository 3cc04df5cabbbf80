// The power layer against python3-dbusmock's logind template on a private
// bus that each test starts in a folder of its own and stops by PID. No test
// asks for a power action unless DBUS_SYSTEM_BUS_ADDRESS names its own socket.
#include "platform/power/logind_power.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <span>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "support/child_process.h"
#include "support/temp_folder.h"
#include "test_folders.h"

namespace mivo::platform {
namespace {

using namespace mivo::testing;
using test_support::ScopedEnv;
using test_support::TempFolder;
using Calls = std::vector<std::string>;

const Calls kRequests = {"PowerOff", "PowerOffWithFlags", "Reboot", "RebootWithFlags", "TerminateSession"};

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

bool Within(std::chrono::seconds bound, const std::function<bool()>& done) {
  for (const auto end = std::chrono::steady_clock::now() + bound; std::chrono::steady_clock::now() < end;) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
  }
  return false;
}

class LogindPowerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!OnPath("dbus-daemon") || !OnPath("dbus-send") ||
        !RunBounded({"/usr/bin/python3", "-c", "import dbusmock"}, 10)) {
      GTEST_SKIP() << "needs dbus-daemon, dbus-send and python3-dbusmock";
    }
    m_daemon = Spawn({"dbus-daemon", "--config-file=/usr/share/dbus-1/session.conf", "--nofork",
                      "--address=unix:path=" + m_folder / "sysbus"});
    ASSERT_TRUE(Within(std::chrono::seconds(15), [&] {
      return RunBounded({"dbus-send", "--system", "--dest=org.freedesktop.DBus", "--print-reply", "/",
                         "org.freedesktop.DBus.GetId"}, 10);
    })) << "the private bus does not answer";
  }
  void TearDown() override {
    KillAndWait(m_mock, SIGTERM);
    KillAndWait(m_daemon, SIGTERM);
  }

  void StartLogind() {
    ASSERT_TRUE(IsOurs());
    m_mock = Spawn({"/usr/bin/python3", "-m", "dbusmock", "--system", "--template", "logind", "-l",
                    m_folder / "mock.log"});
    ASSERT_TRUE(Within(std::chrono::seconds(15), [&] {
      std::string reply;
      return Send("org.freedesktop.DBus.NameHasOwner", {"string:org.freedesktop.login1"}, &reply,
                  "org.freedesktop.DBus") && Contains(reply, "boolean true");
    })) << "the logind mock did not come up";
  }

  // Whether DBUS_SYSTEM_BUS_ADDRESS names a socket in this test's own folder.
  bool IsOurs() const {
    const char* address = ::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    const std::string prefix = "unix:path=" + m_folder.Path() + "/";
    return !m_folder.Path().empty() && address && std::string(address).rfind(prefix, 0) == 0 &&
           std::string(address).find_first_of(";,", prefix.size()) == std::string::npos;
  }
  void UseSocket(const std::string& name) {
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + m_folder / name).c_str(), 1);
  }

  // The only way these tests ask for a power action.
  bool Request(IPowerSystem& power, unsigned flags, std::string* error) {
    if (!IsOurs()) {
      ADD_FAILURE() << "DBUS_SYSTEM_BUS_ADDRESS does not name this test's own bus: no power request";
      return false;
    }
    return power.ExitWindowsEx(flags, error);
  }
  bool Request(unsigned flags, std::string* error) { return Request(*m_power, flags, error); }

  // A method call on the bus (dbus-send arguments); the printed reply in `reply`.
  bool Send(const std::string& method, const Calls& args, std::string* reply = nullptr,
            const std::string& dest = "org.freedesktop.login1") {
    Calls argv{"dbus-send", "--system", "--print-reply", "--reply-timeout=5000", "--dest=" + dest,
               dest == "org.freedesktop.login1" ? "/org/freedesktop/login1" : "/", method};
    argv.insert(argv.end(), args.begin(), args.end());
    std::filesystem::remove(m_folder / "reply");
    const bool ok = RunBounded(argv, 10, m_folder / "reply");
    if (reply) *reply = ReadBytes(m_folder / "reply");
    return ok;
  }
  void AddMethod(const std::string& name, const std::string& in, const std::string& out,
                 const std::string& code) {
    ASSERT_TRUE(Send("org.freedesktop.DBus.Mock.AddMethod",
                     {"string:org.freedesktop.login1.Manager", "string:" + name, "string:" + in, "string:" + out,
                      "string:" + code}));
  }
  void AddFlaggedCalls() {
    AddMethod("PowerOffWithFlags", "t", "", "");
    AddMethod("RebootWithFlags", "t", "", "");
  }
  std::string Inhibitors() {
    std::string list;
    EXPECT_TRUE(Send("org.freedesktop.login1.Manager.ListInhibitors", {}, &list));
    return list;
  }

  // The calls the mock logged since the last Mark(), without time stamps
  // (`PowerOffWithFlags 1`), only those of `methods`.
  void Mark() { m_mark = ReadBytes(m_folder / "mock.log").size(); }
  Calls Since(const Calls& methods) const {
    std::istringstream lines(ReadBytes(m_folder / "mock.log").substr(m_mark));
    Calls calls;
    for (std::string line; std::getline(lines, line);) {
      const std::string call = line.substr(line.find(' ') + 1);
      if (std::count(methods.begin(), methods.end(), call.substr(0, call.find(' ')))) calls.push_back(call);
    }
    return calls;
  }

  TempFolder m_folder;
  ScopedEnv m_address{"DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + m_folder / "sysbus").c_str()};
  ScopedEnv m_session{"XDG_SESSION_ID", nullptr};  // our session comes from the mock alone
  pid_t m_daemon = -1;
  pid_t m_mock = -1;
  std::size_t m_mark = 0;
  std::unique_ptr<IPowerSystem> m_power = CreateLogindPower();
};

TEST_F(LogindPowerTest, RightFollowsLogindsAnswer) {
  StartLogind();
  const std::tuple<unsigned, const char*, const char*, bool> cases[] = {
      {EWX_POWEROFF, "CanPowerOff", "yes", true},   {EWX_SHUTDOWN | EWX_FORCE, "CanPowerOff", "challenge", true},
      {EWX_POWEROFF, "CanPowerOff", "no", false},   {EWX_SHUTDOWN, "CanPowerOff", "na", false},
      {EWX_REBOOT, "CanReboot", "challenge", true}, {EWX_REBOOT | EWX_FORCEIFHUNG, "CanReboot", "no", false}};
  for (const auto& [flags, asked, answer, granted] : cases) {
    SCOPED_TRACE(std::to_string(flags) + " " + answer);
    AddMethod(asked, "", "s", std::string("ret = '") + answer + "'");
    Mark();
    std::string why;
    EXPECT_EQ(m_power->ObtainShutdownRight(flags, &why), granted);
    EXPECT_EQ(Since({"CanPowerOff", "CanReboot"}), Calls{asked});
    EXPECT_TRUE(granted || Contains(why, std::string(asked) + ": " + answer)) << why;
    EXPECT_TRUE(Since(kRequests).empty());
  }
}

TEST_F(LogindPowerTest, EachActionAndForceModeReachesLogind) {
  StartLogind();
  using Cases = std::span<const std::pair<unsigned, const char*>>;
  const std::pair<unsigned, const char*> plain[] = {
      {EWX_POWEROFF, "PowerOff True"}, {EWX_SHUTDOWN | EWX_FORCE, "PowerOff True"}, {EWX_REBOOT, "Reboot True"}};
  const std::pair<unsigned, const char*> flagged[] = {
      {EWX_SHUTDOWN, "PowerOffWithFlags 1"},
      {EWX_POWEROFF, "PowerOffWithFlags 1"},
      {EWX_REBOOT, "RebootWithFlags 1"},
      {EWX_SHUTDOWN | EWX_FORCE, "PowerOffWithFlags 0"},
      {EWX_POWEROFF | EWX_FORCE, "PowerOffWithFlags 0"},
      {EWX_POWEROFF | EWX_FORCEIFHUNG, "PowerOffWithFlags 0"},
      {EWX_REBOOT | EWX_FORCE, "RebootWithFlags 0"},
      {EWX_REBOOT | EWX_FORCEIFHUNG, "RebootWithFlags 0"}};
  // A logind without the *WithFlags calls gets the plain ones.
  for (Cases cases : {Cases(plain), Cases(flagged)}) {
    for (const auto& [flags, request] : cases) {
      SCOPED_TRACE(flags);
      Mark();
      std::string error;
      EXPECT_TRUE(Request(flags, &error)) << error;
      EXPECT_EQ(Since(kRequests), Calls{request});
    }
    AddFlaggedCalls();
  }
  // An action outside the four asks for nothing.
  Mark();
  std::string error;
  EXPECT_FALSE(Request(3, &error));
  EXPECT_TRUE(Since(kRequests).empty());
}

TEST_F(LogindPowerTest, NormalModeStopsAtAnotherProgramsShutdownLock) {
  StartLogind();
  AddFlaggedCalls();
  // Locks that do not block shutting down: on sleep only, or a delay.
  AddMethod("ListInhibitors", "", "a(ssssuu)",
            "ret = [('sleep:idle', 'Player', 'playing', 'block', 1000, 4242),"
            " ('shutdown', 'Updater', 'saving', 'delay', 0, 4243)]");
  Mark();
  std::string error;
  EXPECT_TRUE(Request(EWX_POWEROFF, &error)) << error;
  EXPECT_EQ(Since(kRequests), Calls{"PowerOffWithFlags 1"});

  AddMethod("ListInhibitors", "", "a(ssssuu)",
            "ret = [('sleep:shutdown', 'Backup', 'copying files', 'block', 0, 4244)]");
  for (unsigned flags : {EWX_POWEROFF, EWX_REBOOT}) {
    Mark();
    EXPECT_FALSE(Request(flags, &error));
    EXPECT_TRUE(Contains(error, "Backup (copying files)")) << error;
    EXPECT_TRUE(Since(kRequests).empty());
  }
  Mark();
  EXPECT_TRUE(Request(EWX_REBOOT | EWX_FORCE, &error)) << error;
  EXPECT_EQ(Since(kRequests), Calls{"RebootWithFlags 0"});
}

TEST_F(LogindPowerTest, LogoffEndsTheSessionWeRunIn) {
  StartLogind();
  // Neither logind nor the environment knows our session.
  std::string why, error;
  EXPECT_FALSE(m_power->ObtainShutdownRight(EWX_LOGOFF, &why));
  EXPECT_TRUE(Contains(why, "no login session")) << why;
  Mark();
  EXPECT_FALSE(Request(EWX_LOGOFF, &error));
  EXPECT_TRUE(Since(kRequests).empty());

  // The session we were started in.
  ScopedEnv session("XDG_SESSION_ID", "c7");
  EXPECT_TRUE(m_power->ObtainShutdownRight(EWX_LOGOFF, &why)) << why;
  Mark();
  EXPECT_TRUE(Request(EWX_LOGOFF, &error)) << error;
  EXPECT_EQ(Since(kRequests), Calls{"TerminateSession \"c7\""});

  // logind's answer for our process comes first; force changes nothing.
  AddMethod("GetSessionByPID", "u", "o", "ret = '/org/freedesktop/login1/session/c2'");
  ASSERT_TRUE(Send("org.freedesktop.DBus.Mock.AddSession",
                   {"string:c2", "string:seat0", "uint32:1000", "string:rec", "boolean:true"}));
  Mark();
  EXPECT_TRUE(Request(EWX_LOGOFF | EWX_FORCE, &error)) << error;
  EXPECT_EQ(Since({"GetSessionByPID"}), Calls{"GetSessionByPID " + std::to_string(::getpid())});
  EXPECT_EQ(Since(kRequests), Calls{"TerminateSession \"c2\""});
}

TEST_F(LogindPowerTest, SleepLockHeldUntilDestroyed) {
  StartLogind();
  Mark();
  std::string error;
  std::unique_ptr<ISleepInhibitor> lock = m_power->InhibitSleep("Mivo", "録音中", &error);
  ASSERT_NE(lock, nullptr) << error;
  EXPECT_EQ(Since({"Inhibit"}), Calls{"Inhibit \"sleep:idle\" \"Mivo\" \"録音中\" \"block\""});
  EXPECT_TRUE(Contains(Inhibitors(), "\"Mivo\""));
  // The mock drops the lock once the last copy of its pipe is closed.
  lock.reset();
  EXPECT_TRUE(Within(std::chrono::seconds(10), [&] { return !Contains(Inhibitors(), "\"Mivo\""); }));
}

TEST_F(LogindPowerTest, NoLogindNoBusOrASilentBusIsARefusalWithAMessage) {
  // A socket that takes connections and never says a word.
  const int silent = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, (m_folder / "silent").c_str(), sizeof addr.sun_path - 1);
  ASSERT_EQ(::bind(silent, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(silent, 8), 0);

  const std::unique_ptr<IPowerSystem> power = CreateLogindPower({std::chrono::milliseconds(300)});
  const std::pair<const char*, const char*> places[] = {{"sysbus", "logind does not run"},
                                                        {"missing", "cannot connect to the system bus"},
                                                        {"silent", "did not answer"}};
  for (const auto& [socket, said] : places) {
    SCOPED_TRACE(socket);
    UseSocket(socket);
    for (unsigned flags : {EWX_POWEROFF, EWX_LOGOFF}) {
      std::string why, error;
      EXPECT_FALSE(power->ObtainShutdownRight(flags, &why));
      EXPECT_TRUE(Contains(why, said)) << why;
      EXPECT_FALSE(Request(*power, flags, &error));
      EXPECT_TRUE(Contains(error, said)) << error;
    }
    std::string error;
    EXPECT_EQ(power->InhibitSleep("Mivo", "録音中", &error), nullptr);
    EXPECT_TRUE(Contains(error, said)) << error;
  }
  ::close(silent);
}

}  // namespace
}  // namespace mivo::platform
