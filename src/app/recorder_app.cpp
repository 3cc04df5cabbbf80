#include "app/recorder_app.h"

#include "encode/gogo_dll.h"

namespace mivo {

int CRecorderApp::Run() {
  // The MP3 encoder library is loaded before the window and released after
  // it; without it MP3 output cannot be chosen.
  GogoDll gogo;
  const bool encoderAvailable = LoadGogoDll(gogo) == kGogoLoaded;
  m_strEncoderInfo = GogoEncoderInfo(gogo);

  RecorderEnvironment env;
  env.host = &m_host;
  env.settingsPath = m_strSettingsPath;
  env.encoderInfo = m_strEncoderInfo;
  env.link = m_pLink;
  env.waveIn = m_pWaveIn;
  env.power = m_pPower;
  env.gogo = encoderAvailable ? &gogo : nullptr;
  {
    CRecorderDlg dlg(env, encoderAvailable);
    m_host.DoModal(dlg, nullptr);
  }
  if (encoderAvailable) FreeGogoDll(gogo);
  return 0;
}

}  // namespace mivo
