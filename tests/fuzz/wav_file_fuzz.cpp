// The RIFF/WAVE reader of --input-file (and of the WMA encoder's source) on
// any bytes.
#include "fuzz_input.h"
#include "platform/wavein/wav_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string error;
  static_cast<void>(mivo::platform::ReadWavFileInfo(mivo::fuzz::Input(data, size).Path(), &error));
  return 0;
}
