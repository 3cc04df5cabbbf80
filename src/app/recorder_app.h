// The application object: owns the process around the recorder window.
#pragma once

#include <string>

#include "app/recorder_dlg.h"
#include "platform/power/power.h"
#include "platform/ui/dialog.h"
#include "platform/wavein/wavein.h"

namespace mivo {

class CRecorderApp {
 public:
  // `waveIn` is the system's wave input, created once for the process
  // (nullptr: the window runs without capture); `power` the system's power
  // services (nullptr: none).
  CRecorderApp(ui::IDialogHost& host, std::string settingsPath, WindowLink* link, platform::IWaveIn* waveIn,
               platform::IPowerSystem* power = nullptr)
      : m_host(host),
        m_strSettingsPath(std::move(settingsPath)),
        m_pLink(link),
        m_pWaveIn(waveIn),
        m_pPower(power) {}

  // Loads the MP3 encoder, runs the recorder window modally, unloads the
  // encoder. Returns the process exit status.
  int Run();

  const std::string& EncoderInfo() const { return m_strEncoderInfo; }

 private:
  ui::IDialogHost& m_host;
  std::string m_strSettingsPath;
  WindowLink* m_pLink;
  platform::IWaveIn* m_pWaveIn;
  platform::IPowerSystem* m_pPower;
  std::string m_strEncoderInfo;
};

}  // namespace mivo
