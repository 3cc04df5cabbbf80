#include "platform/wavein/riff_wave.h"

#include <cstring>

#include "platform/process/file_io.h"

namespace mivo::platform {

RiffWaveFault ReadRiffWave(int fd, std::uint64_t fileSize, bool (*formatSizeOk)(std::uint32_t bytes),
                           RiffWave* wave) {
  *wave = RiffWave{};
  unsigned char riff[12];
  if (fileSize < 12 || !ReadAt(fd, 0, riff, sizeof riff)) {
    wave->riffTag = fileSize >= 4 && ReadAt(fd, 0, riff, 4) && std::memcmp(riff, "RIFF", 4) == 0;
    return RiffWaveFault::NoHeader;
  }
  wave->riffTag = std::memcmp(riff, "RIFF", 4) == 0;
  if (!wave->riffTag || std::memcmp(riff + 8, "WAVE", 4) != 0) return RiffWaveFault::NotRiffWave;

  std::uint64_t offset = 12;
  for (;;) {
    unsigned char hdr[8];
    if (offset + 8 > fileSize) return RiffWaveFault::NoData;
    if (!ReadAt(fd, offset, hdr, sizeof hdr)) return RiffWaveFault::ReadFailed;
    const std::uint32_t size = static_cast<std::uint32_t>(hdr[4]) | (static_cast<std::uint32_t>(hdr[5]) << 8) |
                               (static_cast<std::uint32_t>(hdr[6]) << 16) | (static_cast<std::uint32_t>(hdr[7]) << 24);
    const std::uint64_t body = offset + 8;
    if (std::memcmp(hdr, "fmt ", 4) == 0) {
      if (size > sizeof wave->format || !formatSizeOk(size)) {
        wave->formatBytes = size;
        return RiffWaveFault::FormatSize;
      }
      std::memset(wave->format, 0, sizeof wave->format);
      if (body + size > fileSize || !ReadAt(fd, body, wave->format, size)) return RiffWaveFault::FormatCut;
      wave->formatBytes = size;
    } else if (std::memcmp(hdr, "data", 4) == 0) {
      if (wave->formatBytes == 0) return RiffWaveFault::DataBeforeFormat;
      wave->dataOffset = body;
      wave->dataSize = size;
      return RiffWaveFault::None;
    }
    offset = body + size + (size & 1u);
  }
}

}  // namespace mivo::platform
