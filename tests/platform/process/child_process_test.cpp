// A child process over two pipes: what we write it reads, what it prints we
// read, its exit status; one still running when its owner goes is ended.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "platform/process/child_process.h"

namespace mivo::platform {
namespace {

using namespace std::chrono_literals;

std::string ReadAll(int fd) {
  std::string out;
  char buffer[256];
  ssize_t n;
  while ((n = ::read(fd, buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<std::size_t>(n));
  return out;
}

TEST(ChildProcess, TalksThroughItsPipesAndGivesItsExitStatus) {
  ChildProcess child;
  ASSERT_TRUE(child.Start("/bin/sh", {"sh", "-c", "read line; echo \"got $line\"; exit 3"}));
  ASSERT_EQ(::write(child.Input(), "hello\n", 6), 6);
  EXPECT_EQ(ReadAll(child.Output()), "got hello\n");
  int status = -1;
  ASSERT_TRUE(child.WaitFor(5s, status));
  EXPECT_EQ(status, 3);
  EXPECT_FALSE(child.Running());

  std::string why;
  EXPECT_FALSE(child.Start("/nonexistent/program", {"x"}, &why));
  EXPECT_FALSE(why.empty());
}

TEST(ChildProcess, StartsWithTheTerminationSignalsAtTheirDefaultAndIsEndedWithItsOwner) {
  // Ignored here; the child still dies of SIGTERM.
  struct sigaction ignore {}, old {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(::sigaction(SIGTERM, &ignore, &old), 0);
  pid_t pid = -1;
  {
    ChildProcess child;
    ASSERT_TRUE(child.Start("/bin/sleep", {"sleep", "30"}));
    pid = child.Pid();
    ASSERT_TRUE(child.Signal(SIGTERM));
    int status = -1;
    ASSERT_TRUE(child.WaitFor(5s, status));
    EXPECT_EQ(status, 128 + SIGTERM);
    ASSERT_TRUE(child.Start("/bin/sleep", {"sleep", "30"}));
    pid = child.Pid();
  }
  ::sigaction(SIGTERM, &old, nullptr);
  EXPECT_NE(::kill(pid, 0), 0);  // ended and reaped
}

}  // namespace
}  // namespace mivo::platform
