// A program we start and talk to through two pipes: what we write is its
// standard input, what it writes on its standard output we read. Its
// standard error is ours. It starts with the default action for the
// termination signals and SIGPIPE and with no signal blocked, whatever this
// process does with them.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/process/unique_fd.h"

namespace mivo::platform {

class ChildProcess {
 public:
  ChildProcess() = default;
  // A child still running gets SIGTERM, then SIGKILL after five seconds,
  // and is reaped: none outlives its owner.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts `program` (a path, not searched) with argv = `args` (args[0]
  // included). False, with *error saying why, when it could not start.
  bool Start(const std::string& program, const std::vector<std::string>& args, std::string* error = nullptr);

  pid_t Pid() const { return m_pid; }
  bool Running() const { return m_pid > 0; }
  int Input() const { return m_input.Get(); }    // its standard input (we write)
  int Output() const { return m_output.Get(); }  // its standard output (we read)
  void CloseInput() { m_input.Reset(); }
  void CloseOutput() { m_output.Reset(); }

  bool Signal(int signo) const;
  // Waits at most `timeout` for the child to end. True once it has ended,
  // with its exit status, or 128 + the signal that ended it.
  bool WaitFor(std::chrono::milliseconds timeout, int& status);

 private:
  pid_t m_pid = -1;
  UniqueFd m_input;
  UniqueFd m_output;
};

}  // namespace mivo::platform
