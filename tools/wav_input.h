// mivo-convert's input: the RIFF chunks of a WAV file (platform's reader),
// checked for what the recorder's passes can read (16-bit stereo PCM, a 16-
// or 18-byte format chunk, at least one frame).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace mivo {

struct WavInput {
  std::uint16_t formatTag = 0, channels = 0, blockAlign = 0, bits = 0;
  std::uint32_t rate = 0, byteRate = 0;
  int headerShortening = 0;  // from the format chunk's size
  std::uint64_t dataOffset = 0;
  std::uint32_t dataSize = 0;
};

// Fills `in` from the open file of `fileSize` bytes. The reason the file
// cannot be processed, or nothing.
std::optional<std::string> Inspect(int fd, std::uint64_t fileSize, WavInput& in);

}  // namespace mivo
