// The one reader of RIFF/WAVE files given as input (--input-file, the WMA
// encoder's source, mivo-convert): it walks the chunks up to the data
// chunk and keeps the last format chunk before it. It checks the file's
// structure only; what each caller can use of the format, and what it says
// about a file it cannot use, is its own.
#pragma once

#include <cstdint>

namespace mivo::platform {

struct RiffWave {
  bool riffTag = false;           // the file begins with "RIFF"
  std::uint32_t formatBytes = 0;  // size of the "fmt " chunk; 0: none yet
  std::uint8_t format[40] = {};   // the chunk as it is in the file
  std::uint64_t dataOffset = 0;   // of the data chunk's first byte
  std::uint32_t dataSize = 0;     // as the data chunk states it

  // Fields of the format chunk (WAVEFORMATEX).
  std::uint16_t FormatTag() const { return Le16(0); }
  std::uint16_t Channels() const { return Le16(2); }
  std::uint32_t Rate() const { return Le32(4); }
  std::uint32_t ByteRate() const { return Le32(8); }
  std::uint16_t BlockAlign() const { return Le16(12); }
  std::uint16_t Bits() const { return Le16(14); }
  std::uint16_t ExtraBytes() const { return Le16(16); }  // cbSize, 0 in a 16-byte chunk

  std::uint16_t Le16(unsigned at) const {
    return static_cast<std::uint16_t>(format[at] | (format[at + 1] << 8));
  }
  std::uint32_t Le32(unsigned at) const { return Le16(at) | (static_cast<std::uint32_t>(Le16(at + 2)) << 16); }
};

enum class RiffWaveFault {
  None,
  NoHeader,          // shorter than the 12 bytes of the RIFF header
  NotRiffWave,       // no "RIFF" .... "WAVE"
  FormatSize,        // a "fmt " chunk of a size the caller does not take (formatBytes)
  FormatCut,         // the file ends inside the "fmt " chunk
  DataBeforeFormat,  // a data chunk before any "fmt " chunk
  NoData,            // the chunks end before a data chunk (formatBytes: whether a "fmt " came)
  ReadFailed,        // the system refused a read
};

// Reads the open file of `fileSize` bytes up to its data chunk. Chunks it
// does not know are skipped (they are padded to an even size).
// `formatSizeOk` tells the sizes of "fmt " chunk the caller takes; more
// than 40 bytes are never taken.
RiffWaveFault ReadRiffWave(int fd, std::uint64_t fileSize, bool (*formatSizeOk)(std::uint32_t bytes),
                           RiffWave* wave);

}  // namespace mivo::platform
