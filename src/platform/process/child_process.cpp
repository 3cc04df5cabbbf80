#include "platform/process/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

extern char** environ;

namespace mivo::platform {
namespace {

std::string ErrorText(int err) {
  char buffer[128];
  return ::strerror_r(err, buffer, sizeof buffer);  // GNU: returns the message
}

// posix_spawn's attribute and file-action objects, released on every path.
struct SpawnSetup {
  posix_spawnattr_t attr{};
  posix_spawn_file_actions_t actions{};
  bool attrMade = false;
  bool actionsMade = false;
  ~SpawnSetup() {
    if (attrMade) ::posix_spawnattr_destroy(&attr);
    if (actionsMade) ::posix_spawn_file_actions_destroy(&actions);
  }
};

}  // namespace

ChildProcess::~ChildProcess() {
  if (!Running()) return;
  m_input.Reset();
  m_output.Reset();
  int status = 0;
  if (Signal(SIGTERM) && WaitFor(std::chrono::seconds(5), status)) return;
  static_cast<void>(::kill(m_pid, SIGKILL));
  static_cast<void>(WaitFor(std::chrono::seconds(5), status));
}

bool ChildProcess::Start(const std::string& program, const std::vector<std::string>& args, std::string* error) {
  auto fail = [&](int err) {
    if (error != nullptr) *error = ErrorText(err);
    return false;
  };
  if (Running()) return fail(EBUSY);
  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0) return fail(errno);
  UniqueFd inRead(in[0]), inWrite(in[1]);
  if (::pipe2(out, O_CLOEXEC) != 0) return fail(errno);
  UniqueFd outRead(out[0]), outWrite(out[1]);

  SpawnSetup setup;
  int err = ::posix_spawnattr_init(&setup.attr);
  if (err != 0) return fail(err);
  setup.attrMade = true;
  err = ::posix_spawn_file_actions_init(&setup.actions);
  if (err != 0) return fail(err);
  setup.actionsMade = true;
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int signo : {SIGTERM, SIGINT, SIGHUP, SIGPIPE}) sigaddset(&defaults, signo);
  if ((err = ::posix_spawnattr_setsigmask(&setup.attr, &none)) != 0 ||
      (err = ::posix_spawnattr_setsigdefault(&setup.attr, &defaults)) != 0 ||
      (err = ::posix_spawnattr_setflags(&setup.attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF)) != 0 ||
      (err = ::posix_spawn_file_actions_adddup2(&setup.actions, inRead.Get(), STDIN_FILENO)) != 0 ||
      (err = ::posix_spawn_file_actions_adddup2(&setup.actions, outWrite.Get(), STDOUT_FILENO)) != 0) {
    return fail(err);
  }
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  err = ::posix_spawn(&pid, program.c_str(), &setup.actions, &setup.attr, argv.data(), environ);
  if (err != 0) return fail(err);
  m_pid = pid;
  m_input = std::move(inWrite);
  m_output = std::move(outRead);
  return true;
}

bool ChildProcess::Signal(int signo) const { return Running() && ::kill(m_pid, signo) == 0; }

bool ChildProcess::WaitFor(std::chrono::milliseconds timeout, int& status) {
  if (!Running()) return false;
  const auto end = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int raw = 0;
    const pid_t r = ::waitpid(m_pid, &raw, WNOHANG);
    if (r == m_pid || (r < 0 && errno == ECHILD)) {
      status = r < 0 ? 128 : WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + (WIFSIGNALED(raw) ? WTERMSIG(raw) : 0);
      m_pid = -1;
      return true;
    }
    if (r < 0 && errno != EINTR) return false;
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace mivo::platform
