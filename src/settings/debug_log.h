// The optional debug log: one block per run, a line per queued track.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

namespace mivo {

class DebugLog {
 public:
  // Bit of DebugLogLevel that asks for the normalization level lines.
  static constexpr std::int32_t kNormalizeLevel = 1;

  // Opens `fileName` for appending when `level` is not 0 and writes the start
  // line. A file that cannot be opened leaves the log closed, silently.
  void Open(std::int32_t level, const std::string& fileName);
  // "<path>  peak = <peak>" when open and the level asks for it.
  void TrackLine(const std::string& trackPath, std::int32_t peak);
  // Any other line of the log, written when it is open ("\n" added).
  void Line(std::string_view text);
  // Writes the end line and an empty line, and closes.
  void Close();

  bool IsOpen() const { return m_pLogFile != nullptr; }

 private:
  struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };
  std::unique_ptr<std::FILE, FileCloser> m_pLogFile;
  std::int32_t m_nLevel = 0;
};

}  // namespace mivo
