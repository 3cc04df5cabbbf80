// The debug log. Write errors are ignored: the log must never disturb a
// recording, so the results of the writes below are deliberately unused.

#include "settings/debug_log.h"

namespace mivo {

void DebugLog::Open(std::int32_t level, const std::string& fileName) {
  if (level == 0) return;
  std::FILE* file = std::fopen(fileName.c_str(), "ab");
  if (file == nullptr) return;  // no log, no message
  std::lock_guard lock(m_mtx);
  m_pLogFile.reset(file);
  m_nLevel = level;
  std::fputs("start logging...\n", m_pLogFile.get());
}

void DebugLog::TrackLine(const std::string& trackPath, std::int32_t peak) {
  std::lock_guard lock(m_mtx);
  if (!m_pLogFile || (m_nLevel & kNormalizeLevel) == 0) return;
  std::fprintf(m_pLogFile.get(), "%s  peak = %d\n", trackPath.c_str(),
               static_cast<int>(peak));
}

void DebugLog::Line(std::string_view text) {
  std::lock_guard lock(m_mtx);
  if (!m_pLogFile || (m_nLevel & kNormalizeLevel) == 0) return;
  std::fprintf(m_pLogFile.get(), "%.*s\n", static_cast<int>(text.size()), text.data());
}

void DebugLog::Close() {
  std::lock_guard lock(m_mtx);
  if (!m_pLogFile) return;
  std::fputs("end logging...\n\n", m_pLogFile.get());
  m_pLogFile.reset();
}

bool DebugLog::IsOpen() const {
  std::lock_guard lock(m_mtx);
  return m_pLogFile != nullptr;
}

}  // namespace mivo
