// The settings loader (mivo.ini) on any bytes.
#include "fuzz_input.h"
#include "settings/recorder_settings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  mivo::RecorderSettings settings;
  settings.Load(mivo::fuzz::Input(data, size).Path());
  return 0;
}
