#include "convert/track_rewrite.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <thread>

namespace mivo {
namespace {

// Blocks of this size and more go to and from the file directly.
constexpr std::size_t kInBufSize = 64 * 1024;
constexpr std::size_t kOutBufSize = 64 * 1024;
// The disk writes of a synced result start every this many bytes.
constexpr std::uint64_t kWriteEarlyBytes = 8 << 20;

}  // namespace

std::uint16_t GetLe16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
std::uint32_t GetLe32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
void PutLe16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
void PutLe32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

void SamplesFromFile(std::int16_t* samples, std::size_t count) {
  if constexpr (std::endian::native != std::endian::little) {
    for (std::size_t i = 0; i < count; ++i) {
      std::uint8_t b[2];
      std::memcpy(b, &samples[i], 2);
      samples[i] = static_cast<std::int16_t>(GetLe16(b));
    }
  }
}

void SamplesToFile(std::int16_t* samples, std::size_t count) {
  if constexpr (std::endian::native != std::endian::little) {
    for (std::size_t i = 0; i < count; ++i) {
      std::uint8_t b[2];
      PutLe16(b, static_cast<std::uint16_t>(samples[i]));
      std::memcpy(&samples[i], b, 2);
    }
  }
}

TrackRewrite::TrackRewrite(const std::string& track, const PassContext& ctx)
    : m_ctx(ctx), m_track(track), m_temp(track + ".tmp"), m_source(ctx.source) {
  const std::string& input = m_source ? m_source->path : track;
  m_in.Reset(::open(input.c_str(), O_RDONLY | O_CLOEXEC));
  if (!m_in) return;
  struct stat st {};
  if (::fstat(m_in.Get(), &st) != 0 || !S_ISREG(st.st_mode)) return;

  // A temporary file left by a crash is stale; never write through a link.
  if (!platform::RemoveFile(m_temp)) return;
  m_out.Reset(::open(m_temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
  if (!m_out) return;
  m_bTempCreated = true;
  // The processed track keeps the permissions of the recorded one (or of
  // the source it is made from).
  if (::fchmod(m_out.Get(), st.st_mode & 07777) != 0) return;

  m_inBuf.resize(kInBufSize);
  m_outBuf.resize(kOutBufSize);
  m_bWriteEarly = ctx.syncToDisk || ctx.writeEarly;
  m_bOpened = true;
}

TrackRewrite::~TrackRewrite() {
  if (!m_bCommitted) RemoveTemp();
}

void TrackRewrite::RemoveTemp() {
  m_out.Reset();
  // Nothing more can be done when the removal fails; the next rewrite of
  // this track removes the stale file before it starts.
  if (m_bTempCreated) static_cast<void>(platform::RemoveFile(m_temp));
  m_bTempCreated = false;
}

bool TrackRewrite::Faulted(FaultPoint point) {
  if (m_ctx.fault && m_ctx.fault(point)) {
    m_bFailed = true;
    return true;
  }
  return false;
}

std::size_t TrackRewrite::ReadInput(std::uint8_t* data, std::size_t bytes) {
  std::size_t done = 0;
  std::uint64_t header = 0;
  if (m_source) {
    // The made header first, then the samples and nothing after them.
    header = HeaderSize();
    if (m_inOffset < header) {
      const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(bytes, header - m_inOffset));
      std::memcpy(data, m_source->header + m_inOffset, n);
      done = n;
      m_inOffset += n;
    }
    const std::uint64_t end = header + m_source->dataSize;
    bytes = done + static_cast<std::size_t>(std::min<std::uint64_t>(bytes - done, end - std::min(end, m_inOffset)));
  }
  while (done < bytes) {
    const std::uint64_t at = m_source ? m_source->dataOffset + (m_inOffset - header) : m_inOffset;
    const ssize_t n = ::pread(m_in.Get(), data + done, bytes - done, static_cast<off_t>(at));
    if (n < 0) {
      if (errno == EINTR) continue;
      m_bFailed = true;
      break;
    }
    if (n == 0) {
      m_bInEof = true;
      break;
    }
    done += static_cast<std::size_t>(n);
    m_inOffset += static_cast<std::uint64_t>(n);
  }
  if (done == 0 && !m_bFailed) m_bInEof = true;
  return done;
}

bool TrackRewrite::FillInput() {
  if (m_bInEof || m_bFailed) return false;
  if (Faulted(FaultPoint::Read)) return false;
  const std::size_t n = ReadInput(m_inBuf.data(), m_inBuf.size());
  if (n == 0) return false;
  m_inPos = 0;
  m_inLen = n;
  return true;
}

std::size_t TrackRewrite::ReadDirect(std::uint8_t* data, std::size_t bytes) {
  if (Faulted(FaultPoint::Read)) return 0;
  return ReadInput(data, bytes);
}

std::size_t TrackRewrite::Read(void* data, std::size_t bytes) {
  auto* dst = static_cast<std::uint8_t*>(data);
  std::size_t done = 0;
  while (done < bytes && Ok()) {
    // Large reads bypass the buffer once it is drained.
    if (m_inPos == m_inLen && bytes - done >= m_inBuf.size() && !m_bInEof) {
      done += ReadDirect(dst + done, bytes - done);
      break;
    }
    if (m_inPos == m_inLen && !FillInput()) break;
    const std::size_t n = std::min(bytes - done, m_inLen - m_inPos);
    std::memcpy(dst + done, m_inBuf.data() + m_inPos, n);
    m_inPos += n;
    done += n;
  }
  return done;
}

bool TrackRewrite::ReadExact(void* data, std::size_t bytes) {
  if (Read(data, bytes) != bytes) m_bFailed = true;
  return Ok();
}

bool TrackRewrite::ReadHeader(std::uint8_t* header) {
  return ReadExact(header, HeaderSize());
}

bool TrackRewrite::SeekInput(std::uint64_t offset) {
  if (!Ok()) return false;
  m_inOffset = offset;
  m_inPos = m_inLen = 0;
  m_bInEof = false;
  return true;
}

bool TrackRewrite::FlushOutput() {
  if (m_outLen == 0) return Ok();
  if (!Ok() || Faulted(FaultPoint::Write)) return false;
  if (!platform::WriteAll(m_out.Get(), {reinterpret_cast<const char*>(m_outBuf.data()), m_outLen})) {
    m_bFailed = true;  // a full disk, a quota, an I/O error
    return false;
  }
  m_outFileLen += m_outLen;
  m_outLen = 0;
  WriteEarly();
  return true;
}

void TrackRewrite::WriteEarly() {
  if (!m_bWriteEarly || m_outFileLen - m_writtenEarly < kWriteEarlyBytes) return;
  // Only a head start: where the file system cannot give it, the sync at
  // the end writes everything.
  if (!platform::StartWriteback(m_out.Get(), m_writtenEarly, m_outFileLen - m_writtenEarly)) m_bWriteEarly = false;
  m_writtenEarly = m_outFileLen;
}

bool TrackRewrite::Write(const void* data, std::size_t bytes) {
  const auto* src = static_cast<const std::uint8_t*>(data);
  while (bytes > 0 && Ok()) {
    // Large writes bypass the buffer once it is flushed.
    if (m_outLen == 0 && bytes >= m_outBuf.size()) {
      if (Faulted(FaultPoint::Write)) break;
      if (!platform::WriteAll(m_out.Get(), {reinterpret_cast<const char*>(src), bytes})) {
        m_bFailed = true;
        break;
      }
      m_outFileLen += bytes;
      WriteEarly();
      break;
    }
    if (m_outLen == m_outBuf.size() && !FlushOutput()) break;
    const std::size_t n = std::min(bytes, m_outBuf.size() - m_outLen);
    std::memcpy(m_outBuf.data() + m_outLen, src, n);
    m_outLen += n;
    src += n;
    bytes -= n;
  }
  return Ok();
}

bool TrackRewrite::Patch(std::uint64_t offset, const void* data, std::size_t bytes) {
  if (!FlushOutput()) return false;
  if (offset + bytes > m_outFileLen || Faulted(FaultPoint::Write)) {
    m_bFailed = true;
    return false;
  }
  const auto* src = static_cast<const std::uint8_t*>(data);
  while (bytes > 0) {
    const ssize_t n = ::pwrite(m_out.Get(), src, bytes, static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      m_bFailed = true;
      return false;
    }
    src += n;
    offset += static_cast<std::uint64_t>(n);
    bytes -= static_cast<std::size_t>(n);
  }
  return true;
}

bool TrackRewrite::EndBlock() {
  if (m_ctx.progress.Cancelled()) m_bFailed = true;
  std::this_thread::yield();
  return Ok();
}

bool TrackRewrite::Commit(const std::string& keepName) {
  if (!FlushOutput()) return false;
  if (m_ctx.syncToDisk && ::fsync(m_out.Get()) != 0) m_bFailed = true;
  // close() reports the errors of a delayed write (NFS, quotas) here.
  if (Ok() && ::close(m_out.Release()) != 0) m_bFailed = true;
  m_in.Reset();
  if (!Ok() || Faulted(FaultPoint::BeforeReplace)) return false;
  if (m_ctx.beforeReplace) {
    ReplaceIntent intent{m_temp, m_track, keepName, {}};
    if (!platform::FileIdAt(m_temp, &intent.tempId)) {
      m_bFailed = true;
      return false;
    }
    m_ctx.beforeReplace(intent);
  }
  if (!Replace(keepName)) {
    m_bFailed = true;
    return false;
  }
  m_bCommitted = true;
  m_bTempCreated = false;
  // The renames are done; a folder that cannot be synced changes nothing
  // about which file holds the audio, so it does not fail the pass.
  if (m_ctx.syncToDisk) static_cast<void>(platform::SyncFolderOf(m_track));
  if (m_ctx.fault) static_cast<void>(m_ctx.fault(FaultPoint::Replaced));
  return true;
}

bool TrackRewrite::Replace(const std::string& keepName) {
  if (keepName.empty() || m_source) return ::rename(m_temp.c_str(), m_track.c_str()) == 0;

  // The unprocessed track gets a second name first, so the track path
  // always names a complete file. Where the file system has no hard links
  // it is renamed instead; its audio then lives on under the keep name.
  if (!platform::RemoveFile(keepName)) return false;
  bool linked = ::link(m_track.c_str(), keepName.c_str()) == 0;
  if (!linked && ::rename(m_track.c_str(), keepName.c_str()) != 0) return false;
  if (::rename(m_temp.c_str(), m_track.c_str()) == 0) return true;
  // Undo: the track path holds the unprocessed audio again.
  if (linked) {
    static_cast<void>(platform::RemoveFile(keepName));
  } else {
    static_cast<void>(::rename(keepName.c_str(), m_track.c_str()));
  }
  return false;
}

bool CopyTrackFromSource(const std::string& track, const PassContext& ctx) {
  if (ctx.source == nullptr) return false;
  TrackRewrite rw(track, ctx);
  if (!rw.Ok()) return false;
  std::vector<std::uint8_t> block(std::size_t{1} << 20);
  for (;;) {
    const std::size_t n = rw.Read(block.data(), block.size());
    if (n == 0) break;
    if (!rw.Write(block.data(), n) || !rw.EndBlock()) return false;
  }
  return rw.Ok() && rw.Commit();
}

}  // namespace mivo
