// Keeps the track being recorded readable whenever the process or the
// machine stops: on a thread of its own, about twice a second it writes the
// sizes the window thread has published into the track's header, and once
// a second it makes the file's data reach the disk (fdatasync). A recorder
// killed at any moment thus leaves a track whose header declares all but
// the last half second of what it wrote.
//
// The window thread only publishes a number per buffer (one atomic store);
// it never waits for the disk. The syncer writes through a descriptor of its
// own (a duplicate taken while the track is attached), and only under the
// lock that Detach takes: once Detach has returned it never writes to that
// file again, so the track's final sizes, its deletion or its processing
// cannot be overtaken by a late header. It still syncs the detached file
// once more (a sync writes nothing), then lets it go.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/process/unique_fd.h"
#include "platform/sync/thread.h"

namespace mivo {

class TrackSyncer {
 public:
  TrackSyncer() = default;
  ~TrackSyncer();
  TrackSyncer(const TrackSyncer&) = delete;
  TrackSyncer& operator=(const TrackSyncer&) = delete;

  // Starts the thread (once); false, with *error saying why, when the
  // system gives no thread.
  bool Start(std::string* error = nullptr);

  // Window thread. From now on the header of the open track `fd` (46 - s
  // bytes, s the header shortening) is kept at `dataBytes` of sample data.
  void Attach(int fd, int headerShortening, std::uint32_t dataBytes);
  // Per buffer: the sample data now written in full. Never blocks.
  void Publish(std::uint32_t dataBytes) { m_dataBytes.store(dataBytes, std::memory_order_release); }
  // The track is about to get its final sizes: no header is written into it
  // after this returns.
  void Detach();

  // One round of the thread: the header brought up to date, and with `sync`
  // the data sent to the disk. Tests call it too.
  void Tick(bool sync);

 private:
  void Run();

  std::mutex m_mtx;
  std::condition_variable m_cv;
  bool m_bStop = false;
  platform::Thread m_thread;

  // Under m_mtx: the writer's descriptor while attached, and which
  // attachment it belongs to.
  int m_fd = -1;
  int m_nShortening = 0;
  std::uint64_t m_nAttachment = 0;
  std::atomic<std::uint32_t> m_dataBytes{0};

  // One round at a time (the thread's, or a test's).
  std::mutex m_tickMtx;
  // The ticking round's own: its duplicate of the attached descriptor,
  // which attachment it was taken for, and the sizes last written.
  platform::UniqueFd m_own;
  std::uint64_t m_nOwnAttachment = 0;
  std::uint32_t m_nWritten = 0;
  bool m_bWritten = false;
};

}  // namespace mivo
