#include "timer/keep_awake.h"

namespace mivo {

void KeepAwake::Hold(bool needed) {
  if (needed == m_bWanted) return;
  m_bWanted = needed;
  if (!needed) {
    m_lock.reset();
    return;
  }
  std::string error = "no power service";
  if (m_power != nullptr) m_lock = m_power->InhibitSleep(kInhibitWho, kInhibitWhy, &error);
  if (m_lock == nullptr && !m_bReported) {
    m_bReported = true;
    if (m_report) m_report("cannot keep the machine from sleeping (" + error + "); recording goes on");
  }
}

}  // namespace mivo
