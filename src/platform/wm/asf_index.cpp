#include "platform/wm/asf_index.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <vector>

#include "platform/files/files.h"
#include "platform/process/file_io.h"
#include "platform/process/unique_fd.h"

namespace mivo::platform::wm {
namespace {

// Object ids as they lie in the file (the GUID's first three fields little-endian).
using Guid = std::uint8_t[16];
constexpr Guid kHeaderObject = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
constexpr Guid kFilePropertiesObject = {0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11,
                                        0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
constexpr Guid kStreamPropertiesObject = {0x91, 0x07, 0xDC, 0xB7, 0xB7, 0xA9, 0xCF, 0x11,
                                          0x8E, 0xE6, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
constexpr Guid kAudioMedia = {0x40, 0x9E, 0x69, 0xF8, 0x4D, 0x5B, 0xCF, 0x11,
                              0xA8, 0xFD, 0x00, 0x80, 0x5F, 0x5C, 0x44, 0x2B};
constexpr Guid kDataObject = {0x36, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                              0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
constexpr Guid kSimpleIndexObject = {0x90, 0x08, 0x00, 0x33, 0xB1, 0xE5, 0xCF, 0x11,
                                     0x89, 0xF4, 0x00, 0xA0, 0xC9, 0x03, 0x49, 0xCB};

constexpr std::uint64_t kObjectHeader = 24;       // id + size
constexpr std::uint64_t kHeaderObjectFixed = 30;  // + object count, two reserved bytes
constexpr std::uint64_t kDataObjectFixed = 50;    // + file id, packet count, reserved
constexpr std::uint64_t kMaxHeader = 64u << 20;
// File Properties fields, from the object's start.
constexpr std::size_t kFpFileId = 24;
constexpr std::size_t kFpFileSize = 40;
constexpr std::size_t kFpPackets = 56;
constexpr std::size_t kFpFlags = 88;
constexpr std::size_t kFpMinPacket = 92;
constexpr std::size_t kFpMaxPacket = 96;
constexpr std::size_t kFpSize = 104;
constexpr std::uint32_t kFlagBroadcast = 0x1;
constexpr std::uint32_t kFlagSeekable = 0x2;

bool Is(const std::uint8_t* p, const Guid& g) { return std::memcmp(p, g, 16) == 0; }
std::uint16_t Get16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t Get32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
std::uint64_t Get64(const std::uint8_t* p) { return Get32(p) | (static_cast<std::uint64_t>(Get32(p + 4)) << 32); }
void Put16(std::vector<std::uint8_t>& v, std::uint16_t x) {
  v.push_back(static_cast<std::uint8_t>(x));
  v.push_back(static_cast<std::uint8_t>(x >> 8));
}
void Put32(std::vector<std::uint8_t>& v, std::uint32_t x) {
  Put16(v, static_cast<std::uint16_t>(x));
  Put16(v, static_cast<std::uint16_t>(x >> 16));
}
void Put64(std::vector<std::uint8_t>& v, std::uint64_t x) {
  Put32(v, static_cast<std::uint32_t>(x));
  Put32(v, static_cast<std::uint32_t>(x >> 32));
}
void Set32(std::uint8_t* p, std::uint32_t x) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(x >> (8 * i));
}
void Set64(std::uint8_t* p, std::uint64_t x) {
  Set32(p, static_cast<std::uint32_t>(x));
  Set32(p + 4, static_cast<std::uint32_t>(x >> 32));
}

// Copies [offset, offset + n) of `in` to the end of `out`, in the kernel
// where it can; `step` is told the bytes done and may stop the copy.
bool CopyRange(int in, int out, std::uint64_t offset, std::uint64_t n,
               const std::function<bool(std::uint64_t)>& step) {
  constexpr std::size_t kChunk = 8u << 20;
  std::vector<std::uint8_t> buf;
  std::uint64_t done = 0;
  while (done < n) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, n - done));
    auto from = static_cast<off64_t>(offset + done);
    ssize_t got = ::copy_file_range(in, &from, out, nullptr, want, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      // Not supported across these files: through a buffer instead.
      if (got < 0 && errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return false;
      if (buf.empty()) buf.resize(1u << 20);
      const std::size_t part = std::min(want, buf.size());
      if (!ReadAt(in, offset + done, buf.data(), part) || !WriteAll(out, buf.data(), part)) return false;
      got = static_cast<ssize_t>(part);
    }
    done += static_cast<std::uint64_t>(got);
    if (!step(done)) return false;
  }
  return true;
}

// Reads a length field of the given type (0 absent, 1 byte, 2 word, 3 dword).
bool ReadVar(const std::uint8_t* p, std::size_t end, std::size_t& pos, unsigned type, std::uint32_t* v) {
  static constexpr std::size_t kSizes[4] = {0, 1, 2, 4};
  const std::size_t n = kSizes[type & 3];
  if (pos + n > end) return false;
  *v = n == 0 ? 0 : n == 1 ? p[pos] : n == 2 ? Get16(p + pos) : Get32(p + pos);
  pos += n;
  return true;
}

struct Entry {
  std::uint32_t packet;
  std::uint16_t count;
};

// Follows the audio stream's media objects (frames) packet by packet and
// gives each index time the frame it falls in: the last frame that starts
// at or before it (the first frame for times ahead of it).
class IndexBuilder {
 public:
  explicit IndexBuilder(std::uint8_t stream) : m_stream(stream) {}
  std::uint8_t Stream() const { return m_stream; }

  // A payload of the audio stream: `offset` into its object, which is
  // presented at `presMs`.
  void Fragment(std::uint32_t packet, std::uint32_t presMs, std::uint32_t offset) {
    if (offset == 0) {
      Start(packet, presMs);
    } else if (m_haveCurrent) {
      m_currentLast = packet;
    }
  }

  // Entries for every second up to the last frame's start.
  std::vector<Entry> Finish(std::uint16_t* maxCount) {
    if (m_haveCurrent) Assign(static_cast<std::uint64_t>(m_currentPres) + 1);
    std::uint16_t most = 0;
    for (const Entry& e : m_entries) most = std::max(most, e.count);
    *maxCount = most;
    return std::move(m_entries);
  }

 private:
  void Start(std::uint32_t packet, std::uint32_t presMs) {
    // The seconds before this frame's start belong to the frame before it,
    // whose last packet is known by now.
    if (m_haveCurrent) Assign(presMs);
    m_haveCurrent = true;
    m_currentFirst = packet;
    m_currentLast = packet;
    m_currentPres = presMs;
  }
  void Assign(std::uint64_t untilMs) {
    const std::uint32_t span = m_currentLast - m_currentFirst + 1;
    const Entry e{m_currentFirst, static_cast<std::uint16_t>(std::min<std::uint32_t>(span, 0xFFFF))};
    while (static_cast<std::uint64_t>(m_entries.size()) * 1000 < untilMs) m_entries.push_back(e);
  }

  std::uint8_t m_stream;
  bool m_haveCurrent = false;
  std::uint32_t m_currentFirst = 0;
  std::uint32_t m_currentLast = 0;
  std::uint32_t m_currentPres = 0;
  std::vector<Entry> m_entries;
};

// Walks one data packet's payloads. False when it is malformed.
bool ParsePacket(const std::uint8_t* p, std::size_t packetSize, std::uint32_t number, IndexBuilder& index) {
  std::size_t pos = 0;
  if (packetSize < 1) return false;
  if (p[0] & 0x80) {  // error correction data first
    if ((p[0] >> 5) & 3) return false;
    pos = 1 + (p[0] & 0x0F);
  }
  if (pos + 2 > packetSize) return false;
  const unsigned lengthTypes = p[pos++];
  const unsigned properties = p[pos++];
  if (((properties >> 6) & 3) != 1) return false;  // stream numbers are bytes
  std::uint32_t packetLength = 0, sequence = 0, padding = 0;
  if (!ReadVar(p, packetSize, pos, lengthTypes >> 5, &packetLength) ||
      !ReadVar(p, packetSize, pos, lengthTypes >> 1, &sequence) ||
      !ReadVar(p, packetSize, pos, lengthTypes >> 3, &padding)) {
    return false;
  }
  if (pos + 6 > packetSize) return false;
  pos += 6;  // send time, duration
  if (packetLength == 0 || packetLength > packetSize) packetLength = static_cast<std::uint32_t>(packetSize);
  if (padding > packetLength) return false;
  const std::size_t end = packetLength - padding;
  const bool multiple = (lengthTypes & 1) != 0;
  unsigned payloads = 1, payloadLengthType = 0;
  if (multiple) {
    if (pos >= end) return false;
    payloads = p[pos] & 0x3F;
    payloadLengthType = p[pos] >> 6;
    ++pos;
  }
  for (unsigned k = 0; k < payloads; ++k) {
    if (pos >= end) return false;
    const std::uint8_t stream = p[pos++] & 0x7F;
    std::uint32_t object = 0, offset = 0, replicated = 0;
    if (!ReadVar(p, end, pos, properties >> 4, &object) || !ReadVar(p, end, pos, properties >> 2, &offset) ||
        !ReadVar(p, end, pos, properties, &replicated)) {
      return false;
    }
    if (pos + replicated > end) return false;
    std::uint32_t presMs = 0, delta = 0;
    const bool compressed = replicated == 1;
    if (replicated >= 8) {
      presMs = Get32(p + pos + 4);  // after the object's size
    } else if (compressed) {
      presMs = offset;
      delta = p[pos];
    } else if (replicated != 0) {
      return false;
    }
    pos += replicated;
    std::uint32_t length = 0;
    if (multiple) {
      if (!ReadVar(p, end, pos, payloadLengthType, &length)) return false;
    } else {
      length = static_cast<std::uint32_t>(end - pos);
    }
    if (pos + length > end) return false;
    if (stream == index.Stream()) {
      if (compressed) {
        // Sub-payloads: a size byte, then a whole object each.
        std::size_t sub = pos;
        for (std::uint32_t t = presMs; sub < pos + length; t += delta) {
          const std::size_t subSize = p[sub];
          if (sub + 1 + subSize > pos + length) return false;
          index.Fragment(number, t, 0);
          sub += 1 + subSize;
        }
      } else if (replicated == 0) {
        return false;  // no time to index by
      } else {
        index.Fragment(number, presMs, offset);
      }
    }
    pos += length;
  }
  return true;
}

struct Layout {
  std::vector<std::uint8_t> header;  // the whole Header Object
  std::size_t fileProperties = 0;    // its offset in `header`
  std::uint32_t packetSize = 0;
  std::uint64_t packets = 0;
  std::uint64_t dataStart = 0;       // of the Data Object
  std::uint64_t dataEnd = 0;
  std::uint8_t audioStream = 0;
  // Top-level objects after the Data Object that stay: [offset, size).
  std::vector<std::pair<std::uint64_t, std::uint64_t>> trailing;
};

HRESULT ReadLayout(int fd, std::uint64_t fileSize, Layout& l) {
  std::uint8_t top[kHeaderObjectFixed];
  if (fileSize < kHeaderObjectFixed || !ReadAt(fd, 0, top, sizeof top) || !Is(top, kHeaderObject)) return E_FAIL;
  const std::uint64_t headerSize = Get64(top + 16);
  if (headerSize < kHeaderObjectFixed || headerSize > kMaxHeader || headerSize + kDataObjectFixed > fileSize) {
    return E_FAIL;
  }
  l.header.resize(static_cast<std::size_t>(headerSize));
  if (!ReadAt(fd, 0, l.header.data(), l.header.size())) return E_FAIL;

  bool haveProperties = false;
  for (std::uint64_t at = kHeaderObjectFixed; at + kObjectHeader <= headerSize;) {
    const std::uint8_t* o = l.header.data() + at;
    const std::uint64_t size = Get64(o + 16);
    if (size < kObjectHeader || size > headerSize - at) return E_FAIL;
    if (Is(o, kFilePropertiesObject) && size >= kFpSize) {
      l.fileProperties = static_cast<std::size_t>(at);
      haveProperties = true;
    } else if (Is(o, kStreamPropertiesObject) && size >= 74 && Is(o + 24, kAudioMedia) && l.audioStream == 0) {
      l.audioStream = static_cast<std::uint8_t>(Get16(o + 72) & 0x7F);
    }
    at += size;
  }
  if (!haveProperties || l.audioStream == 0) return E_FAIL;
  const std::uint8_t* fp = l.header.data() + l.fileProperties;
  l.packetSize = Get32(fp + kFpMaxPacket);
  // Only files of one fixed packet size can be indexed by packet number.
  if (l.packetSize == 0 || Get32(fp + kFpMinPacket) != l.packetSize) return E_FAIL;

  std::uint8_t data[kDataObjectFixed];
  l.dataStart = headerSize;
  if (!ReadAt(fd, l.dataStart, data, sizeof data) || !Is(data, kDataObject)) return E_FAIL;
  const std::uint64_t dataSize = Get64(data + 16);
  const std::uint64_t room = (fileSize - l.dataStart - kDataObjectFixed) / l.packetSize;
  l.packets = Get64(data + 40);
  // A file written without knowing its end says 0 (or too much): take
  // what the file holds.
  if (l.packets == 0 || l.packets > room) l.packets = room;
  if (l.packets > std::numeric_limits<std::uint32_t>::max()) return E_FAIL;
  l.dataEnd = l.dataStart + kDataObjectFixed + l.packets * l.packetSize;
  if (dataSize >= kDataObjectFixed && l.dataStart + dataSize <= fileSize && l.dataStart + dataSize > l.dataEnd) {
    l.dataEnd = l.dataStart + dataSize;
  }

  // The objects after the data: an old simple index is dropped.
  for (std::uint64_t at = l.dataEnd; at + kObjectHeader <= fileSize;) {
    std::uint8_t o[kObjectHeader];
    if (!ReadAt(fd, at, o, sizeof o)) return E_FAIL;
    const std::uint64_t size = Get64(o + 16);
    if (size < kObjectHeader || size > fileSize - at) break;  // trailing bytes that are no object
    if (!Is(o, kSimpleIndexObject)) l.trailing.emplace_back(at, size);
    at += size;
  }
  return S_OK;
}

class TempFile {
 public:
  explicit TempFile(std::string path) : m_path(std::move(path)) {}
  ~TempFile() {
    m_fd.Reset();
    if (!m_path.empty()) ::unlink(m_path.c_str());
  }
  bool Create() {
    ::unlink(m_path.c_str());
    m_fd.Reset(::open(m_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    return static_cast<bool>(m_fd);
  }
  int Fd() const { return m_fd.Get(); }
  bool Close() {
    const bool synced = ::fsync(m_fd.Get()) == 0;
    return ::close(m_fd.Release()) == 0 && synced;
  }
  const std::string& Path() const { return m_path; }
  void Keep() { m_path.clear(); }  // renamed away

 private:
  std::string m_path;
  UniqueFd m_fd;
};

}  // namespace

HRESULT IndexAsfFile(const std::string& path, const AsfIndexHooks& hooks) {
  int lastPercent = -1;
  bool stopped = false;
  auto report = [&](int percent) {
    if (percent == lastPercent || !hooks.progress) return true;
    lastPercent = percent;
    stopped = !hooks.progress(percent);
    return !stopped;
  };

  UniqueFd in(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!in) return E_FAIL;
  struct stat st {};
  if (::fstat(in.Get(), &st) != 0 || !S_ISREG(st.st_mode)) return E_FAIL;
  const auto fileSize = static_cast<std::uint64_t>(st.st_size);
  Layout l;
  HRESULT hr = ReadLayout(in.Get(), fileSize, l);
  if (FAILED(hr)) return hr;
  if (!report(0)) return E_UNEXPECTED;

  // The packets, in blocks; 80 % of the progress.
  IndexBuilder builder(l.audioStream);
  {
    const std::size_t perBlock = std::max<std::size_t>(1, (1u << 20) / l.packetSize);
    std::vector<std::uint8_t> block(perBlock * l.packetSize);
    const std::uint64_t first = l.dataStart + kDataObjectFixed;
    for (std::uint64_t n = 0; n < l.packets;) {
      const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(perBlock, l.packets - n));
      if (!ReadAt(in.Get(), first + n * l.packetSize, block.data(), count * l.packetSize)) return E_FAIL;
      for (std::size_t k = 0; k < count; ++k) {
        if (!ParsePacket(block.data() + k * l.packetSize, l.packetSize, static_cast<std::uint32_t>(n + k), builder)) {
          return E_FAIL;
        }
      }
      n += count;
      if (!report(static_cast<int>(n * 80 / l.packets))) return E_UNEXPECTED;
    }
  }
  std::uint16_t maxCount = 0;
  const std::vector<Entry> entries = builder.Finish(&maxCount);
  if (entries.size() > (std::numeric_limits<std::uint32_t>::max() - 56) / 6) return E_FAIL;

  std::vector<std::uint8_t> index;
  index.insert(index.end(), std::begin(kSimpleIndexObject), std::end(kSimpleIndexObject));
  Put64(index, 56 + 6 * static_cast<std::uint64_t>(entries.size()));
  const std::uint8_t* fileId = l.header.data() + l.fileProperties + kFpFileId;
  index.insert(index.end(), fileId, fileId + 16);
  Put64(index, kIndexIntervalHns);
  Put32(index, maxCount);
  Put32(index, static_cast<std::uint32_t>(entries.size()));
  for (const Entry& e : entries) {
    Put32(index, e.packet);
    Put16(index, e.count);
  }

  std::uint64_t total = l.dataEnd + index.size();
  for (const auto& [at, size] : l.trailing) total += size;
  std::uint8_t* fp = l.header.data() + l.fileProperties;
  Set64(fp + kFpFileSize, total);
  Set64(fp + kFpPackets, l.packets);
  Set32(fp + kFpFlags, (Get32(fp + kFpFlags) | kFlagSeekable) & ~kFlagBroadcast);

  // The new file: 80 .. 100 %.
  TempFile temp(path + ".index.tmp");
  if (!temp.Create()) return E_FAIL;
  const std::uint64_t body = l.dataEnd - l.dataStart;
  auto step = [&](std::uint64_t done) { return report(80 + static_cast<int>(done * 19 / std::max<std::uint64_t>(body, 1))); };
  bool ok = WriteAll(temp.Fd(), l.header.data(), l.header.size()) &&
            CopyRange(in.Get(), temp.Fd(), l.dataStart, body, step);
  for (const auto& [at, size] : l.trailing) {
    ok = ok && CopyRange(in.Get(), temp.Fd(), at, size, [](std::uint64_t) { return true; });
  }
  ok = ok && WriteAll(temp.Fd(), index.data(), index.size());
  ok = temp.Close() && ok;
  if (!ok) return stopped ? E_UNEXPECTED : E_FAIL;
  in.Reset();

  const bool replaced = hooks.replace ? hooks.replace(temp.Path(), path)
                                      : ::rename(temp.Path().c_str(), path.c_str()) == 0;
  if (!replaced) return E_FAIL;
  temp.Keep();
  // Should the folder not reach the disk, a crash leaves the file as it was
  // before indexing: whole, only without its index.
  static_cast<void>(SyncFolderOf(path));
  report(100);
  return S_OK;
}

}  // namespace mivo::platform::wm
