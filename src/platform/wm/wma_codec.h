// The WMA codec module (libmivo_wma.so): PCM in, WMA in an ASF file out.
// Its encoding libraries are many and slow to load, so only a writer that
// begins writing loads the module; a program that never writes WMA never
// starts them. The module is ours and built with the programs: it hands out
// one table of entry points, checked by its version.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/com/com.h"

namespace mivo::platform::wm {

// The module's file name, found like libgogo.so: by the plain name through
// the program's RUNPATH, then beside the program (see BundledLibraryPath).
inline constexpr const char* kWmaCodecLibraryName = "libmivo_wma.so";
// The one exported symbol: `const WmaCodecApi* mivo_wma_codec_api(void)`.
inline constexpr const char* kWmaCodecEntryPoint = "mivo_wma_codec_api";
inline constexpr std::uint32_t kWmaCodecApiVersion = 1;

// 16-bit interleaved PCM, mono or stereo.
struct WmaPcmFormat {
  std::uint16_t channels;
  std::uint32_t rate;
  std::uint16_t blockAlign;
};

// What the profile's audio stream encodes to.
struct WmaTarget {
  std::uint32_t rate;
  std::uint16_t channels;
  std::uint32_t bitrate;  // bits per second
};

struct WmaCodec;  // one file being written, owned by the module

// Every call returns S_OK, E_OUTOFMEMORY or E_FAIL.
struct WmaCodecApi {
  std::uint32_t version;  // kWmaCodecApiVersion
  // Creates `path` and writes its header. *codec is set only on success;
  // a failed open has released what it made (the caller removes the file).
  HRESULT (*open)(const char* path, const WmaPcmFormat* in, const WmaTarget* out, WmaCodec** codec);
  // Interleaved frames of the input format.
  HRESULT (*write)(WmaCodec* codec, const std::uint8_t* pcm, std::size_t frames);
  // Flushes resampler and encoder and writes the trailer; the file is
  // closed afterwards, whatever the result.
  HRESULT (*finish)(WmaCodec* codec);
  // Releases everything; a file not finished stays as it is (the caller
  // removes it).
  void (*close)(WmaCodec* codec);
};

using WmaCodecApiFn = const WmaCodecApi* (*)();

// The module's table, loading the module on the first call that finds it
// missing. nullptr when it cannot be loaded or is not this program's own;
// `why` (when given) then says why. Safe from any thread; once loaded the
// module stays for the life of the process.
const WmaCodecApi* LoadWmaCodec(std::string* why = nullptr);

}  // namespace mivo::platform::wm
