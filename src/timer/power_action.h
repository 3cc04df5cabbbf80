// The power action after a timed recording: the "終了後電源断" box, the
// action and force lists with the values they store, and the request.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "platform/power/power.h"
#include "platform/ui/window.h"
#include "settings/recorder_settings.h"
#include "timer/deferred_boxes.h"

namespace mivo {

struct PowerChoice {
  std::string_view item;  // the list's text
  unsigned value;         // what the selection stores
};

// List 1072, in list order, into m_dwEwxFlag.
inline constexpr std::array<PowerChoice, 4> kPowerActions{{{"LOGOFF", platform::EWX_LOGOFF},
                                                           {"POWEROFF", platform::EWX_POWEROFF},
                                                           {"REBOOT", platform::EWX_REBOOT},
                                                           {"SHUTDOWN", platform::EWX_SHUTDOWN}}};
// List 1073, in list order, into m_dwEwxForce.
inline constexpr std::array<PowerChoice, 3> kForceModes{{{"通常", 0},
                                                         {"FORCE", platform::EWX_FORCE},
                                                         {"FORCEIFHUNG", platform::EWX_FORCEIFHUNG}}};

inline constexpr std::string_view kNoShutdownRight = "シャットダウン権限が無いので切れません";
inline constexpr std::string_view kPowerOffCaution =
    "とりあえず、ウチのWin98では動いたけれども、\nまだ不安定な機能かもしれません。";

// The request waits this long after the capture device was closed.
inline constexpr unsigned kPowerOffDelayMs = 3000;
// After an accepted request the system ends the program; a window timer
// with this id ends it normally should that not happen within the grace.
inline constexpr int kPowerRequestTimerId = 2;
inline constexpr unsigned kPowerRequestGraceMs = 60000;

class PowerAction {
 public:
  // `power` may be null: no power service, so the right is always refused.
  PowerAction(RecorderSettings& settings, platform::IPowerSystem* power) : m_settings(settings), m_power(power) {}

  // Start-up: the lists show the stored values. A stored action outside the
  // list becomes SHUTDOWN (shown so); a stored force mode outside the list
  // becomes 0 with nothing selected.
  void SelectLists(ui::IWindow& w);

  // Start-up, after the timer was restored: the box and the lists. With
  // `powerDown` (a restored timer had the box set) the right is asked for
  // again, silently when granted; a refusal clears the box, and its message
  // waits in `deferred` so that the unattended start goes on.
  void Restore(ui::IWindow& w, bool powerDown, DeferredBoxes& deferred);

  // Box 1038 clicked.
  void OnPowerDownClicked(ui::IWindow& w);
  // A new selection in list 1072 or 1073.
  void OnListChanged(ui::IWindow& w, int id);

  // The action and force mode of the request.
  unsigned Flags() const;
  // Asks the system for the action. False, with `error` filled, when it refused or cannot be asked.
  bool Request(std::string* error);

 private:
  bool ObtainRight(std::string* why);
  static void EnableLists(ui::IWindow& w, bool enable);

  RecorderSettings& m_settings;
  platform::IPowerSystem* m_power;
};

}  // namespace mivo
