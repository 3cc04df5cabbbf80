#include "support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <thread>

namespace mivo::testing {

bool OnPath(const std::string& program) {
  const char* path = ::getenv("PATH");
  std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    if (!dir.empty() && ::access((dir + "/" + program).c_str(), X_OK) == 0) return true;
  }
  return false;
}

pid_t Spawn(const std::vector<std::string>& argv, const std::string& log) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const std::string out = log.empty() ? "/dev/null" : log;
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  // The child ends with the test process, even when that one crashes, so
  // that no daemon outlives its test.
  ::prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (::getppid() != parent) ::_exit(127);
  const int in = ::open("/dev/null", O_RDONLY);
  const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  if (in < 0 || fd < 0) ::_exit(127);
  ::dup2(in, 0);
  ::dup2(fd, 1);
  ::dup2(fd, 2);
  ::execvp(args[0], args.data());
  ::_exit(127);
}

bool Exited(pid_t pid) {
  int status = 0;
  return ::waitpid(pid, &status, WNOHANG) == pid;
}

void KillAndWait(pid_t pid, int sig, std::chrono::milliseconds grace) {
  if (pid <= 0) return;
  ::kill(pid, sig);
  const auto end = std::chrono::steady_clock::now() + grace;
  int status = 0;
  while (std::chrono::steady_clock::now() < end) {
    if (::waitpid(pid, &status, WNOHANG) == pid) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, &status, 0);
}

bool RunBounded(const std::vector<std::string>& argv, int seconds, const std::string& log) {
  std::vector<std::string> bounded{"timeout", "-k", "2", std::to_string(seconds)};
  bounded.insert(bounded.end(), argv.begin(), argv.end());
  const pid_t pid = Spawn(bounded, log);
  if (pid <= 0) return false;
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace mivo::testing
