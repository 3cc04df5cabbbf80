#include "platform/ipc/instance.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <optional>
#include <system_error>
#include <vector>

#include "platform/process/paths.h"

namespace mivo::platform {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kServerReadTimeout = std::chrono::seconds(2);
constexpr auto kServerWriteTimeout = std::chrono::seconds(2);
constexpr auto kAcceptBackOff = std::chrono::milliseconds(100);
constexpr std::size_t kMaxReplyBytes = 1u << 20;
constexpr std::size_t kMaxDrainBytes = 1u << 16;
constexpr int kListenBacklog = 16;

void SetError(std::string* error, std::string text) {
  if (error) *error = std::move(text);
}

std::string ErrnoText(int err) {
  char buffer[256];
  // The GNU strerror_r returns the message, not always in `buffer`.
  return ::strerror_r(err, buffer, sizeof buffer);
}

std::string WithErrno(const std::string& what, int err) {
  return what + ": " + ErrnoText(err);
}

int RemainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  if (left.count() <= 0) return 0;
  return left.count() > INT_MAX ? INT_MAX : static_cast<int>(left.count());
}

enum class Wait { Ready, Stopped, TimedOut, Failed };

// Waits until `fd` is ready for `events`, `stopFd` (when >= 0) is readable, or
// the deadline passes. Errors and hang-ups count as ready: the next call on
// `fd` reports them.
Wait WaitFor(int fd, short events, int stopFd, Clock::time_point deadline) {
  for (;;) {
    pollfd fds[2] = {{fd, events, 0}, {stopFd, POLLIN, 0}};
    const nfds_t count = stopFd >= 0 ? 2 : 1;
    const int ready = ::poll(fds, count, RemainingMs(deadline));
    if (ready < 0) {
      if (errno == EINTR) continue;
      return Wait::Failed;
    }
    if (ready == 0) return Wait::TimedOut;
    if (count == 2 && fds[1].revents != 0) return Wait::Stopped;
    return Wait::Ready;
  }
}

// Writes all of `data` to a non-blocking socket. False when the peer went
// away, the deadline passed or a stop was asked for.
bool SendAll(int fd, const std::string& data, int stopFd, Clock::time_point deadline,
             int* err) {
  std::size_t sent = 0;
  while (sent < data.size()) {
    const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n >= 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      *err = errno;
      return false;
    }
    if (WaitFor(fd, POLLOUT, stopFd, deadline) != Wait::Ready) {
      *err = ETIMEDOUT;
      return false;
    }
  }
  return true;
}

bool FillAddress(const std::string& path, sockaddr_un* address) {
  *address = sockaddr_un{};
  address->sun_family = AF_UNIX;
  if (path.size() >= sizeof address->sun_path) return false;
  std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
  return true;
}

// Where the lock or socket of `settingsPath` lives; empty (with *error set)
// when there is no usable private folder.
std::string RuntimeFile(const std::string& settingsPath, const char* suffix,
                        std::string* error) {
  const std::string folder = RuntimeFolder();
  if (folder.empty()) {
    SetError(error,
             "no private runtime folder is usable ($XDG_RUNTIME_DIR or /tmp/mivo-" +
                 std::to_string(::geteuid()) + ")");
    return {};
  }
  return folder + "/mivo-" + InstanceKey(settingsPath) + suffix;
}

std::string NormalisedPath(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::path absolute = fs::absolute(path, ec);
  if (ec) absolute = fs::path(path);
  fs::path normal = fs::weakly_canonical(absolute, ec);
  if (ec) normal = absolute.lexically_normal();
  return normal.string();
}

// Removes the socket file it names unless released.
class SocketFileGuard {
 public:
  explicit SocketFileGuard(const std::string& path) : m_path(path) {}
  ~SocketFileGuard() {
    if (!m_path.empty()) static_cast<void>(::unlink(m_path.c_str()));
  }
  SocketFileGuard(const SocketFileGuard&) = delete;
  SocketFileGuard& operator=(const SocketFileGuard&) = delete;
  void Release() { m_path.clear(); }

 private:
  std::string m_path;
};

// What the settings file is known by: its device and inode (the file
// itself, whatever name reaches it), else its normalised path.
std::string Identity(const std::string& settingsPath) {
  struct stat st{};
  if (::stat(settingsPath.c_str(), &st) == 0) {
    return "inode:" + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
  }
  return NormalisedPath(settingsPath);
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// "mivo-<16 hex digits>" followed by `suffix`: a file of ours.
bool IsInstanceFile(const std::string& name, const std::string& suffix) {
  constexpr std::size_t kPrefix = 5, kDigits = 16;
  if (name.size() != kPrefix + kDigits + suffix.size() || name.compare(0, kPrefix, "mivo-") != 0 ||
      name.compare(kPrefix + kDigits, std::string::npos, suffix) != 0) {
    return false;
  }
  return std::all_of(name.begin() + kPrefix, name.begin() + kPrefix + kDigits,
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// Removes the lock files nobody holds and the sockets beside them: left by
// recorders that crashed or were killed, under keys that no later start uses
// (a settings file gets a new inode at every save). A lock file some process
// is about to lock is safe to remove: Acquire checks, once it holds the
// lock, that the file still has its name, and tries again otherwise.
void RemoveStaleFiles(const std::string& folder) {
  namespace fs = std::filesystem;
  std::error_code ec;
  std::vector<std::string> names;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    names.push_back(it->path().filename().string());
  }
  for (const std::string& name : names) {
    if (!IsInstanceFile(name, ".lock")) continue;
    const std::string lockPath = folder + "/" + name;
    UniqueFd fd(::open(lockPath.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (!fd || ::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) continue;  // held, or not ours to judge
    struct stat held{};
    struct stat named{};
    if (::fstat(fd.Get(), &held) != 0 || ::lstat(lockPath.c_str(), &named) != 0 || !SameFile(held, named)) continue;
    const std::string socketPath = lockPath.substr(0, lockPath.size() - 5) + ".sock";
    static_cast<void>(::unlink(socketPath.c_str()));
    static_cast<void>(::unlink(lockPath.c_str()));
  }
  // A socket without its lock file: its server is gone.
  for (const std::string& name : names) {
    if (!IsInstanceFile(name, ".sock")) continue;
    const std::string socketPath = folder + "/" + name;
    const std::string lockPath = socketPath.substr(0, socketPath.size() - 5) + ".lock";
    struct stat st{};
    if (::lstat(lockPath.c_str(), &st) != 0 && errno == ENOENT) static_cast<void>(::unlink(socketPath.c_str()));
  }
}

}  // namespace

std::string InstanceKey(const std::string& settingsPath) {
  std::uint64_t hash = 14695981039346656037ull;
  for (const unsigned char c : Identity(settingsPath)) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string key(16, '0');
  for (int i = 15; i >= 0; --i, hash >>= 4) key[static_cast<std::size_t>(i)] = kDigits[hash & 0xf];
  return key;
}

// ---------------------------------------------------------------------------
// InstanceLock

std::optional<InstanceLock> InstanceLock::Acquire(const std::string& settingsPath,
                                                  std::string* error) {
  // A missing settings file is made now (empty, as at a first start), so
  // that every later start finds the same inode. Where it cannot be made,
  // its path stands for it.
  int created = -1;
  do {
    // Never blocking: a FIFO without a reader would hold the open for ever.
    created = ::open(settingsPath.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
  } while (created < 0 && errno == EINTR);
  UniqueFd settingsFile(created);
  settingsFile.Reset();

  const std::string lockPath = RuntimeFile(settingsPath, ".lock", error);
  if (lockPath.empty()) return std::nullopt;
  RemoveStaleFiles(RuntimeFolder());

  for (;;) {
    int raw = -1;
    do {
      raw = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    } while (raw < 0 && errno == EINTR);
    if (raw < 0) {
      SetError(error, WithErrno("cannot open the lock file " + lockPath, errno));
      return std::nullopt;
    }
    UniqueFd fd(raw);

    int locked = -1;
    do {
      locked = ::flock(fd.Get(), LOCK_EX | LOCK_NB);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0) {
      if (errno == EWOULDBLOCK) {
        SetError(error, "Mivo is already running with the settings file " + settingsPath);
      } else {
        SetError(error, WithErrno("cannot lock " + lockPath, errno));
      }
      return std::nullopt;
    }
    // The previous owner may have removed the file between our open and our
    // lock: that lock is on a file nobody else finds. Try again.
    struct stat held{};
    struct stat named{};
    if (::fstat(fd.Get(), &held) != 0) {
      SetError(error, WithErrno("cannot look at the lock file " + lockPath, errno));
      return std::nullopt;
    }
    if (::lstat(lockPath.c_str(), &named) == 0 && SameFile(held, named)) {
      return InstanceLock(std::move(fd), lockPath);
    }
  }
}

InstanceLock& InstanceLock::operator=(InstanceLock&& other) noexcept {
  if (this != &other) {
    Release();
    m_fd = std::move(other.m_fd);
    m_path = std::move(other.m_path);
  }
  return *this;
}

void InstanceLock::Release() noexcept {
  if (!m_fd) return;
  // Removed while still locked: whoever opened it meanwhile finds, once it
  // has the lock, that the name is gone.
  static_cast<void>(::unlink(m_path.c_str()));
  m_fd.Reset();
}

// ---------------------------------------------------------------------------
// CommandServer

bool CommandServer::Start(const std::string& settingsPath, Handler handler,
                          std::string* error) {
  if (Running()) {
    SetError(error, "the command server is already running");
    return false;
  }
  if (!handler) {
    SetError(error, "the command server needs a handler");
    return false;
  }
  const std::string path = RuntimeFile(settingsPath, ".sock", error);
  if (path.empty()) return false;
  sockaddr_un address{};
  if (!FillAddress(path, &address)) {
    SetError(error, "the socket path is too long: " + path);
    return false;
  }

  UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!listener) {
    SetError(error, WithErrno("cannot create a socket", errno));
    return false;
  }
  // Whoever calls Start holds the instance lock, so a file left here belongs
  // to a server that died.
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
    SetError(error, WithErrno("cannot remove the stale socket " + path, errno));
    return false;
  }
  if (::bind(listener.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    SetError(error, WithErrno("cannot bind " + path, errno));
    return false;
  }
  SocketFileGuard socketFile(path);
  if (::listen(listener.Get(), kListenBacklog) != 0) {
    SetError(error, WithErrno("cannot listen on " + path, errno));
    return false;
  }
  UniqueFd stop(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!stop) {
    SetError(error, WithErrno("cannot create an eventfd", errno));
    return false;
  }

  m_handler = std::move(handler);
  m_listen = std::move(listener);
  m_stop = std::move(stop);
  std::string why;
  if (!m_thread.Start([this] { Serve(); }, &why)) {
    m_handler = nullptr;
    m_listen.Reset();
    m_stop.Reset();
    SetError(error, "cannot start the command server thread: " + why);
    return false;
  }
  m_socketPath = path;
  socketFile.Release();
  return true;
}

void CommandServer::Stop() {
  if (!m_thread.Joinable()) return;
  const std::uint64_t one = 1;
  ssize_t written = -1;
  do {
    written = ::write(m_stop.Get(), &one, sizeof one);
  } while (written < 0 && errno == EINTR);
  // Only a counter overflow makes an eventfd write fail, and the count
  // never goes past a few here.

  // From the handler: the thread ends after this connection; a later Stop()
  // from another thread waits for it and cleans up.
  if (m_thread.IsCurrent()) return;

  m_thread.Join();
  m_listen.Reset();
  m_stop.Reset();
  m_handler = nullptr;
  static_cast<void>(::unlink(m_socketPath.c_str()));  // gone already is fine
  m_socketPath.clear();
}

void CommandServer::Serve() {
  // Waits out a passing shortage (no descriptors or memory) without spinning.
  const auto backOff = [this] {
    return WaitFor(m_stop.Get(), POLLIN, -1, Clock::now() + kAcceptBackOff) != Wait::Ready;
  };
  for (;;) {
    pollfd fds[2] = {{m_listen.Get(), POLLIN, 0}, {m_stop.Get(), POLLIN, 0}};
    const int ready = ::poll(fds, 2, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      if (!backOff()) return;
      continue;
    }
    if (fds[1].revents != 0) return;
    if ((fds[0].revents & POLLIN) == 0) {
      if (!backOff()) return;
      continue;
    }
    UniqueFd client(::accept4(m_listen.Get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (!client) {
      switch (errno) {
        case EINTR:
        case EAGAIN:
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
#endif
        case ECONNABORTED:
          continue;
        default:
          if (!backOff()) return;
          continue;
      }
    }
    ServeConnection(client);
  }
}

void CommandServer::ServeConnection(const UniqueFd& client) {
  const int fd = client.Get();
  ucred peer{};
  socklen_t peerSize = sizeof peer;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &peerSize) != 0 ||
      peerSize != sizeof peer || peer.uid != ::geteuid()) {
    return;
  }

  // One line of at most kMaxCommandBytes plus its '\n'.
  char buffer[kMaxCommandBytes + 1];
  std::size_t got = 0;
  std::optional<std::string> command;
  const char* refusal = "no command";
  const auto deadline = Clock::now() + kServerReadTimeout;
  for (;;) {
    const Wait wait = WaitFor(fd, POLLIN, m_stop.Get(), deadline);
    if (wait == Wait::Stopped) return;
    if (wait != Wait::Ready) break;
    const ssize_t n = ::recv(fd, buffer + got, sizeof buffer - got, 0);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      return;  // the peer is gone: nobody to answer
    }
    if (n == 0) break;
    const char* end = static_cast<const char*>(
        std::memchr(buffer + got, '\n', static_cast<std::size_t>(n)));
    got += static_cast<std::size_t>(n);
    if (end != nullptr) {
      command.emplace(buffer, static_cast<std::size_t>(end - buffer));
      break;
    }
    if (got == sizeof buffer) {
      refusal = "command too long";
      break;
    }
  }

  const CommandReply reply = command ? m_handler(*command) : CommandReply{kCommandRefused, refusal};
  const std::string wire = std::to_string(reply.status) + "\n" + reply.text;
  int err = 0;
  if (!SendAll(fd, wire, m_stop.Get(), Clock::now() + kServerWriteTimeout, &err)) return;

  // Unread input makes the kernel reset the peer's end on close, and the
  // reset could reach the client before it has read the reply. Take what is
  // waiting, up to a bound.
  std::size_t drained = 0;
  while (drained < kMaxDrainBytes) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    drained += static_cast<std::size_t>(n);
  }
}

// ---------------------------------------------------------------------------
// SendCommand

SendResult SendCommand(const std::string& settingsPath, const std::string& command,
                       CommandReply* reply, std::chrono::milliseconds timeout,
                       std::string* error) {
  const auto deadline = Clock::now() + timeout;
  if (command.find('\n') != std::string::npos) {
    SetError(error, "a command must not contain a line break");
    return SendResult::Failed;
  }
  const std::string path = RuntimeFile(settingsPath, ".sock", error);
  if (path.empty()) return SendResult::Failed;
  sockaddr_un address{};
  if (!FillAddress(path, &address)) {
    SetError(error, "the socket path is too long: " + path);
    return SendResult::Failed;
  }

  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) {
    SetError(error, WithErrno("cannot create a socket", errno));
    return SendResult::Failed;
  }
  // A blocking connect waits while the server's backlog is full; the send
  // time-out bounds that wait.
  const int connectMs = std::max(1, RemainingMs(deadline));
  const timeval connectTimeout{connectMs / 1000, (connectMs % 1000) * 1000};
  if (::setsockopt(fd.Get(), SOL_SOCKET, SO_SNDTIMEO, &connectTimeout, sizeof connectTimeout) != 0) {
    SetError(error, WithErrno("cannot set the socket time-out", errno));
    return SendResult::Failed;
  }
  for (;;) {
    if (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) break;
    const int err = errno;
    if (err == EINTR) continue;
    if (err == EISCONN) break;  // an interrupted attempt completed after all
    if (err == ENOENT || err == ECONNREFUSED) return SendResult::NoServer;
    if (err == EAGAIN || err == EWOULDBLOCK) {
      SetError(error, "the recorder did not take the connection in time");
    } else {
      SetError(error, WithErrno("cannot connect to " + path, err));
    }
    return SendResult::Failed;
  }

  const int flags = ::fcntl(fd.Get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd.Get(), F_SETFL, flags | O_NONBLOCK) != 0) {
    SetError(error, WithErrno("cannot make the socket non-blocking", errno));
    return SendResult::Failed;
  }

  int sendErr = 0;
  if (SendAll(fd.Get(), command + "\n", -1, deadline, &sendErr)) {
    if (::shutdown(fd.Get(), SHUT_WR) != 0 && errno != ENOTCONN) {
      SetError(error, WithErrno("cannot finish the command", errno));
      return SendResult::Failed;
    }
  } else if (sendErr == ETIMEDOUT) {
    SetError(error, "the recorder did not take the command in time");
    return SendResult::Failed;
  } else if (sendErr != EPIPE && sendErr != ECONNRESET) {
    SetError(error, WithErrno("cannot send the command", sendErr));
    return SendResult::Failed;
  }
  // On EPIPE or ECONNRESET the server stopped reading early (it refuses a
  // command that is too long); its answer may still be waiting.

  std::string wire;
  char buffer[4096];
  for (;;) {
    const Wait wait = WaitFor(fd.Get(), POLLIN, -1, deadline);
    if (wait == Wait::TimedOut) {
      SetError(error, "no reply from the recorder within " + std::to_string(timeout.count()) + " ms");
      return SendResult::Failed;
    }
    if (wait != Wait::Ready) {
      SetError(error, WithErrno("cannot wait for the reply", errno));
      return SendResult::Failed;
    }
    const ssize_t n = ::recv(fd.Get(), buffer, sizeof buffer, 0);
    if (n < 0) {
      const int err = errno;
      if (err == EINTR || err == EAGAIN || err == EWOULDBLOCK) continue;
      if (err == ECONNRESET && !wire.empty()) break;  // reset after the answer
      SetError(error, WithErrno("cannot read the reply", err));
      return SendResult::Failed;
    }
    if (n == 0) break;
    wire.append(buffer, static_cast<std::size_t>(n));
    if (wire.size() > kMaxReplyBytes) {
      SetError(error, "the reply is too long");
      return SendResult::Failed;
    }
  }

  const std::size_t newline = wire.find('\n');
  int status = 0;
  const char* first = wire.data();
  const char* last = wire.data() + (newline == std::string::npos ? 0 : newline);
  const auto parsed = std::from_chars(first, last, status);
  if (newline == std::string::npos || newline == 0 || parsed.ec != std::errc() ||
      parsed.ptr != last) {
    SetError(error, wire.empty() ? "the recorder closed the connection without answering"
                                 : "the recorder's reply is malformed");
    return SendResult::Failed;
  }
  if (reply) {
    reply->status = status;
    reply->text = wire.substr(newline + 1);
  }
  return SendResult::Ok;
}

}  // namespace mivo::platform
