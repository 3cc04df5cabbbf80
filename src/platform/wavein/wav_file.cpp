#include "platform/wavein/wav_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/process/regular_file.h"
#include "platform/process/unique_fd.h"
#include "platform/wavein/riff_wave.h"

namespace mivo::platform {
namespace {

constexpr std::uint16_t kFormatPcm = 0x0001;
constexpr std::uint16_t kFormatExtensible = 0xFFFE;
// KSDATAFORMAT_SUBTYPE_PCM: {00000001-0000-0010-8000-00AA00389B71}
constexpr unsigned char kSubtypePcm[16] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                           0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
// A data chunk of this size runs to the end of the file (written while streaming).
constexpr std::uint32_t kSizeUnknown = 0xFFFFFFFFu;

std::optional<WavFileInfo> Fail(std::string* error, const std::string& path, const std::string& why) {
  if (error != nullptr) *error = "input file " + path + ": " + why;
  return std::nullopt;
}

// PCM, WAVEFORMATEX or WAVE_FORMAT_EXTENSIBLE.
bool FormatSizeTaken(std::uint32_t bytes) { return bytes == 16 || bytes == 18 || bytes == 40; }

// Why the chunks cannot be used, or nothing.
std::optional<std::string> FaultText(RiffWaveFault fault, const RiffWave& w) {
  switch (fault) {
    case RiffWaveFault::None: return std::nullopt;
    case RiffWaveFault::NoHeader:
      return w.riffTag ? "the WAV header is cut short" : "not a RIFF/WAVE file";
    case RiffWaveFault::NotRiffWave: return "not a RIFF/WAVE file";
    case RiffWaveFault::FormatSize:
      return "a fmt chunk of " + std::to_string(w.formatBytes) + " bytes is not supported (16, 18 or 40)";
    case RiffWaveFault::FormatCut: return "the WAV header is cut short (in the fmt chunk)";
    case RiffWaveFault::DataBeforeFormat: return "the data chunk comes before the fmt chunk";
    case RiffWaveFault::NoData:
    case RiffWaveFault::ReadFailed:
      return w.formatBytes != 0 ? "the file ends before its data chunk (cut short)"
                                : "the WAV header is cut short (no fmt chunk)";
  }
  return "not a RIFF/WAVE file";
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

  RiffWave w;
  if (auto fault = FaultText(ReadRiffWave(fd.Get(), fileSize, FormatSizeTaken, &w), w)) {
    return Fail(error, path, *fault);
  }
  const std::uint16_t tag = w.FormatTag();
  const std::uint16_t channels = w.Channels();
  const std::uint32_t rate = w.Rate();
  const std::uint16_t blockAlign = w.BlockAlign();
  const std::uint16_t bits = w.Bits();
  bool pcm = tag == kFormatPcm;
  if (tag == kFormatExtensible) {
    pcm = w.formatBytes == 40 && w.ExtraBytes() >= 22 && std::memcmp(w.format + 24, kSubtypePcm, 16) == 0;
    if (pcm && w.Le16(18) != 0 && w.Le16(18) != 16) {
      return Fail(error, path, std::to_string(w.Le16(18)) + " valid bits per sample; only 16-bit PCM input is supported");
    }
  }
  if (!pcm) {
    return Fail(error, path, "not PCM (format tag " + std::to_string(tag) + "); only 16-bit PCM input is supported");
  }
  if (bits != 16) {
    return Fail(error, path, std::to_string(bits) + "-bit samples; only 16-bit PCM input is supported");
  }
  if (channels != 1 && channels != 2) {
    return Fail(error, path, std::to_string(channels) + " channels; mono or stereo input only");
  }
  if (rate == 0 || blockAlign != channels * 2) {
    return Fail(error, path, "the fmt chunk is inconsistent (rate " + std::to_string(rate) + ", block align " +
                                 std::to_string(blockAlign) + ")");
  }

  std::uint64_t bytes = w.dataSize;
  if (w.dataSize == kSizeUnknown) {
    bytes = fileSize - w.dataOffset;
  } else if (w.dataOffset + bytes > fileSize) {
    return Fail(error, path, "cut short: the data chunk says " + std::to_string(bytes) + " bytes, the file holds " +
                                 std::to_string(fileSize - w.dataOffset));
  }
  WavFileInfo info;
  info.path = path;
  info.channels = channels;
  info.rate = rate;
  info.blockAlign = blockAlign;
  std::memcpy(info.format, w.format, w.formatBytes);
  info.formatBytes = static_cast<std::uint16_t>(w.formatBytes);
  info.dataOffset = w.dataOffset;
  info.dataBytes = bytes - bytes % blockAlign;
  return info;
}

}  // namespace mivo::platform
