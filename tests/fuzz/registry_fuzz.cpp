// The MP3 library's registry file on any bytes: the key and value the
// bridge looks up, queried as the bridge queries them.
#include "fuzz_input.h"
#include "platform/registry/registry.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace mivo::platform;
  const Registry registry(mivo::fuzz::Input(data, size).Path());
  RegistryKey key;
  if (registry.OpenKey("Software\\MarineCat\\GOGO_DLL", &key) != ERROR_SUCCESS) return 0;
  char buffer[268];
  std::uint32_t bufferSize = sizeof buffer, type = REG_NONE, needed = 0;
  static_cast<void>(key.QueryValue("INSTPATH", &type, buffer, &bufferSize));
  static_cast<void>(key.QueryValue("instpath", nullptr, nullptr, &needed));
  return 0;
}
