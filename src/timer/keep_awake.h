// Keeps the machine from sleeping while it matters: a recording runs or a
// timed recording is pending. Without the system's help recording goes on;
// the failure is reported once.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/power/power.h"

namespace mivo {

inline constexpr const char* kInhibitWho = "Mivo";
inline constexpr const char* kInhibitWhy = "録音中、またはタイマ録音を待っています";

class KeepAwake {
 public:
  using Report = std::function<void(const std::string& line)>;
  // `power` may be null: nothing keeps the machine awake.
  KeepAwake(platform::IPowerSystem* power, Report report) : m_power(power), m_report(std::move(report)) {}

  // Takes the lock when `needed` becomes true, releases it when it becomes false.
  void Hold(bool needed);
  bool Held() const { return m_lock != nullptr; }

 private:
  platform::IPowerSystem* m_power;
  Report m_report;
  std::unique_ptr<platform::ISleepInhibitor> m_lock;
  bool m_bWanted = false;
  bool m_bReported = false;
};

}  // namespace mivo
