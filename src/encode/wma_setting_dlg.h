// The WMA settings dialog (template 130, "WMA の設定"): the system profile
// the WMA encoder loads, chosen from the profile manager's list of the set
// the WMA8 box selects. The list is read from the profile manager every
// time it is filled, so item k >= 1 is exactly system profile k - 1.
#pragma once

#include <string>

#include "platform/ui/dialog.h"

namespace mivo {

struct RecorderSettings;
struct WmaPlatform;

inline constexpr int IDD_WMA_SETTING = 130;
inline constexpr int IDC_WMA_PROFILE_NAME = 1075;
inline constexpr int IDC_WMA_PROFILES = 1076;
inline constexpr int IDC_WMA_DRM = 1077;
inline constexpr int IDC_WMA_WMA8 = 1078;
inline constexpr int IDC_WMA_HELP = 57670;

// String 5000: the list's first item and the label with nothing selected.
inline constexpr const char* kWmaNoProfile = "未選択";

const ui::DialogTemplate& WmaSettingTemplate();

// The dialog's copies of the three settings.
struct WmaSettingValues {
  int m_nProfileIndex = 0;  // 0: none chosen; k: system profile k - 1
  bool m_bUseDRM = false;
  bool m_bUseWMA8 = true;
};

class CWmaSettingDlg final : public ui::CDialog {
 public:
  explicit CWmaSettingDlg(WmaSettingValues values, const WmaPlatform* platform = nullptr);

  bool OnInitDialog() override;
  void OnCommand(int id, int code) override;
  // With no list selection nothing happens; otherwise the selection and
  // the boxes are taken and the dialog ends.
  void OnOK() override;

  const WmaSettingValues& Values() const { return m_values; }

 private:
  void FillProfiles();
  void UpdateLabel();

  WmaSettingValues m_values;
  const WmaPlatform* m_platform;
};

// Opening from the recorder window (button 1074, not while recording):
// runs the dialog on copies and writes them back only when it ends with
// OK. Returns true then.
bool EditWmaSettings(ui::IDialogHost& host, ui::IWindow* parent, RecorderSettings& settings);

}  // namespace mivo
