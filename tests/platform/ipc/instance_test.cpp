#include "platform/ipc/instance.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <functional>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/process/paths.h"
#include "test_folders.h"

namespace mivo::platform {
namespace {

using namespace std::chrono_literals;
using test_support::ScopedEnv;
using test_support::TempFolder;

constexpr auto kTimeout = 5s;

// A child process that sets something up, reports whether that worked and
// then keeps it until killed. The body calls hold(ok), which never returns.
class Child {
 public:
  using Hold = std::function<void(bool ok)>;

  explicit Child(const std::function<void(const Hold&)>& body) {
    int fds[2];
    if (::pipe(fds) != 0) return;
    m_pid = ::fork();
    if (m_pid == 0) {
      ::close(fds[0]);
      body([fd = fds[1]](bool ok) {
        const char byte = ok ? '1' : '0';
        if (::write(fd, &byte, 1) != 1) ::_exit(1);
        for (;;) ::pause();
      });
      ::_exit(1);
    }
    ::close(fds[1]);
    char byte = 0;
    m_ready = m_pid > 0 && ::read(fds[0], &byte, 1) == 1 && byte == '1';
    ::close(fds[0]);
  }
  ~Child() { Kill(); }

  bool Ready() const { return m_ready; }
  void Kill() {
    if (m_pid <= 0) return;
    ::kill(m_pid, SIGKILL);
    ::waitpid(m_pid, nullptr, 0);
    m_pid = -1;
  }

 private:
  pid_t m_pid = -1;
  bool m_ready = false;
};

// Every test gets a private runtime folder of its own.
class IpcTest : public ::testing::Test {
 protected:
  std::string Settings(const std::string& name) const { return m_data / name; }
  std::string SocketOf(const std::string& settings) const {
    return RuntimeFolder() + "/mivo-" + InstanceKey(settings) + ".sock";
  }

  TempFolder m_runtime;
  ScopedEnv m_runtimeEnv{"XDG_RUNTIME_DIR", m_runtime.Path().c_str()};
  TempFolder m_data;
};

UniqueFd ConnectRaw(const std::string& socketPath) {
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
  const timeval timeout{5, 0};
  if (!fd || ::setsockopt(fd.Get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0 ||
      ::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return UniqueFd();
  }
  return fd;
}

std::string ReadToEnd(int fd) {
  std::string text;
  char buffer[512];
  ssize_t n = 0;
  while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0) text.append(buffer, static_cast<std::size_t>(n));
  return text;
}

// ---------------------------------------------------------------------------

using InstanceLockTest = IpcTest;

TEST_F(InstanceLockTest, OneLockPerSettingsFileUntilItsOwnerGoes) {
  std::string error;
  std::optional<InstanceLock> first = InstanceLock::Acquire(Settings("a.ini"), &error);
  ASSERT_TRUE(first) << error;
  EXPECT_FALSE(InstanceLock::Acquire(Settings("a.ini"), &error));
  EXPECT_NE(error.find("already running"), std::string::npos) << error;
  EXPECT_TRUE(InstanceLock::Acquire(Settings("b.ini"), &error)) << error;

  std::optional<InstanceLock> moved = std::move(first);
  first.reset();  // the moved-from owner holds nothing
  EXPECT_FALSE(InstanceLock::Acquire(Settings("a.ini"), nullptr));
  moved.reset();
  EXPECT_TRUE(InstanceLock::Acquire(Settings("a.ini"), &error)) << error;
}

TEST_F(InstanceLockTest, EquivalentPathsShareOneKey) {
  const std::string real = Settings("real");
  ASSERT_EQ(::mkdir(real.c_str(), 0700), 0);
  ASSERT_EQ(::symlink(real.c_str(), Settings("link").c_str()), 0);
  const std::string absolute = real + "/mivo.ini";
  const std::string key = InstanceKey(absolute);

  const auto oldCwd = std::filesystem::current_path();
  std::filesystem::current_path(real);
  for (const std::string& same : {std::string("./mivo.ini"), std::string("mivo.ini"),
                                  std::string("../link/mivo.ini"), Settings("link/mivo.ini"),
                                  real + "/../real//./mivo.ini"}) {
    EXPECT_EQ(InstanceKey(same), key) << same;
  }
  EXPECT_NE(InstanceKey(real + "/other.ini"), key);

  std::string error;
  auto lock = InstanceLock::Acquire("./mivo.ini", &error);
  ASSERT_TRUE(lock) << error;
  EXPECT_FALSE(InstanceLock::Acquire(Settings("link/mivo.ini"), &error));
  EXPECT_NE(error.find("already running"), std::string::npos) << error;
  std::filesystem::current_path(oldCwd);
}

// The rule belongs to the file, not its name: a hard link to the settings
// file is the same settings file, and `mivo --command` reaches the recorder
// through either name. Nothing stays in the runtime folder afterwards.
TEST_F(InstanceLockTest, AHardLinkIsTheSameSettingsFile) {
  const std::string ini = Settings("mivo.ini");
  const std::string link = Settings("tapes.ini");
  std::string error;
  std::optional<InstanceLock> lock = InstanceLock::Acquire(ini, &error);
  ASSERT_TRUE(lock) << error;
  ASSERT_TRUE(std::filesystem::exists(ini)) << "a missing settings file is made";
  ASSERT_EQ(::link(ini.c_str(), link.c_str()), 0);
  EXPECT_FALSE(InstanceLock::Acquire(link, &error));
  EXPECT_NE(error.find("already running"), std::string::npos) << error;

  CommandServer server;
  ASSERT_TRUE(server.Start(ini, [](const std::string&) { return CommandReply{0, "here"}; }, &error)) << error;
  CommandReply reply;
  EXPECT_EQ(SendCommand(link, "status", &reply, kTimeout, &error), SendResult::Ok) << error;
  EXPECT_EQ(reply.text, "here");
  server.Stop();
  lock.reset();
  EXPECT_TRUE(std::filesystem::is_empty(RuntimeFolder()));
  EXPECT_TRUE(InstanceLock::Acquire(link, &error)) << error;
}

TEST_F(InstanceLockTest, LockOfAKilledProcessIsReleased) {
  const std::string settings = Settings("mivo.ini");
  Child child([&](const Child::Hold& hold) {
    auto lock = InstanceLock::Acquire(settings, nullptr);
    hold(lock.has_value());
  });
  ASSERT_TRUE(child.Ready());
  std::string error;
  EXPECT_FALSE(InstanceLock::Acquire(settings, &error));
  EXPECT_NE(error.find("already running"), std::string::npos) << error;
  child.Kill();
  EXPECT_TRUE(InstanceLock::Acquire(settings, &error)) << error;
}

// Files a killed recorder left behind under keys no later start uses (the
// settings file gets a new inode at every save) are removed by the next start;
// a lock somebody holds stays, with its socket.
TEST_F(InstanceLockTest, FilesOfDeadRecordersDoNotPileUp) {
  const std::string folder = RuntimeFolder();
  const std::string dead = folder + "/mivo-00000000000000aa";
  const std::string held = folder + "/mivo-00000000000000bb";
  for (const std::string& path : {dead + ".lock", dead + ".sock", held + ".lock", held + ".sock",
                                  folder + "/mivo-00000000000000cc.sock", folder + "/other.lock"}) {
    UniqueFd(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
  }
  const std::string heldLock = held + ".lock";
  Child holder([&](const Child::Hold& hold) {
    UniqueFd fd(::open(heldLock.c_str(), O_RDWR | O_CLOEXEC));
    hold(fd && ::flock(fd.Get(), LOCK_EX | LOCK_NB) == 0);
  });
  ASSERT_TRUE(holder.Ready());

  std::string error;
  auto lock = InstanceLock::Acquire(Settings("mivo.ini"), &error);
  ASSERT_TRUE(lock) << error;
  lock.reset();
  std::vector<std::string> left;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) left.push_back(entry.path().filename());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"mivo-00000000000000bb.lock", "mivo-00000000000000bb.sock", "other.lock"}));
}

// ---------------------------------------------------------------------------

class CommandServerTest : public IpcTest {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(m_server.Start(m_settings, [this](const std::string& c) { return Handle(c); }, &error))
        << error;
  }

  // Answers "<command>" with the command echoed; "status" with a reply of
  // several lines, "empty" with no text, "slow" after a while.
  CommandReply Handle(const std::string& command) {
    ++m_calls;
    m_handlerOnCaller = m_handlerOnCaller || std::this_thread::get_id() == m_testThread;
    if (command == "status") return {7, "line 1\nline 2\n\nlast"};
    if (command == "empty") return {};
    if (command == "slow") std::this_thread::sleep_for(300ms);
    return {0, "echo " + command};
  }

  SendResult Send(const std::string& command, CommandReply* reply,
                  std::chrono::milliseconds timeout = kTimeout, std::string* error = nullptr) {
    return SendCommand(m_settings, command, reply, timeout, error);
  }

  std::string m_settings = Settings("mivo.ini");
  std::thread::id m_testThread = std::this_thread::get_id();
  std::atomic<int> m_calls{0};
  std::atomic<bool> m_handlerOnCaller{false};
  CommandServer m_server;
};

TEST_F(CommandServerTest, RoundTripsStatusAndTextOfSeveralLines) {
  CommandReply reply;
  std::string error;
  ASSERT_EQ(Send("status", &reply, kTimeout, &error), SendResult::Ok) << error;
  EXPECT_EQ(reply.status, 7);
  EXPECT_EQ(reply.text, "line 1\nline 2\n\nlast");
  ASSERT_EQ(Send("empty", &reply), SendResult::Ok);
  EXPECT_EQ(reply.status, 0);
  EXPECT_EQ(reply.text, "");
  const std::string longest(CommandServer::kMaxCommandBytes, 'x');
  ASSERT_EQ(Send(longest, &reply), SendResult::Ok);
  EXPECT_EQ(reply.text, "echo " + longest);
  EXPECT_EQ(m_calls, 3);
  EXPECT_FALSE(m_handlerOnCaller);
  EXPECT_FALSE(m_server.Start(m_settings, [](const std::string&) { return CommandReply{}; }, &error));
}

TEST_F(CommandServerTest, UnusableRequestsAreRefusedWithoutTheHandler) {
  CommandReply reply;
  ASSERT_EQ(Send(std::string(CommandServer::kMaxCommandBytes + 1, 'x'), &reply), SendResult::Ok);
  EXPECT_EQ(reply.status, kCommandRefused);
  EXPECT_EQ(reply.text, "command too long");
  ASSERT_EQ(Send(std::string(100000, 'x'), &reply), SendResult::Ok);
  EXPECT_EQ(reply.text, "command too long");

  UniqueFd client = ConnectRaw(SocketOf(m_settings));
  ASSERT_TRUE(client);
  ASSERT_EQ(::send(client.Get(), "status", 6, MSG_NOSIGNAL), 6);
  ASSERT_EQ(::shutdown(client.Get(), SHUT_WR), 0);  // ends without a line break
  EXPECT_EQ(ReadToEnd(client.Get()), "2\nno command");

  std::string error;
  EXPECT_EQ(Send("two\nlines", &reply, kTimeout, &error), SendResult::Failed);
  EXPECT_EQ(m_calls, 0);
}

TEST_F(CommandServerTest, PeersOfAnotherUserGetNoAnswer) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to connect as another user";
  const std::string socketPath = SocketOf(m_settings);
  ASSERT_EQ(::chmod(m_runtime.Path().c_str(), 0711), 0);
  ASSERT_EQ(::chmod(socketPath.c_str(), 0777), 0);
  Child stranger([&](const Child::Hold& hold) {
    constexpr uid_t kNobody = 65534;
    if (::setgroups(0, nullptr) != 0 || ::setresgid(kNobody, kNobody, kNobody) != 0 ||
        ::setresuid(kNobody, kNobody, kNobody) != 0) {
      hold(false);
    }
    UniqueFd fd = ConnectRaw(socketPath);
    if (!fd) hold(false);
    // The server may close before the line is sent: the send result is moot.
    static_cast<void>(::send(fd.Get(), "status\n", 7, MSG_NOSIGNAL));
    hold(ReadToEnd(fd.Get()).empty());
  });
  EXPECT_TRUE(stranger.Ready());
  EXPECT_EQ(m_calls, 0);
}

TEST_F(CommandServerTest, NoServerWithoutSocketOrWithAStaleOne) {
  CommandReply reply;
  m_server.Stop();
  EXPECT_FALSE(std::filesystem::exists(SocketOf(m_settings)));
  EXPECT_EQ(Send("status", &reply), SendResult::NoServer);
  EXPECT_EQ(SendCommand(Settings("other.ini"), "status", &reply, kTimeout, nullptr),
            SendResult::NoServer);

  Child server([&](const Child::Hold& hold) {
    CommandServer inChild;
    hold(inChild.Start(m_settings, [](const std::string&) { return CommandReply{5, "child"}; },
                       nullptr));
  });
  ASSERT_TRUE(server.Ready());
  ASSERT_EQ(Send("status", &reply), SendResult::Ok);
  EXPECT_EQ(reply.text, "child");
  server.Kill();
  ASSERT_TRUE(std::filesystem::exists(SocketOf(m_settings)));  // left behind
  EXPECT_EQ(Send("status", &reply), SendResult::NoServer);

  std::string error;  // a new server replaces the stale file
  ASSERT_TRUE(m_server.Start(m_settings, [this](const std::string& c) { return Handle(c); }, &error))
      << error;
  ASSERT_EQ(Send("status", &reply), SendResult::Ok);
  EXPECT_EQ(reply.status, 7);
}

TEST_F(CommandServerTest, StopIsPromptWhileAClientStaysSilent) {
  UniqueFd client = ConnectRaw(SocketOf(m_settings));
  ASSERT_TRUE(client);
  std::this_thread::sleep_for(100ms);  // the server is waiting for its line now
  const auto start = std::chrono::steady_clock::now();
  m_server.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
  EXPECT_EQ(ReadToEnd(client.Get()), "");
  EXPECT_FALSE(m_server.Running());
}

TEST_F(CommandServerTest, ServesManyClientsOneAfterAnother) {
  CommandReply reply;
  for (int i = 0; i < 20; ++i) {
    ASSERT_EQ(Send("n" + std::to_string(i), &reply), SendResult::Ok);
    EXPECT_EQ(reply.text, "echo n" + std::to_string(i));
  }
  std::atomic<int> right{0};
  std::vector<std::thread> clients;
  for (int t = 0; t < 4; ++t) {
    clients.emplace_back([&, t] {
      for (int i = 0; i < 10; ++i) {
        const std::string command = std::to_string(t) + "-" + std::to_string(i);
        CommandReply mine;
        if (Send(command, &mine) == SendResult::Ok && mine.text == "echo " + command) ++right;
      }
    });
  }
  for (auto& client : clients) client.join();
  EXPECT_EQ(right, 40);
  EXPECT_EQ(m_calls, 60);
}

TEST_F(CommandServerTest, ReplyIsAwaitedOnlyUntilTheTimeout) {
  CommandReply reply;
  std::string error;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Send("slow", &reply, 50ms, &error), SendResult::Failed);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 250ms);
  EXPECT_NE(error.find("no reply"), std::string::npos) << error;
  ASSERT_EQ(Send("slow", &reply, kTimeout, &error), SendResult::Ok) << error;
  EXPECT_EQ(reply.text, "echo slow");
}

}  // namespace
}  // namespace mivo::platform
