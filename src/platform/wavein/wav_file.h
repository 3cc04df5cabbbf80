// The RIFF/WAVE header of a file given as input (--input-file): where its
// 16-bit PCM samples lie and in what format.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace mivo::platform {

struct WavFileInfo {
  std::string path;
  std::uint16_t channels = 0;  // 1 or 2
  std::uint32_t rate = 0;
  std::uint16_t blockAlign = 0;  // channels * 2
  std::uint64_t dataOffset = 0;  // of the first sample in the file
  std::uint64_t dataBytes = 0;   // whole frames only
  std::uint8_t format[40] = {};  // the "fmt " chunk as it is in the file
  std::uint16_t formatBytes = 0; // 16, 18 or 40
};

// Reads the chunks of `path`: a "fmt " chunk of 16, 18 or 40 bytes (PCM, or
// WAVE_FORMAT_EXTENSIBLE with the PCM subformat), 16 bits, 1 or 2 channels;
// chunks it does not know are skipped; the "data" chunk must be there whole.
// nullopt with a one-line reason in *error when the file cannot be used.
std::optional<WavFileInfo> ReadWavFileInfo(const std::string& path, std::string* error);

}  // namespace mivo::platform
