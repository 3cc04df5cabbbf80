// The ASF (WMA) indexer's reading of a finished file on any bytes: its
// header and data objects and every packet. The indexed copy it writes
// beside the input is never put in place.
#include "fuzz_input.h"
#include "platform/wm/asf_index.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  mivo::platform::wm::AsfIndexHooks hooks;
  hooks.replace = [](const std::string&, const std::string&) { return false; };
  static_cast<void>(mivo::platform::wm::IndexAsfFile(mivo::fuzz::InputOnDisk(data, size).Path(), hooks));
  return 0;
}
