// The resampling settings dialog (template 135, "サンプリングレート変換の設定"):
// the linear (fast) or the high-precision method, and the latter's
// precision. Works on copies; OK writes them back.
#pragma once

#include "platform/ui/dialog.h"
#include "settings/recorder_settings.h"

namespace mivo {

inline constexpr int IDD_RESAMPLE_SETTING = 135;
inline constexpr int IDC_FS44_PRECISION = 1059;
inline constexpr int IDC_CONV_LINEAR = 1060;
inline constexpr int IDC_CONV_PRECISE = 1061;

const ui::DialogTemplate& ResampleSettingTemplate();

class CResampleSettingDlg final : public ui::CDialog {
 public:
  explicit CResampleSettingDlg(RecorderSettings& settings);

  bool OnInitDialog() override;
  void OnCommand(int id, int code) override;
  void OnOK() override;

 private:
  RecorderSettings& m_settings;
  int m_nConvKind = 0;
};

}  // namespace mivo
