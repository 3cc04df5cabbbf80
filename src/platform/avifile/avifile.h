// The reading half of AVIFile, for WAV files: a file with one audio stream
// whose format, stream information and samples it hands out. Built on the
// project's RIFF/WAVE reader (16-bit PCM, mono or stereo).
#pragma once

#include <cstdint>

#include "platform/com/com.h"

namespace mivo::platform::avi {

using platform::HRESULT;

// Stream types.
inline constexpr std::uint32_t streamtypeAUDIO = 0x73647561;  // 'auds'
inline constexpr std::uint32_t OF_SHARE_DENY_WRITE = 0x40;
// AVIStreamRead with this many samples reads what fits into the buffer.
inline constexpr std::int32_t AVISTREAMREAD_CONVENIENT = -1;

struct AVISTREAMINFOA {
  std::uint32_t fccType;
  std::uint32_t fccHandler;
  std::uint32_t dwFlags;
  std::uint32_t dwCaps;
  std::uint16_t wPriority;
  std::uint16_t wLanguage;
  std::uint32_t dwScale;
  std::uint32_t dwRate;  // dwRate / dwScale = samples per second
  std::uint32_t dwStart;
  std::uint32_t dwLength;  // in samples (sample frames for audio)
  std::uint32_t dwInitialFrames;
  std::uint32_t dwSuggestedBufferSize;
  std::uint32_t dwQuality;
  std::uint32_t dwSampleSize;  // bytes of one sample frame
  std::int32_t rcFrame[4];
  std::uint32_t dwEditCount;
  std::uint32_t dwFormatChangeCount;
  char szName[64];
};
static_assert(sizeof(AVISTREAMINFOA) == 140);

struct AviFile;
struct AviStream;
using PAVIFILE = AviFile*;
using PAVISTREAM = AviStream*;

// Counted per process; every other call works without them too.
void AVIFileInit();
void AVIFileExit();

// Opens a WAV file for reading. `mode` and `handler` are accepted as given
// (reading is the only mode). E_FAIL when the file is missing or not a WAV
// file that can be read.
HRESULT AVIFileOpenA(PAVIFILE* file, const char* path, std::uint32_t mode, const void* handler);
// The file's `number`th stream of `type`: only audio stream 0 exists.
// E_FAIL (and a null stream) for any other.
HRESULT AVIFileGetStream(PAVIFILE file, PAVISTREAM* stream, std::uint32_t type, std::int32_t number);
// The stream's format (the WAV file's "fmt " chunk). With no buffer,
// *size receives the bytes needed; otherwise up to *size bytes are copied
// and *size is set to the bytes copied.
HRESULT AVIStreamReadFormat(PAVISTREAM stream, std::int32_t pos, void* format, std::int32_t* size);
HRESULT AVIStreamInfoA(PAVISTREAM stream, AVISTREAMINFOA* info, std::int32_t size);
std::int32_t AVIStreamStart(PAVISTREAM stream);
std::int32_t AVIStreamLength(PAVISTREAM stream);  // in sample frames
// Reads up to `samples` frames from `start` (AVISTREAMREAD_CONVENIENT: as
// many as fit). With no buffer only reports the bytes and frames a read
// would give. Reading past the end gives fewer frames, at the end none.
// E_FAIL when the file cannot be read or the buffer holds not one frame.
HRESULT AVIStreamRead(PAVISTREAM stream, std::int32_t start, std::int32_t samples, void* buffer,
                      std::int32_t bufferSize, std::int32_t* bytesRead, std::int32_t* samplesRead);
std::uint32_t AVIStreamRelease(PAVISTREAM stream);
std::uint32_t AVIFileRelease(PAVIFILE file);

}  // namespace mivo::platform::avi
