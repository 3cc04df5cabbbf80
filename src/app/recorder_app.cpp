#include "app/recorder_app.h"

namespace mivo {

int CRecorderApp::Run() {
  // The MP3 encoder library is loaded before the window and released after
  // it. Until one is found, MP3 output cannot be chosen.
  const bool encoderAvailable = false;
  m_strEncoderInfo = "No MP3 Encoder.";

  RecorderEnvironment env;
  env.host = &m_host;
  env.settingsPath = m_strSettingsPath;
  env.encoderInfo = m_strEncoderInfo;
  env.link = m_pLink;
  {
    CRecorderDlg dlg(env, encoderAvailable);
    m_host.DoModal(dlg, nullptr);
  }
  return 0;
}

}  // namespace mivo
