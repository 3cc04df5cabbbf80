// The queue journal's reader on any bytes. Whatever it reads must write
// back into a journal that reads again whole.
#include <cstdlib>
#include <string_view>

#include "convert/queue_journal.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const mivo::DecodedJournal read =
      mivo::DecodeJournal(std::string_view(reinterpret_cast<const char*>(data), size));
  const std::string written = mivo::EncodeJournal(read.state);
  const mivo::DecodedJournal again = mivo::DecodeJournal(written);
  if (again.damaged || again.usedBytes != written.size()) std::abort();
  return 0;
}
