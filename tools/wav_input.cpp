#include "wav_input.h"

#include "platform/wavein/riff_wave.h"

namespace mivo {
namespace {

// Plain PCM only: the track header the passes read has no room for more.
bool FormatSizeTaken(std::uint32_t bytes) { return bytes == 16 || bytes == 18; }

}  // namespace

std::optional<std::string> Inspect(int fd, std::uint64_t fileSize, WavInput& in) {
  platform::RiffWave w;
  switch (platform::ReadRiffWave(fd, fileSize, FormatSizeTaken, &w)) {
    case platform::RiffWaveFault::None: break;
    case platform::RiffWaveFault::NoHeader: return "not a WAV file (too short for a RIFF header)";
    case platform::RiffWaveFault::NotRiffWave: return "not a WAV file (no RIFF/WAVE header)";
    case platform::RiffWaveFault::FormatSize:
      return "format chunk of " + std::to_string(w.formatBytes) + " bytes (only 16 or 18, plain PCM, is taken)";
    case platform::RiffWaveFault::FormatCut: return "truncated format chunk";
    case platform::RiffWaveFault::DataBeforeFormat: return "data chunk before the format chunk";
    case platform::RiffWaveFault::NoData:
      return w.formatBytes == 0 ? "no format chunk (truncated header?)" : "no data chunk (truncated header?)";
    case platform::RiffWaveFault::ReadFailed: return "cannot read the file";
  }
  in.formatTag = w.FormatTag();
  in.channels = w.Channels();
  in.rate = w.Rate();
  in.byteRate = w.ByteRate();
  in.blockAlign = w.BlockAlign();
  in.bits = w.Bits();
  in.headerShortening = w.formatBytes == 16 ? 2 : 0;
  in.dataOffset = w.dataOffset;
  in.dataSize = w.dataSize;
  if (w.formatBytes == 18 && w.ExtraBytes() != 0) return "format chunk with extra format bytes";
  const std::uint64_t body = w.dataOffset;
  if (body + in.dataSize > fileSize) {
    return "truncated: the data chunk says " + std::to_string(in.dataSize) + " bytes, the file holds " +
           std::to_string(fileSize - body);
  }
  if (in.dataSize == 0 && body < fileSize) return "data chunk size 0 with audio after it (an unfinished file)";
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
