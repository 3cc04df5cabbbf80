// Silence detection and track splitting: every captured buffer is silent or
// not; a silence that lasts RecSilentTimeSpan buffers ends the track while
// recording with splitting on, and the next track starts with the first
// buffer with sound. While stopped, the same measure drives the status text.
#pragma once

#include <cstdint>

#include "capture/capture_engine.h"
#include "capture/recorder_control.h"
#include "capture/track_writer.h"
#include "settings/recorder_settings.h"

namespace mivo {

class SilenceSplitter {
 public:
  SilenceSplitter(const RecorderSettings& settings, TrackWriter& writer, IRecorderControl& control)
      : m_settings(settings), m_writer(writer), m_control(control) {}

  // The recording decision for one buffer whose level is set.
  void OnBuffer(const CapturedBuffer& buffer);

  // STOP: the next buffer writes a stopped text whatever the state was.
  void ResetStopState() { m_nStopState = 2; }
  // 0 "停止 (無音)" shown, 1 "停止 (有音)" shown, 2 none yet.
  int StopState() const { return m_nStopState; }
  std::uint32_t SilentCount() const { return m_nSilentCount; }

 private:
  const RecorderSettings& m_settings;
  TrackWriter& m_writer;
  IRecorderControl& m_control;
  std::uint32_t m_nSilentCount = 0;
  int m_nStopState = 2;
};

}  // namespace mivo
