#include "wav_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstring>

namespace gogo {
namespace {

constexpr std::uint16_t kFormatPcm = 0x0001;
constexpr std::uint16_t kFormatExtensible = 0xFFFE;
// The tail of the KSDATAFORMAT_SUBTYPE_PCM GUID, after its first two bytes.
constexpr unsigned char kPcmGuidTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                            0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

std::uint16_t Le16(const unsigned char* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
std::uint32_t Le32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

bool ReadExact(std::FILE* f, void* buffer, std::size_t size) {
  return std::fread(buffer, 1, size, f) == size;
}

// The error of a failed read: the system's when the stream saw one, none
// when the file simply ended.
int ReadError(std::FILE* f) { return std::ferror(f) ? errno : 0; }

}  // namespace

bool WavReader::Fail(const char* why, int error) {
  m_strWhy = why;
  m_nError = error;
  m_file.reset();
  return false;
}

bool WavReader::Open(const std::string& path) {
  m_nError = 0;
  // Opened without blocking and refused unless it is a regular file: a
  // FIFO or a device would hold the open or the reads for ever.
  int fd = -1;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return Fail("the input file cannot be opened", errno);
  struct stat st{};
  if (::fstat(fd, &st) != 0) {
    const int error = errno;
    ::close(fd);
    return Fail("the input file cannot be examined", error);
  }
  const int flags = S_ISREG(st.st_mode) ? ::fcntl(fd, F_GETFL) : -1;
  if (!S_ISREG(st.st_mode) || flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    ::close(fd);
    return Fail("the input is not a regular file");
  }
  m_file.reset(::fdopen(fd, "rb"));
  if (!m_file) {
    const int error = errno;
    ::close(fd);
    return Fail("the input file cannot be opened", error);
  }
  std::FILE* f = m_file.get();
  const auto fileSize = static_cast<std::uint64_t>(st.st_size);
  // Large reads: the frame loop asks for a few kilobytes at a time.
  if (std::setvbuf(f, nullptr, _IOFBF, 1 << 16) != 0) return Fail("no memory for the input buffer", ENOMEM);

  unsigned char riff[12];
  if (!ReadExact(f, riff, sizeof riff)) return Fail("the input is too short for a WAVE header", ReadError(f));
  if (std::memcmp(riff, "RIFF", 4) != 0 || std::memcmp(riff + 8, "WAVE", 4) != 0) {
    return Fail("the input is not a RIFF/WAVE file");
  }
  // The RIFF size is otherwise not used: a file still being written holds 0.
  const std::uint32_t riffSize = Le32(riff + 4);
  std::uint64_t pos = 12;
  bool haveFormat = false;
  int blockAlign = 0;
  for (;;) {
    unsigned char head[8];
    if (!ReadExact(f, head, sizeof head)) {
      return Fail(haveFormat ? "the input has no data chunk" : "the input has no fmt chunk", ReadError(f));
    }
    pos += 8;
    const std::uint32_t size = Le32(head + 4);
    if (std::memcmp(head, "fmt ", 4) == 0) {
      if (size < 16) return Fail("the fmt chunk of the input is too short");
      unsigned char fmt[40] = {};
      const std::uint32_t take = size < sizeof fmt ? size : static_cast<std::uint32_t>(sizeof fmt);
      if (!ReadExact(f, fmt, take)) return Fail("the fmt chunk of the input is cut short", ReadError(f));
      std::uint16_t tag = Le16(fmt);
      if (tag == kFormatExtensible) {
        if (take < 40 || Le16(fmt + 24) != kFormatPcm ||
            std::memcmp(fmt + 26, kPcmGuidTail, sizeof kPcmGuidTail) != 0) {
          return Fail("the input is not PCM");
        }
        tag = kFormatPcm;
      }
      if (tag != kFormatPcm) return Fail("the input is not PCM");
      m_nChannels = Le16(fmt + 2);
      m_nSampleRate = static_cast<int>(Le32(fmt + 4));
      blockAlign = Le16(fmt + 12);
      const int bits = Le16(fmt + 14);
      if (bits != 16) return Fail("the input is not 16-bit PCM");
      if (m_nChannels < 1 || m_nChannels > 2) return Fail("the input has neither one nor two channels");
      if (m_nSampleRate <= 0 || m_nSampleRate > 1000000) return Fail("the input's sample rate is invalid");
      if (blockAlign != 2 * m_nChannels) return Fail("the input's block alignment does not match its format");
      haveFormat = true;
      const std::uint64_t skip = static_cast<std::uint64_t>(size - take) + (size & 1u);
      if (skip != 0 && ::fseeko(f, static_cast<off_t>(skip), SEEK_CUR) != 0) {
        return Fail("the input cannot be read", errno);
      }
      pos += size + (size & 1u);
    } else if (std::memcmp(head, "data", 4) == 0) {
      if (!haveFormat) return Fail("the input's data chunk comes before its fmt chunk");
      // A size beyond the end of the file (a file cut short) is read up to
      // the end of the file; so is a file whose sizes were never patched
      // (RIFF and data sizes both 0, as while it was being recorded), so
      // that its samples are not taken for silence.
      const std::uint64_t available = fileSize > pos ? fileSize - pos : 0;
      const bool unpatched = size == 0 && riffSize == 0;
      const std::uint64_t bytes = unpatched || size > available ? available : size;
      m_nFrames = bytes / static_cast<std::uint64_t>(blockAlign);
      m_nFramesRead = 0;
      // Nothing to encode: an MP3 of no frames is no file a player takes.
      if (m_nFrames == 0) return Fail("the input holds no samples");
      return true;
    } else {
      const std::uint64_t skip = static_cast<std::uint64_t>(size) + (size & 1u);
      if (::fseeko(f, static_cast<off_t>(skip), SEEK_CUR) != 0) return Fail("the input cannot be read", errno);
      pos += skip;
    }
  }
}

std::size_t WavReader::Read(std::int16_t* out, std::size_t frames) {
  if (!m_file || m_bFailed) return 0;
  const std::uint64_t left = FramesLeft();
  if (frames > left) frames = static_cast<std::size_t>(left);
  if (frames == 0) return 0;
  const std::size_t samples = frames * static_cast<std::size_t>(m_nChannels);
  const std::size_t got = std::fread(out, sizeof(std::int16_t), samples, m_file.get());
  if (got != samples) {
    // The data chunk was measured against the file's size at open: a short
    // read is a read error or a file shrinking under us.
    m_bFailed = true;
    m_strWhy = "the input cannot be read";
    m_nError = ReadError(m_file.get());
    return 0;
  }
  if constexpr (std::endian::native == std::endian::big) {
    for (std::size_t i = 0; i < samples; ++i) {
      const auto u = static_cast<std::uint16_t>(out[i]);
      out[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>((u >> 8) | (u << 8)));
    }
  }
  m_nFramesRead += frames;
  return frames;
}

}  // namespace gogo
