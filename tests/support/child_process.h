// Programs that tests start: daemons they stop by PID, and commands they run
// to the end within a bound.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace mivo::testing {

bool OnPath(const std::string& program);
// Starts argv[0] (searched on PATH) with stdout and stderr going to `log`
// (or /dev/null); it gets SIGTERM should the test process die. Returns the
// PID or -1.
pid_t Spawn(const std::vector<std::string>& argv, const std::string& log = "");
// Sends `sig` to `pid` and waits for it (SIGKILL after `grace`).
void KillAndWait(pid_t pid, int sig, std::chrono::milliseconds grace = std::chrono::seconds(3));
bool Exited(pid_t pid);
// Runs argv under timeout(1) with at most `seconds`, output to `log` as
// with Spawn. True when it ended with status 0.
bool RunBounded(const std::vector<std::string>& argv, int seconds, const std::string& log = "");

}  // namespace mivo::testing
