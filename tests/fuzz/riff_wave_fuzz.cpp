// The RIFF/WAVE reader on any bytes, with the checks of each of its users:
// --input-file and the WMA encoder's source, and mivo-convert.
#include "fuzz_input.h"
#include "platform/wavein/wav_file.h"
#include "wav_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const mivo::fuzz::FuzzFile& file = mivo::fuzz::Input(data, size);
  std::string error;
  static_cast<void>(mivo::platform::ReadWavFileInfo(file.Path(), &error));
  mivo::WavInput in;
  static_cast<void>(mivo::Inspect(file.Fd(), size, in));
  return 0;
}
