#include "capture/silence_splitter.h"

#include "settings/recorder_ids.h"

namespace mivo {

void SilenceSplitter::OnBuffer(const CapturedBuffer& buffer) {
  // Unsigned comparisons, as the level is.
  if (buffer.level > static_cast<std::uint32_t>(m_settings.RecSilentThreshold)) {
    m_nSilentCount = 0;
  } else if (m_nSilentCount != UINT32_MAX) {
    ++m_nSilentCount;
  }
  const auto span = static_cast<std::uint32_t>(m_settings.RecSilentTimeSpan);
  const bool inSilence = span != 0 && m_nSilentCount >= span;

  ui::IWindow& w = m_control.Window();
  if (m_control.IsRecording()) {
    if (inSilence && m_settings.m_bSilentDivide) {
      // Waiting for sound: the silence is stored nowhere.
      if (!m_writer.HasAudio()) return;
      w.SetDlgItemText(IDC_STATUS, "録音待ち");
      m_writer.Close();
      static_cast<void>(m_writer.Open());  // a failure has stopped the recording and told the user
      return;
    }
    m_writer.Write(buffer);
    return;
  }

  if (inSilence) {
    if (m_nStopState != 0 && !m_control.IsSkip()) w.SetDlgItemText(IDC_STATUS, "停止 (無音)");
    m_nStopState = 0;
  } else {
    if (m_nStopState != 1 && !m_control.IsSkip()) w.SetDlgItemText(IDC_STATUS, "停止 (有音)");
    m_nStopState = 1;
  }
}

}  // namespace mivo
