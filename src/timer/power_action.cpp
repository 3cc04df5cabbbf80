#include "timer/power_action.h"

#include "platform/ui/dialog.h"
#include "settings/recorder_ids.h"

namespace mivo {
namespace {

template <std::size_t N>
int IndexOf(const std::array<PowerChoice, N>& choices, std::int32_t value) {
  for (std::size_t i = 0; i < N; ++i) {
    if (static_cast<std::int64_t>(choices[i].value) == value) return static_cast<int>(i);
  }
  return -1;
}

}  // namespace

void PowerAction::SelectLists(ui::IWindow& w) {
  int action = IndexOf(kPowerActions, m_settings.m_dwEwxFlag);
  if (action < 0) {
    // An action no list entry stores: the plain shutdown, as by default.
    action = IndexOf(kPowerActions, static_cast<std::int32_t>(platform::EWX_SHUTDOWN));
    m_settings.m_dwEwxFlag = static_cast<std::int32_t>(platform::EWX_SHUTDOWN);
  }
  w.SetCurSel(IDC_EWX_FLAG, action);
  const int force = IndexOf(kForceModes, m_settings.m_dwEwxForce);
  if (force < 0) m_settings.m_dwEwxForce = 0;
  w.SetCurSel(IDC_EWX_FORCE, force);
}

void PowerAction::EnableLists(ui::IWindow& w, bool enable) {
  w.EnableDlgItem(IDC_EWX_FLAG, enable);
  w.EnableDlgItem(IDC_EWX_FORCE, enable);
}

bool PowerAction::ObtainRight(std::string* why) {
  if (m_power == nullptr) {
    *why = "no power service";
    return false;
  }
  return m_power->ObtainShutdownRight(Flags(), why);
}

void PowerAction::Restore(ui::IWindow& w, bool powerDown, DeferredBoxes& deferred) {
  std::string why;
  if (powerDown && !ObtainRight(&why)) {
    deferred.Add(std::string(kNoShutdownRight), std::string(ui::kAppTitle), ui::MB_OK | ui::MB_ICONSTOP);
    powerDown = false;
  }
  m_settings.TM_POWERDOWN = powerDown;
  w.CheckDlgButton(IDC_POWERDOWN, powerDown);
  EnableLists(w, powerDown);
}

void PowerAction::OnPowerDownClicked(ui::IWindow& w) {
  m_settings.TM_POWERDOWN = w.IsDlgButtonChecked(IDC_POWERDOWN);
  if (!m_settings.TM_POWERDOWN) {
    EnableLists(w, false);
    return;
  }
  std::string why;
  if (!ObtainRight(&why)) {
    w.MessageBox(kNoShutdownRight, ui::kAppTitle, ui::MB_OK | ui::MB_ICONSTOP);
    w.CheckDlgButton(IDC_POWERDOWN, false);
    m_settings.TM_POWERDOWN = false;
    return;
  }
  w.MessageBox(kPowerOffCaution, ui::kAppTitle, ui::MB_OK | ui::MB_ICONEXCLAMATION);
  EnableLists(w, true);
}

void PowerAction::OnListChanged(ui::IWindow& w, int id) {
  const int index = w.GetCurSel(id);
  if (index < 0) return;
  const auto i = static_cast<std::size_t>(index);
  if (id == IDC_EWX_FLAG && i < kPowerActions.size()) m_settings.m_dwEwxFlag = static_cast<std::int32_t>(kPowerActions[i].value);
  if (id == IDC_EWX_FORCE && i < kForceModes.size()) m_settings.m_dwEwxForce = static_cast<std::int32_t>(kForceModes[i].value);
}

unsigned PowerAction::Flags() const {
  return static_cast<unsigned>(m_settings.m_dwEwxFlag) | static_cast<unsigned>(m_settings.m_dwEwxForce);
}

bool PowerAction::Request(std::string* error) {
  if (m_power == nullptr) {
    *error = "no power service";
    return false;
  }
  return m_power->ExitWindowsEx(Flags(), error);
}

}  // namespace mivo
