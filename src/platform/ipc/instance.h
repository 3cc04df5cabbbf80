// One recorder per settings file, and a command channel to it.
//
// Both are keyed by the settings file: InstanceKey() hashes its absolute,
// normalised path, so "./mivo.ini", "/abs/mivo.ini" and the same file reached
// through a symlinked folder share one lock and one socket, both kept in
// RuntimeFolder().
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "platform/process/unique_fd.h"

namespace mivo::platform {

// 16 hex digits (FNV-1a 64) of the settings file's absolute path with
// symlinks in its existing part resolved and "." and ".." removed.
std::string InstanceKey(const std::string& settingsPath);

// An exclusive flock() on "<RuntimeFolder()>/mivo-<key>.lock", held for the
// lifetime of the object. The kernel drops it when the process dies, so a
// crashed recorder never blocks the next start. The lock file itself stays:
// removing it would let two processes lock two different files.
class InstanceLock {
 public:
  // nullopt when the lock is held elsewhere (another process, or another
  // InstanceLock in this one): *error then contains "already running".
  // Otherwise *error says why the lock file could not be used.
  static std::optional<InstanceLock> Acquire(const std::string& settingsPath,
                                             std::string* error);

  InstanceLock(InstanceLock&&) noexcept = default;
  InstanceLock& operator=(InstanceLock&&) noexcept = default;
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;
  ~InstanceLock() = default;  // closing the descriptor releases the lock

 private:
  explicit InstanceLock(UniqueFd fd) : m_fd(std::move(fd)) {}
  UniqueFd m_fd;
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
  // thread. False with *error set when the socket cannot be set up or the
  // server already runs.
  bool Start(const std::string& settingsPath, Handler handler, std::string* error);

  // Ends the server thread promptly (waiting only for a handler that is
  // running) and removes the socket file. Must not be called from the handler.
  void Stop();

  bool Running() const { return m_thread.joinable(); }

 private:
  void Serve();
  void ServeConnection(const UniqueFd& client);

  Handler m_handler;
  std::string m_socketPath;
  UniqueFd m_listen;
  UniqueFd m_stop;  // eventfd: readable once Stop() asks the thread to end
  std::thread m_thread;
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
