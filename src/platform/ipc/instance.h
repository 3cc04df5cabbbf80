// One recorder per settings file, and a command channel to it.
//
// Both are keyed by the settings file itself: InstanceKey() hashes its
// device and inode, so every name of the file ("./mivo.ini", "/abs/mivo.ini",
// a symlink, a hard link) shares one lock and one socket, both kept in
// RuntimeFolder(). A file that does not exist (and could not be created) is
// keyed by its absolute, normalised path instead.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "platform/process/unique_fd.h"
#include "platform/sync/thread.h"

namespace mivo::platform {

// 16 hex digits (FNV-1a 64) of the settings file's device and inode, or,
// when there is no such file, of its absolute path with symlinks in its
// existing part resolved and "." and ".." removed.
std::string InstanceKey(const std::string& settingsPath);

// An exclusive flock() on "<RuntimeFolder()>/mivo-<key>.lock", held for the
// lifetime of the object. The kernel drops it when the process dies, so a
// crashed recorder never blocks the next start. The owner removes the lock
// file when it lets go (the settings file gets a new inode at every save, so
// the files would pile up otherwise); Acquire makes sure the file it locked
// is still the one of that name, so two processes never hold two files.
class InstanceLock {
 public:
  // Creates the settings file when it is missing, so that it has an inode
  // to be known by. nullopt when the lock is held elsewhere (another
  // process, or another InstanceLock in this one): *error then contains
  // "already running". Otherwise *error says why the lock file could not be
  // used.
  static std::optional<InstanceLock> Acquire(const std::string& settingsPath,
                                             std::string* error);

  InstanceLock(InstanceLock&& other) noexcept = default;
  InstanceLock& operator=(InstanceLock&& other) noexcept;
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;
  ~InstanceLock() { Release(); }

 private:
  InstanceLock(UniqueFd fd, std::string path) : m_fd(std::move(fd)), m_path(std::move(path)) {}
  // Removes the lock file, then lets go of the lock.
  void Release() noexcept;
  UniqueFd m_fd;
  std::string m_path;
};

struct CommandReply {
  int status = 0;
  std::string text;
};

// Status of the replies the server gives itself when a request is unusable.
inline constexpr int kCommandRefused = 2;

// Serves commands on the AF_UNIX stream socket "<RuntimeFolder()>/mivo-<key>.sock".
// Wire format: the client sends "<command>\n" (at most kMaxCommandBytes
// before the '\n'); the server answers "<status>\n<text>" (text may span
// several lines) and closes. Connections are taken one at a time on one
// thread; peers running as another user are closed without an answer.
class CommandServer {
 public:
  static constexpr std::size_t kMaxCommandBytes = 256;

  using Handler = std::function<CommandReply(const std::string& command)>;

  CommandServer() = default;
  CommandServer(const CommandServer&) = delete;
  CommandServer& operator=(const CommandServer&) = delete;
  ~CommandServer() { Stop(); }

  // The caller must hold the InstanceLock of `settingsPath`: a socket file
  // left there is then stale and is replaced. `handler` runs on the server
  // thread. False with *error set when the socket cannot be set up, the
  // system gives no thread for it, or the server already runs.
  bool Start(const std::string& settingsPath, Handler handler, std::string* error);

  // Ends the server thread promptly (waiting only for a handler that is
  // running) and removes the socket file. Must not be called from the handler.
  void Stop();

  bool Running() const { return m_thread.Joinable(); }

 private:
  void Serve();
  void ServeConnection(const UniqueFd& client);

  Handler m_handler;
  std::string m_socketPath;
  UniqueFd m_listen;
  UniqueFd m_stop;  // eventfd: readable once Stop() asks the thread to end
  Thread m_thread;
};

enum class SendResult {
  Ok,        // *reply holds the server's answer
  NoServer,  // no recorder serves this settings file
  Failed,    // *error says why
};

// Sends `command` (no line break in it) to the recorder serving
// `settingsPath` and waits at most `timeout` in all for its whole reply.
SendResult SendCommand(const std::string& settingsPath, const std::string& command,
                       CommandReply* reply, std::chrono::milliseconds timeout,
                       std::string* error);

}  // namespace mivo::platform
