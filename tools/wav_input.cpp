#include "wav_input.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "convert/track_rewrite.h"

namespace mivo {

bool ReadInputAt(int fd, std::uint64_t offset, void* data, std::size_t bytes) {
  auto* p = static_cast<std::uint8_t*>(data);
  while (bytes > 0) {
    const ssize_t n = ::pread(fd, p, bytes, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    offset += static_cast<std::uint64_t>(n);
    bytes -= static_cast<std::size_t>(n);
  }
  return true;
}

std::optional<std::string> Inspect(int fd, std::uint64_t fileSize, WavInput& in) {
  std::uint8_t riff[12];
  if (fileSize < 12 || !ReadInputAt(fd, 0, riff, 12)) return "not a WAV file (too short for a RIFF header)";
  if (std::memcmp(riff, "RIFF", 4) != 0 || std::memcmp(riff + 8, "WAVE", 4) != 0) {
    return "not a WAV file (no RIFF/WAVE header)";
  }
  bool haveFormat = false, haveData = false;
  std::uint64_t at = 12;
  while (at + 8 <= fileSize && !haveData) {
    std::uint8_t chunk[8];
    if (!ReadInputAt(fd, at, chunk, 8)) return "cannot read the file";
    const std::uint32_t size = GetLe32(chunk + 4);
    const std::uint64_t body = at + 8;
    if (std::memcmp(chunk, "fmt ", 4) == 0) {
      if (size != 16 && size != 18) {
        return "format chunk of " + std::to_string(size) + " bytes (only 16 or 18, plain PCM, is taken)";
      }
      std::uint8_t f[18] = {};
      if (body + size > fileSize || !ReadInputAt(fd, body, f, size)) return "truncated format chunk";
      in.formatTag = GetLe16(f);
      in.channels = GetLe16(f + 2);
      in.rate = GetLe32(f + 4);
      in.byteRate = GetLe32(f + 8);
      in.blockAlign = GetLe16(f + 12);
      in.bits = GetLe16(f + 14);
      if (size == 18 && GetLe16(f + 16) != 0) return "format chunk with extra format bytes";
      in.headerShortening = size == 16 ? 2 : 0;
      haveFormat = true;
    } else if (std::memcmp(chunk, "data", 4) == 0) {
      if (!haveFormat) return "data chunk before the format chunk";
      if (body + size > fileSize) {
        return "truncated: the data chunk says " + std::to_string(size) + " bytes, the file holds " +
               std::to_string(fileSize - body);
      }
      if (size == 0 && body < fileSize) return "data chunk size 0 with audio after it (an unfinished file)";
      in.dataOffset = body;
      in.dataSize = size;
      haveData = true;
    }
    at = body + size + (size & 1);  // chunks are padded to even sizes
  }
  if (!haveFormat) return "no format chunk (truncated header?)";
  if (!haveData) return "no data chunk (truncated header?)";
  if (in.formatTag != 1 || in.channels != 2 || in.bits != 16 || in.blockAlign != 4 ||
      in.byteRate != std::uint64_t{4} * in.rate) {
    return "not 16-bit stereo PCM (format " + std::to_string(in.formatTag) + ", " +
           std::to_string(in.channels) + " channels, " + std::to_string(in.bits) + " bits)";
  }
  if (in.dataSize % 4 != 0) return "the data chunk is not a whole number of frames";
  if (in.rate == 0) return "the sample rate is 0";
  if (in.dataSize == 0) return "no audio (the data chunk holds no frames)";
  return std::nullopt;
}

}  // namespace mivo
