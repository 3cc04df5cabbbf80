#include "capture/track_syncer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace mivo {
namespace {

// A round every half second; the data go to the disk every second round.
constexpr auto kTick = std::chrono::milliseconds(500);
constexpr unsigned kSyncEvery = 2;

bool PutAt(int fd, std::uint64_t offset, std::uint32_t v) {
  const unsigned char b[4] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
                              static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
  ssize_t n;
  do {
    n = ::pwrite(fd, b, 4, static_cast<off_t>(offset));
  } while (n < 0 && errno == EINTR);
  return n == 4;
}

void SyncData(int fd) {
  // A failed sync loses nothing that the next one or the close would keep.
  while (::fdatasync(fd) != 0 && errno == EINTR) {
  }
}

}  // namespace

TrackSyncer::~TrackSyncer() {
  {
    std::lock_guard lock(m_mtx);
    m_bStop = true;
  }
  m_cv.notify_all();
  m_thread.Join();
}

bool TrackSyncer::Start(std::string* error) {
  if (m_thread.Joinable()) return true;
  return m_thread.Start([this] { Run(); }, error);
}

void TrackSyncer::Attach(int fd, int headerShortening, std::uint32_t dataBytes) {
  std::lock_guard lock(m_mtx);
  m_fd = fd;
  m_nShortening = headerShortening;
  m_dataBytes.store(dataBytes, std::memory_order_release);
  ++m_nAttachment;
}

void TrackSyncer::Detach() {
  std::lock_guard lock(m_mtx);
  if (m_fd < 0) return;
  m_fd = -1;
  ++m_nAttachment;
}

void TrackSyncer::Tick(bool sync) {
  std::lock_guard round(m_tickMtx);
  platform::UniqueFd finished;  // a detached track: synced once more, then let go
  int syncFd = -1;
  {
    std::lock_guard lock(m_mtx);
    if (m_nOwnAttachment != m_nAttachment) {
      finished = std::move(m_own);
      if (m_fd >= 0) m_own.Reset(::fcntl(m_fd, F_DUPFD_CLOEXEC, 0));
      m_nOwnAttachment = m_nAttachment;
      m_bWritten = false;
    }
    if (m_fd >= 0 && m_own) {
      const std::uint32_t bytes = m_dataBytes.load(std::memory_order_acquire);
      if (!m_bWritten || bytes != m_nWritten) {
        const auto s = static_cast<std::uint32_t>(m_nShortening);
        m_bWritten = PutAt(m_own.Get(), 4, bytes + 38 - s) && PutAt(m_own.Get(), 42 - s, bytes);
        m_nWritten = bytes;
      }
      if (sync) syncFd = m_own.Get();
    }
  }
  if (finished) SyncData(finished.Get());
  if (syncFd >= 0) SyncData(syncFd);
}

void TrackSyncer::Run() {
  unsigned round = 0;
  std::unique_lock lock(m_mtx);
  while (!m_bStop) {
    m_cv.wait_for(lock, kTick, [this] { return m_bStop; });
    lock.unlock();
    Tick(++round % kSyncEvery == 0);
    lock.lock();
  }
  lock.unlock();
  Tick(true);  // a track detached just now still reaches the disk
}

}  // namespace mivo
