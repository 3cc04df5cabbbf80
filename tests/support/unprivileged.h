// Runs a check as a user whom file modes stop: root may write to any folder,
// so under root the check runs as the user nobody.
#pragma once

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

namespace mivo::testing {

inline constexpr uid_t kNobody = 65534;

// Runs `check` in a child process (as nobody when we are root) and returns
// its exit code: 0 for success, 100 when the user could not be changed, -1
// when the child did not end normally.
inline int RunUnprivileged(const std::function<int()>& check) {
  const pid_t pid = ::fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    if (::geteuid() == 0 &&
        (::setgroups(0, nullptr) != 0 || ::setresgid(kNobody, kNobody, kNobody) != 0 ||
         ::setresuid(kNobody, kNobody, kNobody) != 0)) {
      ::_exit(100);
    }
    ::_exit(check());
  }
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

}  // namespace mivo::testing
