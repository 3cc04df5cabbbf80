// mivo-convert's reading of its input WAV on any bytes.
#include "fuzz_input.h"
#include "wav_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  mivo::WavInput in;
  static_cast<void>(mivo::Inspect(mivo::fuzz::Input(data, size).Fd(), size, in));
  return 0;
}
