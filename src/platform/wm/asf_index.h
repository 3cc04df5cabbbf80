// The seek index of a finished ASF (WMA) file: a Simple Index Object after
// the Data Object, one entry per second, each pointing at the data packet in
// which the audio frame that holds that second begins. The file's header is
// updated to match (its size; Seekable set, Broadcast clear).
//
// The indexed file is written beside the original ("<name>.index.tmp"),
// synced, and only then put in its place, so an interrupted or failed
// indexing leaves the original whole. An index the file already had is
// replaced; other objects after the Data Object are kept.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/com/com.h"

namespace mivo::platform::wm {

inline constexpr std::uint64_t kIndexIntervalHns = 10'000'000;  // one second in 100 ns

struct AsfIndexHooks {
  // Percent done (0..100); false stops the work (the file stays as it was).
  std::function<bool(int percent)> progress;
  // Puts the indexed temporary file in place of the original: by default a
  // rename. The indexer wraps it so that a cancelled job cannot replace the
  // file after its owner has stopped waiting.
  std::function<bool(const std::string& temp, const std::string& path)> replace;
};

// S_OK when the file was indexed; E_FAIL for a file that is not an ASF file
// this can index (or a read or write error); E_OUTOFMEMORY; E_UNEXPECTED when
// stopped through the progress hook.
HRESULT IndexAsfFile(const std::string& path, const AsfIndexHooks& hooks);

}  // namespace mivo::platform::wm
