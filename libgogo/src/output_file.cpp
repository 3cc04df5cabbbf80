#include "output_file.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace gogo {
namespace {

constexpr std::uint16_t kFormatMpegLayer3 = 0x0055;
constexpr std::uint16_t kMpegLayer3IdMpeg = 1;
constexpr std::uint32_t kMpegLayer3PaddingIso = 0;
// Samples a layer III decoder adds before the first one it was given.
constexpr int kDecoderDelay = 529;

constexpr std::size_t kWavHeaderSize = 70;
constexpr std::size_t kRmpHeaderSize = 20;
// Offsets of the fields that are completed at the end.
constexpr std::size_t kRiffSizeAt = 4;
constexpr std::size_t kWavAvgBytesAt = 28;
constexpr std::size_t kWavBlockSizeAt = 44;
constexpr std::size_t kWavFactSamplesAt = 58;
constexpr std::size_t kWavDataSizeAt = 66;
constexpr std::size_t kRmpDataSizeAt = 16;

void Put16(unsigned char* p, std::uint32_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}
void Put32(unsigned char* p, std::uint32_t v) {
  Put16(p, v & 0xFFFF);
  Put16(p + 2, v >> 16);
}

std::uint32_t RandomWord() {
  std::uint32_t value = 0;
  if (::getrandom(&value, sizeof value, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof value)) return value;
  // No entropy yet (early boot): the name only has to be unlikely to exist,
  // and O_EXCL catches the rest.
  timespec ts{};
  static_cast<void>(::clock_gettime(CLOCK_MONOTONIC, &ts));
  return static_cast<std::uint32_t>(ts.tv_nsec) ^ static_cast<std::uint32_t>(::getpid()) ^
         static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(&value));
}

std::uint16_t Clamp16(std::uint64_t v) {
  return static_cast<std::uint16_t>(v > 0xFFFF ? 0xFFFF : v);
}

}  // namespace

bool OutputFile::Fail(const char* why, int error) {
  if (m_strWhy.empty()) {
    m_strWhy = why;
    m_nError = error;
  }
  Abandon();
  return false;
}

bool OutputFile::Create(const std::string& path, Container container, const StreamInfo& info) {
  Abandon();
  m_strWhy.clear();
  m_nError = 0;
  m_strPath = path;
  m_container = container;
  m_info = info;
  m_nStreamBytes = 0;

  // A name beside the output, so that the final rename stays on one file
  // system and replaces the output in one step. Mode 0666 lets the umask
  // decide, as for any new file.
  int fd = -1;
  for (int attempt = 0; attempt < 32 && fd < 0; ++attempt) {
    char suffix[24];
    std::snprintf(suffix, sizeof suffix, ".part-%08x", static_cast<unsigned>(RandomWord()));
    m_strTempPath = path + suffix;
    fd = ::open(m_strTempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    const int error = errno;
    m_strTempPath.clear();
    return Fail("the output file cannot be created", error);
  }
  m_file.reset(::fdopen(fd, "wb"));
  if (!m_file) {
    const int error = errno;
    static_cast<void>(::close(fd));
    return Fail("the output file cannot be created", error);
  }
  if (std::setvbuf(m_file.get(), nullptr, _IOFBF, 1 << 16) != 0) return Fail("no memory for the output buffer", ENOMEM);

  unsigned char header[kWavHeaderSize] = {};
  std::size_t headerSize = 0;
  switch (container) {
    case Container::Mp3:
      break;
    case Container::Rmp:
      std::memcpy(header, "RIFF", 4);
      std::memcpy(header + 8, "RMP3", 4);
      std::memcpy(header + 12, "data", 4);
      headerSize = kRmpHeaderSize;
      break;
    case Container::Wav: {
      std::memcpy(header, "RIFF", 4);
      std::memcpy(header + 8, "WAVE", 4);
      std::memcpy(header + 12, "fmt ", 4);
      Put32(header + 16, 30);
      Put16(header + 20, kFormatMpegLayer3);
      Put16(header + 22, static_cast<std::uint32_t>(info.channels));
      Put32(header + 24, static_cast<std::uint32_t>(info.sampleRate));
      Put32(header + kWavAvgBytesAt, static_cast<std::uint32_t>(info.bitrateKbps) * 125u);
      Put16(header + 32, 1);   // block alignment
      Put16(header + 34, 0);   // bits per sample
      Put16(header + 36, 12);  // size of the layer 3 fields that follow
      Put16(header + 38, kMpegLayer3IdMpeg);
      Put32(header + 40, kMpegLayer3PaddingIso);
      const std::uint64_t blockSize =
          info.sampleRate > 0 ? static_cast<std::uint64_t>(info.samplesPerFrame / 8) *
                                    static_cast<std::uint64_t>(info.bitrateKbps) * 1000u /
                                    static_cast<std::uint64_t>(info.sampleRate)
                              : 0;
      Put16(header + kWavBlockSizeAt, Clamp16(blockSize));
      Put16(header + 46, 1);  // frames per block
      Put16(header + 48, Clamp16(static_cast<std::uint64_t>(info.codecDelay + kDecoderDelay)));
      std::memcpy(header + 50, "fact", 4);
      Put32(header + 54, 4);
      std::memcpy(header + 62, "data", 4);
      headerSize = kWavHeaderSize;
      break;
    }
  }
  m_nStreamStart = headerSize;
  if (headerSize != 0 && std::fwrite(header, 1, headerSize, m_file.get()) != headerSize) {
    return Fail("the output file cannot be written", errno);
  }
  return true;
}

bool OutputFile::Write(const unsigned char* data, std::size_t size) {
  if (!m_file) return false;
  if (size == 0) return true;
  if (std::fwrite(data, 1, size, m_file.get()) != size) return Fail("the output file cannot be written", errno);
  m_nStreamBytes += size;
  return true;
}

bool OutputFile::WriteAt(std::uint64_t offset, const void* data, std::size_t size) {
  return ::fseeko(m_file.get(), static_cast<off_t>(offset), SEEK_SET) == 0 &&
         std::fwrite(data, 1, size, m_file.get()) == size;
}

bool OutputFile::PatchWavHeader(std::uint64_t samples, std::uint64_t frames) {
  unsigned char field[4];
  if (m_info.bitrateKbps == 0) {
    // Variable bit rate: the averages of the stream as written.
    const std::uint64_t avg =
        samples > 0 ? m_nStreamBytes * static_cast<std::uint64_t>(m_info.sampleRate) / samples : 0;
    Put32(field, static_cast<std::uint32_t>(avg > 0xFFFFFFFFu ? 0xFFFFFFFFu : avg));
    if (!WriteAt(kWavAvgBytesAt, field, 4)) return false;
    Put16(field, Clamp16(frames > 0 ? m_nStreamBytes / frames : 0));
    if (!WriteAt(kWavBlockSizeAt, field, 2)) return false;
  }
  Put32(field, static_cast<std::uint32_t>(samples > 0xFFFFFFFFu ? 0xFFFFFFFFu : samples));
  if (!WriteAt(kWavFactSamplesAt, field, 4)) return false;
  Put32(field, static_cast<std::uint32_t>(m_nStreamBytes));
  return WriteAt(kWavDataSizeAt, field, 4);
}

bool OutputFile::Finish(const unsigned char* tag, std::size_t tagSize, std::uint64_t samples,
                        std::uint64_t frames) {
  if (!m_file) return false;
  std::FILE* f = m_file.get();
  if (m_container != Container::Mp3) {
    // RIFF sizes are 32-bit; a chunk of odd size is followed by a pad byte.
    const std::uint64_t pad = m_nStreamBytes & 1u;
    const std::uint64_t riffSize = m_nStreamStart + m_nStreamBytes + pad - 8;
    if (riffSize > 0xFFFFFFFFu) return Fail("the output is too large for a RIFF file");
    if (pad != 0 && std::fputc(0, f) == EOF) return Fail("the output file cannot be written", errno);
    unsigned char field[4];
    Put32(field, static_cast<std::uint32_t>(riffSize));
    if (!WriteAt(kRiffSizeAt, field, 4)) return Fail("the output file cannot be written", errno);
    if (m_container == Container::Rmp) {
      Put32(field, static_cast<std::uint32_t>(m_nStreamBytes));
      if (!WriteAt(kRmpDataSizeAt, field, 4)) return Fail("the output file cannot be written", errno);
    } else if (!PatchWavHeader(samples, frames)) {
      return Fail("the output file cannot be written", errno);
    }
  }
  if (tagSize != 0) {
    if (tagSize > m_nStreamBytes || !WriteAt(m_nStreamStart, tag, tagSize)) {
      return Fail("the LAME tag cannot be written");
    }
  }
  if (std::fflush(f) != 0 || ::fsync(::fileno(f)) != 0) return Fail("the output file cannot be written", errno);
  if (!CloseChecked(m_file)) return Fail("the output file cannot be written", errno);
  if (std::rename(m_strTempPath.c_str(), m_strPath.c_str()) != 0) {
    return Fail("the output file cannot be put in place", errno);
  }
  m_strTempPath.clear();
  return true;
}

void OutputFile::Abandon() {
  m_file.reset();
  if (!m_strTempPath.empty()) {
    // Nothing more can be done when this fails; the name marks the file as
    // incomplete (".part-").
    static_cast<void>(std::remove(m_strTempPath.c_str()));
    m_strTempPath.clear();
  }
}

}  // namespace gogo
