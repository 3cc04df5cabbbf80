// The input settings dialog (template 132): input device, sample rate and
// the WAV header form. The device and rate take effect at the next start;
// the header form at the next track.
#pragma once

#include "platform/ui/dialog.h"
#include "platform/wavein/wavein.h"
#include "settings/recorder_settings.h"

namespace mivo {

inline constexpr const char* kPreferredDevice = "優先するデバイス";
inline constexpr const char* kRestartNeeded = "入力の設定は Mivo 再起動後に有効になります。";

const ui::DialogTemplate& InputSettingTemplate();

class CInputSettingDlg final : public ui::CDialog {
 public:
  // `waveIn` lists the devices; null lists only the preferred device.
  CInputSettingDlg(platform::IWaveIn* waveIn, RecorderSettings& settings)
      : ui::CDialog(InputSettingTemplate()), m_waveIn(waveIn), m_settings(settings) {}

  bool OnInitDialog() override;
  void OnOK() override;

 private:
  platform::IWaveIn* m_waveIn;
  RecorderSettings& m_settings;
};

}  // namespace mivo
