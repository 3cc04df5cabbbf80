// libgogo's WAV reader on any bytes: the header walk, then every frame.
#include "fuzz_input.h"
#include "wav_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  gogo::WavReader reader;
  if (!reader.Open(mivo::fuzz::Input(data, size).Path())) return 0;
  std::int16_t frames[2 * 1152];
  while (reader.Read(frames, 1152) != 0) {
  }
  return 0;
}
