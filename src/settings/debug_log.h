// The optional debug log: one block per run, a line per queued track, and
// the lines of the other subsystems. The recorder window opens and closes
// it; lines come from the window thread and from the conversion worker, so
// every write holds the log's own lock and writes its line whole.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace mivo {

class DebugLog {
 public:
  // Bit of DebugLogLevel that asks for more than the start and end lines:
  // the normalization level lines and the other lines of the log.
  static constexpr std::int32_t kNormalizeLevel = 1;

  // Opens `fileName` for appending when `level` is not 0 and writes the start
  // line. A file that cannot be opened leaves the log closed, silently.
  void Open(std::int32_t level, const std::string& fileName);
  // "<path>  peak = <peak>" when open and the level asks for it.
  void TrackLine(const std::string& trackPath, std::int32_t peak);
  // Any other line of the log ("\n" added), written when it is open and the
  // level asks for more than the start and end lines.
  void Line(std::string_view text);
  // Writes the end line and an empty line, and closes.
  void Close();

  bool IsOpen() const;

 private:
  struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };
  mutable std::mutex m_mtx;
  std::unique_ptr<std::FILE, FileCloser> m_pLogFile;
  std::int32_t m_nLevel = 0;
};

}  // namespace mivo
