#include "platform/wavein/wav_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/process/file_io.h"
#include "platform/process/regular_file.h"
#include "platform/process/unique_fd.h"

namespace mivo::platform {
namespace {

constexpr std::uint16_t kFormatPcm = 0x0001;
constexpr std::uint16_t kFormatExtensible = 0xFFFE;
// KSDATAFORMAT_SUBTYPE_PCM: {00000001-0000-0010-8000-00AA00389B71}
constexpr unsigned char kSubtypePcm[16] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                           0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
// A data chunk of this size runs to the end of the file (written while streaming).
constexpr std::uint32_t kSizeUnknown = 0xFFFFFFFFu;

std::uint16_t Le16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t Le32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::optional<WavFileInfo> Fail(std::string* error, const std::string& path, const std::string& why) {
  if (error != nullptr) *error = "input file " + path + ": " + why;
  return std::nullopt;
}

}  // namespace

std::optional<WavFileInfo> ReadWavFileInfo(const std::string& path, std::string* error) {
  // A FIFO or device would block the open or the reads for ever.
  std::string why;
  UniqueFd fd = OpenRegularFile(path, &why);
  if (!fd) return Fail(error, path, why);
  struct stat st {};
  if (::fstat(fd.Get(), &st) != 0) return Fail(error, path, std::strerror(errno));
  const auto fileSize = static_cast<std::uint64_t>(st.st_size);

  unsigned char riff[12];
  if (fileSize < 12 || !ReadAt(fd.Get(), 0, riff, sizeof riff)) {
    if (fileSize >= 4 && ReadAt(fd.Get(), 0, riff, 4) && std::memcmp(riff, "RIFF", 4) == 0) {
      return Fail(error, path, "the WAV header is cut short");
    }
    return Fail(error, path, "not a RIFF/WAVE file");
  }
  if (std::memcmp(riff, "RIFF", 4) != 0 || std::memcmp(riff + 8, "WAVE", 4) != 0) {
    return Fail(error, path, "not a RIFF/WAVE file");
  }

  WavFileInfo info;
  info.path = path;
  bool haveFormat = false;
  std::uint64_t offset = 12;
  for (;;) {
    unsigned char hdr[8];
    if (offset + 8 > fileSize || !ReadAt(fd.Get(), offset, hdr, sizeof hdr)) {
      return Fail(error, path,
                  haveFormat ? "the file ends before its data chunk (cut short)"
                             : "the WAV header is cut short (no fmt chunk)");
    }
    const std::uint32_t size = Le32(hdr + 4);
    const std::uint64_t body = offset + 8;
    if (std::memcmp(hdr, "fmt ", 4) == 0) {
      if (size != 16 && size != 18 && size != 40) {
        return Fail(error, path, "a fmt chunk of " + std::to_string(size) +
                                     " bytes is not supported (16, 18 or 40)");
      }
      unsigned char fmt[40];
      if (body + size > fileSize || !ReadAt(fd.Get(), body, fmt, size)) {
        return Fail(error, path, "the WAV header is cut short (in the fmt chunk)");
      }
      const std::uint16_t tag = Le16(fmt);
      const std::uint16_t channels = Le16(fmt + 2);
      const std::uint32_t rate = Le32(fmt + 4);
      const std::uint16_t blockAlign = Le16(fmt + 12);
      const std::uint16_t bits = Le16(fmt + 14);
      bool pcm = tag == kFormatPcm;
      if (tag == kFormatExtensible) {
        pcm = size == 40 && Le16(fmt + 16) >= 22 && std::memcmp(fmt + 24, kSubtypePcm, 16) == 0;
        if (pcm && Le16(fmt + 18) != 0 && Le16(fmt + 18) != 16) {
          return Fail(error, path, std::to_string(Le16(fmt + 18)) +
                                       " valid bits per sample; only 16-bit PCM input is supported");
        }
      }
      if (!pcm) {
        return Fail(error, path, "not PCM (format tag " + std::to_string(tag) +
                                     "); only 16-bit PCM input is supported");
      }
      if (bits != 16) {
        return Fail(error, path, std::to_string(bits) +
                                     "-bit samples; only 16-bit PCM input is supported");
      }
      if (channels != 1 && channels != 2) {
        return Fail(error, path, std::to_string(channels) + " channels; mono or stereo input only");
      }
      if (rate == 0 || blockAlign != channels * 2) {
        return Fail(error, path, "the fmt chunk is inconsistent (rate " + std::to_string(rate) +
                                     ", block align " + std::to_string(blockAlign) + ")");
      }
      info.channels = channels;
      info.rate = rate;
      info.blockAlign = blockAlign;
      std::memcpy(info.format, fmt, size);
      info.formatBytes = static_cast<std::uint16_t>(size);
      haveFormat = true;
    } else if (std::memcmp(hdr, "data", 4) == 0) {
      if (!haveFormat) return Fail(error, path, "the data chunk comes before the fmt chunk");
      std::uint64_t bytes = size;
      if (size == kSizeUnknown) {
        bytes = fileSize - body;
      } else if (body + bytes > fileSize) {
        return Fail(error, path, "cut short: the data chunk says " + std::to_string(bytes) +
                                     " bytes, the file holds " + std::to_string(fileSize - body));
      }
      info.dataOffset = body;
      info.dataBytes = bytes - bytes % info.blockAlign;
      return info;
    }
    // Chunks are padded to an even size.
    offset = body + size + (size & 1u);
  }
}

}  // namespace mivo::platform
