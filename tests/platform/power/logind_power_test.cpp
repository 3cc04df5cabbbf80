// The power layer against logind's stand-in on a private bus. No test asks
// for a power action unless DBUS_SYSTEM_BUS_ADDRESS names its own socket.
#include "platform/power/logind_power.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "private_logind.h"

namespace mivo::platform {
namespace {

using test_support::PrivateLogind;
using test_support::ScopedEnv;
using Calls = std::vector<std::string>;

const std::vector<std::string> kRequests = {"PowerOff", "PowerOffWithFlags", "Reboot", "RebootWithFlags",
                                            "Halt", "HaltWithFlags", "TerminateSession"};

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class LogindPowerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string missing = PrivateLogind::Missing();
    if (!missing.empty()) GTEST_SKIP() << missing;
    std::string error;
    ASSERT_TRUE(m_logind.StartBus(&error)) << error;
  }

  void StartLogind() {
    std::string error;
    ASSERT_TRUE(m_logind.StartLogind(&error)) << error;
  }

  void AddFlaggedCalls() {
    ASSERT_TRUE(m_logind.AddMethod("PowerOffWithFlags", "t", "", ""));
    ASSERT_TRUE(m_logind.AddMethod("RebootWithFlags", "t", "", ""));
  }

  void AddSession(const std::string& id) {
    ASSERT_TRUE(m_logind.AddMethod("GetSessionByPID", "u", "o", "ret = '/org/freedesktop/login1/session/" + id + "'"));
    ASSERT_TRUE(m_logind.Call("org.freedesktop.DBus.Mock.AddSession",
                              {"string:" + id, "string:seat0", "uint32:1000", "string:rec", "boolean:true"}));
  }

  void Answer(const std::string& canMethod, const std::string& answer) {
    ASSERT_TRUE(m_logind.AddMethod(canMethod, "", "s", "ret = '" + answer + "'"));
  }

  // The only ways these tests reach the layer: never beyond their own bus.
  bool Right(IPowerSystem& power, unsigned flags, std::string* why) {
    if (!m_logind.IsOurs()) {
      ADD_FAILURE() << "DBUS_SYSTEM_BUS_ADDRESS does not name this test's own bus";
      return false;
    }
    return power.ObtainShutdownRight(flags, why);
  }
  bool Request(IPowerSystem& power, unsigned flags, std::string* error) {
    if (!m_logind.IsOurs()) {
      ADD_FAILURE() << "DBUS_SYSTEM_BUS_ADDRESS does not name this test's own bus: no power request";
      return false;
    }
    return power.ExitWindowsEx(flags, error);
  }
  bool Right(unsigned flags, std::string* why) { return Right(*m_power, flags, why); }
  bool Request(unsigned flags, std::string* error) { return Request(*m_power, flags, error); }

  std::string Inhibitors() {
    std::string list;
    EXPECT_TRUE(m_logind.Call("org.freedesktop.login1.Manager.ListInhibitors", {}, &list));
    return list;
  }

  PrivateLogind m_logind;
  std::unique_ptr<IPowerSystem> m_power = CreateLogindPower();
};

TEST_F(LogindPowerTest, RightFollowsLogindsAnswer) {
  StartLogind();
  struct Case {
    unsigned flags;
    const char* asked;
    const char* answer;
    bool granted;
  };
  const Case cases[] = {
      {EWX_POWEROFF, "CanPowerOff", "yes", true},
      {EWX_SHUTDOWN | EWX_FORCE, "CanPowerOff", "challenge", true},
      {EWX_POWEROFF, "CanPowerOff", "no", false},
      {EWX_SHUTDOWN, "CanPowerOff", "na", false},
      {EWX_REBOOT, "CanReboot", "challenge", true},
      {EWX_REBOOT | EWX_FORCEIFHUNG, "CanReboot", "no", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.flags) + " " + c.answer);
    Answer(c.asked, c.answer);
    m_logind.Mark();
    std::string why;
    EXPECT_EQ(Right(c.flags, &why), c.granted);
    EXPECT_EQ(m_logind.CallsSinceMark({"CanPowerOff", "CanReboot"}), Calls{c.asked});
    if (!c.granted) {
      EXPECT_TRUE(Contains(why, std::string(c.asked) + ": " + c.answer)) << why;
    }
    EXPECT_TRUE(m_logind.CallsSinceMark(kRequests).empty());
  }
}

TEST_F(LogindPowerTest, EachActionAndForceModeReachesLogind) {
  StartLogind();
  AddFlaggedCalls();
  struct Case {
    unsigned flags;
    const char* request;
  };
  const Case cases[] = {
      {EWX_SHUTDOWN, "PowerOffWithFlags 1"},
      {EWX_POWEROFF, "PowerOffWithFlags 1"},
      {EWX_REBOOT, "RebootWithFlags 1"},
      {EWX_SHUTDOWN | EWX_FORCE, "PowerOffWithFlags 0"},
      {EWX_POWEROFF | EWX_FORCE, "PowerOffWithFlags 0"},
      {EWX_POWEROFF | EWX_FORCEIFHUNG, "PowerOffWithFlags 0"},
      {EWX_REBOOT | EWX_FORCE, "RebootWithFlags 0"},
      {EWX_REBOOT | EWX_FORCEIFHUNG, "RebootWithFlags 0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.flags);
    m_logind.Mark();
    std::string error;
    EXPECT_TRUE(Request(c.flags, &error)) << error;
    EXPECT_EQ(m_logind.CallsSinceMark(kRequests), Calls{c.request});
  }
  // An action outside the four asks for nothing.
  m_logind.Mark();
  std::string error;
  EXPECT_FALSE(Request(3, &error));
  EXPECT_FALSE(error.empty());
  EXPECT_TRUE(m_logind.CallsSinceMark(kRequests).empty());
}

TEST_F(LogindPowerTest, PlainCallsWhereLogindLacksTheFlaggedOnes) {
  StartLogind();
  const std::pair<unsigned, const char*> cases[] = {
      {EWX_POWEROFF, "PowerOff True"}, {EWX_SHUTDOWN | EWX_FORCE, "PowerOff True"}, {EWX_REBOOT, "Reboot True"}};
  for (const auto& [flags, request] : cases) {
    SCOPED_TRACE(flags);
    m_logind.Mark();
    std::string error;
    EXPECT_TRUE(Request(flags, &error)) << error;
    EXPECT_EQ(m_logind.CallsSinceMark(kRequests), Calls{request});
  }
}

TEST_F(LogindPowerTest, NormalModeStopsAtAnotherProgramsShutdownLock) {
  StartLogind();
  AddFlaggedCalls();
  // Locks that do not block shutting down: on sleep only, or a delay.
  ASSERT_TRUE(m_logind.AddMethod("ListInhibitors", "", "a(ssssuu)",
                                 "ret = [('sleep:idle', 'Player', 'playing', 'block', 1000, 4242),"
                                 " ('shutdown', 'Updater', 'saving', 'delay', 0, 4243)]"));
  m_logind.Mark();
  std::string error;
  EXPECT_TRUE(Request(EWX_POWEROFF, &error)) << error;
  EXPECT_EQ(m_logind.CallsSinceMark(kRequests), Calls{"PowerOffWithFlags 1"});

  ASSERT_TRUE(m_logind.AddMethod("ListInhibitors", "", "a(ssssuu)",
                                 "ret = [('sleep:shutdown', 'Backup', 'copying files', 'block', 0, 4244)]"));
  for (unsigned flags : {EWX_POWEROFF, EWX_REBOOT}) {
    SCOPED_TRACE(flags);
    m_logind.Mark();
    EXPECT_FALSE(Request(flags, &error));
    EXPECT_TRUE(Contains(error, "Backup (copying files)")) << error;
    EXPECT_TRUE(m_logind.CallsSinceMark(kRequests).empty());
  }
  m_logind.Mark();
  EXPECT_TRUE(Request(EWX_REBOOT | EWX_FORCE, &error)) << error;
  EXPECT_EQ(m_logind.CallsSinceMark(kRequests), Calls{"RebootWithFlags 0"});
}

TEST_F(LogindPowerTest, LogoffEndsTheSessionWeRunIn) {
  StartLogind();
  // Neither logind nor the environment knows our session.
  std::string why, error;
  EXPECT_FALSE(Right(EWX_LOGOFF, &why));
  EXPECT_TRUE(Contains(why, "no login session")) << why;
  m_logind.Mark();
  EXPECT_FALSE(Request(EWX_LOGOFF, &error));
  EXPECT_TRUE(m_logind.CallsSinceMark(kRequests).empty());

  // The session we were started in.
  ScopedEnv session("XDG_SESSION_ID", "c7");
  EXPECT_TRUE(Right(EWX_LOGOFF, &why)) << why;
  m_logind.Mark();
  EXPECT_TRUE(Request(EWX_LOGOFF, &error)) << error;
  EXPECT_EQ(m_logind.CallsSinceMark(kRequests), Calls{"TerminateSession \"c7\""});

  // logind's answer for our process comes first; force changes nothing.
  AddSession("c2");
  m_logind.Mark();
  EXPECT_TRUE(Request(EWX_LOGOFF | EWX_FORCE, &error)) << error;
  EXPECT_EQ(m_logind.CallsSinceMark({"GetSessionByPID"}), Calls{"GetSessionByPID " + std::to_string(::getpid())});
  EXPECT_EQ(m_logind.CallsSinceMark(kRequests), Calls{"TerminateSession \"c2\""});
}

TEST_F(LogindPowerTest, SleepLockHeldUntilDestroyed) {
  StartLogind();
  m_logind.Mark();
  std::string error;
  std::unique_ptr<ISleepInhibitor> lock = m_power->InhibitSleep("Mivo", "録音中", &error);
  ASSERT_NE(lock, nullptr) << error;
  EXPECT_EQ(m_logind.CallsSinceMark({"Inhibit"}), Calls{"Inhibit \"sleep:idle\" \"Mivo\" \"録音中\" \"block\""});
  EXPECT_TRUE(Contains(Inhibitors(), "\"Mivo\""));

  // The mock drops the lock once it sees the last copy of the pipe closed.
  lock.reset();
  bool released = false;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!released && std::chrono::steady_clock::now() < end) {
    released = !Contains(Inhibitors(), "\"Mivo\"");
    if (!released) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_TRUE(released);
}

TEST_F(LogindPowerTest, WithoutLogindEverythingIsRefusedWithAMessage) {
  // The bus runs; nobody owns org.freedesktop.login1.
  std::string why, error;
  for (unsigned flags : {EWX_POWEROFF, EWX_LOGOFF}) {
    EXPECT_FALSE(Right(flags, &why));
    EXPECT_TRUE(Contains(why, "logind does not run")) << why;
    EXPECT_FALSE(Request(flags, &error));
    EXPECT_TRUE(Contains(error, "logind does not run")) << error;
  }
  EXPECT_EQ(m_power->InhibitSleep("Mivo", "録音中", &error), nullptr);
  EXPECT_TRUE(Contains(error, "logind does not run")) << error;
}

TEST_F(LogindPowerTest, WithoutABusOrWithASilentOneEverythingIsRefused) {
  m_logind.UseSocket("missing");
  std::string why, error;
  EXPECT_FALSE(Right(EWX_REBOOT, &why));
  EXPECT_TRUE(Contains(why, "cannot connect to the system bus")) << why;
  EXPECT_FALSE(Request(EWX_REBOOT, &error));
  EXPECT_EQ(m_power->InhibitSleep("Mivo", "録音中", &error), nullptr);
  EXPECT_FALSE(error.empty());

  // A socket that takes the connection and never says a word.
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string path = m_logind.PathOf("silent");
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(fd, 8), 0);
  m_logind.UseSocket("silent");
  const std::unique_ptr<IPowerSystem> quick = CreateLogindPower({std::chrono::milliseconds(300)});
  EXPECT_FALSE(Right(*quick, EWX_POWEROFF, &why));
  EXPECT_TRUE(Contains(why, "did not answer")) << why;
  EXPECT_FALSE(Request(*quick, EWX_POWEROFF | EWX_FORCE, &error));
  EXPECT_TRUE(Contains(error, "did not answer")) << error;
  EXPECT_EQ(quick->InhibitSleep("Mivo", "録音中", &error), nullptr);
  ::close(fd);
}

}  // namespace
}  // namespace mivo::platform
