#include "platform/power/logind_power.h"

#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace mivo::platform {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kLogind = "org.freedesktop.login1";
constexpr const char* kManagerPath = "/org/freedesktop/login1";
constexpr const char* kManager = "org.freedesktop.login1.Manager";
constexpr const char* kSession = "org.freedesktop.login1.Session";

// The flag of logind's *WithFlags calls that holds privileged callers to the
// inhibitor locks as well (unprivileged ones always are).
constexpr std::uint64_t kRootCheckInhibitors = UINT64_C(1) << 0;

// How each action and force mode reaches logind. This is the one place that
// says it:
//
//   action        force                right asked with   request
//   LOGOFF 0      any                  our session found  TerminateSession(id of our session)
//   SHUTDOWN 1    通常 0               CanPowerOff        PowerOffWithFlags(ROOT_CHECK_INHIBITORS)
//   POWEROFF 8    通常 0               CanPowerOff        PowerOffWithFlags(ROOT_CHECK_INHIBITORS)
//   REBOOT 2      通常 0               CanReboot          RebootWithFlags(ROOT_CHECK_INHIBITORS)
//   SHUTDOWN 1    FORCE 4 / FORCEIFHUNG 16                PowerOffWithFlags(0)
//   POWEROFF 8    FORCE 4 / FORCEIFHUNG 16                PowerOffWithFlags(0)
//   REBOOT 2      FORCE 4 / FORCEIFHUNG 16                RebootWithFlags(0)
//
// - SHUTDOWN powers off too: a halted machine that stays on is not what
//   someone who leaves the recorder overnight wants.
// - 通常 respects other programs' shutdown locks. We refuse ourselves while
//   another program holds a "shutdown" lock in block mode (logind would let
//   polkit offer an unprivileged user to override it), and the flag makes
//   logind hold root to the locks too. FORCE and FORCEIFHUNG override the
//   locks where logind permits it: for root always, for other users when
//   polkit grants "org.freedesktop.login1.power-off-ignore-inhibit" (or the
//   reboot one). Programs holding a "delay" lock get their bounded delay in
//   every mode; nothing tells a hung program apart, so FORCEIFHUNG is FORCE.
// - logind has no locks against ending a session: the force mode does not
//   change LOGOFF.
// - Requests allow interactive authorization: where CanPowerOff said
//   "challenge", the desktop asks for a password. Our call still ends after
//   the timeout; the machine then stays on until someone answers.
// - A logind older than the *WithFlags calls (UnknownMethod) gets the plain
//   PowerOff(true) / Reboot(true); root then passes over the locks.
struct Route {
  unsigned action;
  const char* canMethod;  // asked for the right; nullptr: the right is finding our session
  const char* method;     // <method>WithFlags(t), else <method>(b); nullptr: TerminateSession
  const char* verb;       // for messages
};
constexpr Route kRoutes[] = {
    {EWX_LOGOFF, nullptr, nullptr, "end the session"},
    {EWX_SHUTDOWN, "CanPowerOff", "PowerOff", "power off"},
    {EWX_POWEROFF, "CanPowerOff", "PowerOff", "power off"},
    {EWX_REBOOT, "CanReboot", "Reboot", "reboot"},
};
constexpr unsigned kForceBits = EWX_FORCE | EWX_FORCEIFHUNG;

const Route* RouteOf(unsigned ewxFlags) {
  for (const Route& r : kRoutes) {
    if (r.action == (ewxFlags & ~kForceBits)) return &r;
  }
  return nullptr;
}

bool Forced(unsigned ewxFlags) { return (ewxFlags & kForceBits) != 0; }

void Set(std::string* out, std::string text) {
  if (out) *out = std::move(text);
}

std::string ErrnoText(int err) {
  char buffer[256];
  return ::strerror_r(err, buffer, sizeof buffer);
}

std::uint64_t Usec(Clock::duration d) {
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(d).count();
  return us > 0 ? static_cast<std::uint64_t>(us) : 0;
}

std::string SystemBusAddress() {
  const char* address = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
  return address && *address ? address : "unix:path=/run/dbus/system_bus_socket";
}

// Some services put a whole trace into an error's message: its last line
// says what happened.
std::string LastLine(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  const std::size_t newline = text.rfind('\n');
  return newline == std::string::npos ? text : text.substr(newline + 1);
}

// Whether the colon-separated list `list` names `word`.
bool Names(const std::string& list, const std::string& word) {
  std::size_t begin = 0;
  for (;;) {
    const std::size_t end = list.find(':', begin);
    if (list.compare(begin, end == std::string::npos ? std::string::npos : end - begin, word) == 0) return true;
    if (end == std::string::npos) return false;
    begin = end + 1;
  }
}

struct BusCloser {
  void operator()(sd_bus* bus) const { sd_bus_close_unref(bus); }
};
struct MessageUnref {
  void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
struct Free {
  void operator()(char* p) const { std::free(p); }
};
using BusPtr = std::unique_ptr<sd_bus, BusCloser>;
using MessagePtr = std::unique_ptr<sd_bus_message, MessageUnref>;

class BusError {
 public:
  BusError() = default;
  ~BusError() { sd_bus_error_free(&m_error); }
  BusError(const BusError&) = delete;
  BusError& operator=(const BusError&) = delete;

  sd_bus_error* get() { return &m_error; }
  bool Is(const char* name) const { return sd_bus_error_has_name(&m_error, name) > 0; }
  const char* Message() const { return m_error.message; }

 private:
  sd_bus_error m_error{};
};

// One connection to logind, for one request.
class Link {
 public:
  explicit Link(std::chrono::milliseconds timeout) : m_timeout(timeout) {}

  // Connects to the system bus within the timeout. `interactive`: logind may
  // have polkit ask the user for a password.
  bool Open(bool interactive, std::string* error) {
    const auto deadline = Clock::now() + m_timeout;
    sd_bus* raw = nullptr;
    int r = sd_bus_open_system(&raw);
    m_bus.reset(raw);
    if (r < 0) return Fail(error, "cannot connect to the system bus " + SystemBusAddress() + ": " + ErrnoText(-r));
    r = sd_bus_set_method_call_timeout(m_bus.get(), Usec(m_timeout));
    if (r < 0) return Fail(error, "cannot bound the calls on the system bus: " + ErrnoText(-r));
    r = sd_bus_set_allow_interactive_authorization(m_bus.get(), interactive ? 1 : 0);
    if (r < 0) return Fail(error, "cannot set the authorization mode on the system bus: " + ErrnoText(-r));
    for (;;) {
      r = sd_bus_is_ready(m_bus.get());
      if (r > 0) return true;
      if (r == 0) r = sd_bus_process(m_bus.get(), nullptr);
      if (r < 0) {
        return Fail(error, "the system bus " + SystemBusAddress() + " refused the connection: " + ErrnoText(-r));
      }
      if (r > 0) continue;
      const auto left = deadline - Clock::now();
      if (left <= Clock::duration::zero()) {
        return Fail(error, "the system bus " + SystemBusAddress() + " did not answer within " + Within());
      }
      r = sd_bus_wait(m_bus.get(), Usec(left));
      if (r < 0 && r != -EINTR) return Fail(error, "cannot wait for the system bus: " + ErrnoText(-r));
    }
  }

  // A method of logind's manager; the bus bounds it by the timeout.
  template <typename... Args>
  int Call(const char* method, BusError& error, MessagePtr* reply, const char* types, Args... args) {
    sd_bus_message* raw = nullptr;
    const int r = sd_bus_call_method(m_bus.get(), kLogind, kManagerPath, kManager, method, error.get(), &raw,
                                     types, args...);
    reply->reset(raw);
    return r;
  }

  // What went wrong with a call, in words.
  std::string Describe(const BusError& error, int r) const {
    if (LogindMissing(error)) return "systemd-logind does not run on the system bus " + SystemBusAddress();
    if (r == -ETIMEDOUT || error.Is(SD_BUS_ERROR_TIMEOUT) || error.Is(SD_BUS_ERROR_NO_REPLY)) {
      return "logind did not answer within " + Within();
    }
    if (error.Message() && *error.Message()) return LastLine(error.Message());
    return ErrnoText(-r);
  }

  static bool LogindMissing(const BusError& error) {
    return error.Is(SD_BUS_ERROR_SERVICE_UNKNOWN) || error.Is(SD_BUS_ERROR_NAME_HAS_NO_OWNER);
  }

  // The id of the login session this program runs in: logind's answer for
  // our process, else the XDG_SESSION_ID we were started with, when logind
  // knows that session.
  bool OwnSession(std::string* id, std::string* error) {
    std::string byPid;
    {
      BusError e;
      MessagePtr reply;
      int r = Call("GetSessionByPID", e, &reply, "u", static_cast<std::uint32_t>(::getpid()));
      if (r < 0 && LogindMissing(e)) return Fail(error, Describe(e, r));
      const char* path = nullptr;
      if (r >= 0) r = sd_bus_message_read(reply.get(), "o", &path);
      if (r >= 0) {
        BusError pe;
        char* raw = nullptr;
        r = sd_bus_get_property_string(m_bus.get(), kLogind, path, kSession, "Id", pe.get(), &raw);
        const std::unique_ptr<char, Free> value(raw);
        if (r >= 0 && value && *value) {
          *id = value.get();
          return true;
        }
        byPid = "logind names no id for our session: " + Describe(pe, r);
      } else {
        byPid = "logind finds no session for us: " + Describe(e, r);
      }
    }
    const char* env = std::getenv("XDG_SESSION_ID");
    if (!env || !*env) {
      return Fail(error, "this program runs in no login session (" + byPid + "; XDG_SESSION_ID is not set)");
    }
    BusError e;
    MessagePtr reply;
    const int r = Call("GetSession", e, &reply, "s", env);
    if (r < 0) {
      return Fail(error, "logind does not know the session XDG_SESSION_ID names (" + std::string(env) +
                             "): " + Describe(e, r));
    }
    *id = env;
    return true;
  }

  // Another program's lock that blocks shutting down, as "who (why)".
  // Empty when there is none or logind does not list its locks; logind then
  // still enforces them itself.
  std::string ShutdownBlocker() {
    BusError e;
    MessagePtr reply;
    int r = Call("ListInhibitors", e, &reply, "");
    if (r < 0) return {};
    r = sd_bus_message_enter_container(reply.get(), 'a', "(ssssuu)");
    if (r <= 0) return {};
    const char *what = nullptr, *who = nullptr, *why = nullptr, *mode = nullptr;
    std::uint32_t uid = 0, pid = 0;
    while (sd_bus_message_read(reply.get(), "(ssssuu)", &what, &who, &why, &mode, &uid, &pid) > 0) {
      if (std::strcmp(mode, "block") == 0 && Names(what, "shutdown") &&
          pid != static_cast<std::uint32_t>(::getpid())) {
        return std::string(who) + " (" + why + ")";
      }
    }
    return {};
  }

 private:
  bool Fail(std::string* error, std::string text) {
    m_bus.reset();
    Set(error, std::move(text));
    return false;
  }

  std::string Within() const { return std::to_string(m_timeout.count()) + " ms"; }

  std::chrono::milliseconds m_timeout;
  BusPtr m_bus;
};

// logind's lock: the read end of a pipe whose closing releases it.
class LogindSleepLock final : public ISleepInhibitor {
 public:
  explicit LogindSleepLock(int fd) : m_fd(fd) {}
  ~LogindSleepLock() override { ::close(m_fd); }
  LogindSleepLock(const LogindSleepLock&) = delete;
  LogindSleepLock& operator=(const LogindSleepLock&) = delete;

 private:
  int m_fd;
};

class LogindPower final : public IPowerSystem {
 public:
  explicit LogindPower(const LogindPowerOptions& options) : m_options(options) {}

  bool ObtainShutdownRight(unsigned ewxFlags, std::string* why) override {
    const Route* route = RouteOf(ewxFlags);
    if (!route) return Refuse(why, "unknown power action " + std::to_string(ewxFlags));
    Link link(m_options.timeout);
    if (!link.Open(false, why)) return false;
    if (!route->canMethod) {
      std::string id;
      return link.OwnSession(&id, why);
    }
    BusError e;
    MessagePtr reply;
    int r = link.Call(route->canMethod, e, &reply, "");
    const char* answer = nullptr;
    if (r >= 0) r = sd_bus_message_read(reply.get(), "s", &answer);
    if (r < 0) {
      return Refuse(why, std::string("cannot ask logind whether this user may ") + route->verb + ": " +
                             link.Describe(e, r));
    }
    const std::string a = answer;
    const std::string said = std::string(" (") + route->canMethod + ": " + a + ")";
    if (a == "yes" || a == "challenge") return true;
    if (a == "no") {
      return Refuse(why, std::string("logind does not let this user ") + route->verb + " the machine" + said);
    }
    if (a == "na") return Refuse(why, std::string("this machine cannot ") + route->verb + said);
    return Refuse(why, std::string("logind gave an unknown answer") + said);
  }

  bool ExitWindowsEx(unsigned ewxFlags, std::string* error) override {
    const Route* route = RouteOf(ewxFlags);
    if (!route) return Refuse(error, "unknown power action " + std::to_string(ewxFlags));
    Link link(m_options.timeout);
    if (!link.Open(true, error)) return false;
    BusError e;
    MessagePtr reply;
    if (!route->method) {
      std::string id;
      if (!link.OwnSession(&id, error)) return false;
      const int r = link.Call("TerminateSession", e, &reply, "s", id.c_str());
      if (r < 0) return Refuse(error, "logind did not end the session " + id + ": " + link.Describe(e, r));
      return true;
    }
    if (!Forced(ewxFlags)) {
      const std::string blocker = link.ShutdownBlocker();
      if (!blocker.empty()) {
        return Refuse(error, std::string("not going to ") + route->verb + ": " + blocker +
                                 " blocks it (FORCE would override its lock)");
      }
    }
    const std::uint64_t flags = Forced(ewxFlags) ? 0 : kRootCheckInhibitors;
    const std::string withFlags = std::string(route->method) + "WithFlags";
    int r = link.Call(withFlags.c_str(), e, &reply, "t", flags);
    if (r < 0 && e.Is(SD_BUS_ERROR_UNKNOWN_METHOD)) {
      BusError plain;
      r = link.Call(route->method, plain, &reply, "b", 1);
      if (r < 0) return Refuse(error, std::string("logind did not ") + route->verb + ": " + link.Describe(plain, r));
      return true;
    }
    if (r < 0) return Refuse(error, std::string("logind did not ") + route->verb + ": " + link.Describe(e, r));
    return true;
  }

  std::unique_ptr<ISleepInhibitor> InhibitSleep(const std::string& who, const std::string& why,
                                                std::string* error) override {
    Link link(m_options.timeout);
    if (!link.Open(false, error)) return nullptr;
    BusError e;
    MessagePtr reply;
    int r = link.Call("Inhibit", e, &reply, "ssss", "sleep:idle", who.c_str(), why.c_str(), "block");
    int fd = -1;
    if (r >= 0) r = sd_bus_message_read(reply.get(), "h", &fd);
    if (r < 0) {
      Set(error, "logind gave no lock against sleeping: " + link.Describe(e, r));
      return nullptr;
    }
    // The descriptor belongs to the reply; the lock lives as long as our copy.
    const int own = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (own < 0) {
      Set(error, "cannot keep logind's lock against sleeping: " + ErrnoText(errno));
      return nullptr;
    }
    return std::make_unique<LogindSleepLock>(own);
  }

 private:
  static bool Refuse(std::string* out, std::string text) {
    Set(out, std::move(text));
    return false;
  }

  LogindPowerOptions m_options;
};

}  // namespace

std::unique_ptr<IPowerSystem> CreateLogindPower(const LogindPowerOptions& options) {
  return std::make_unique<LogindPower>(options);
}

}  // namespace mivo::platform
