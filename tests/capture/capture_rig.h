// The capture side on its own: the engine, writer and splitter wired to a
// manual wave input and a headless window holding the recorder window's
// status controls, with a controller stand-in that performs STOP as the
// recorder window does.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "capture/capture_engine.h"
#include "capture/recorder_control.h"
#include "capture/silence_splitter.h"
#include "capture/track_writer.h"
#include "convert/conversion_queue.h"
#include "platform/ui/headless/headless_host.h"
#include "settings/debug_log.h"
#include "settings/recorder_ids.h"
#include "settings/recorder_settings.h"
#include "support/manual_wavein.h"
#include "support/temp_folder.h"

namespace mivo::testing {

// The recorder window's controls that the capture side writes to.
inline const ui::DialogTemplate& StatusTemplate() {
  static const ui::DialogTemplate t = [] {
    ui::DialogTemplate d;
    d.id = 9000;
    for (int id : {IDC_STATUS, IDC_TRACKFILE, IDC_TEMPFOLDER, IDC_REMAINING}) {
      d.controls.push_back(ui::ControlTemplate{id, ui::ControlKind::Edit, "", {}, 0, 0});
    }
    d.controls.push_back(ui::ControlTemplate{IDC_SKIP, ui::ControlKind::Button, "SKIP", {}, 0, 0});
    return d;
  }();
  return t;
}

inline std::time_t FixedClock() { return 1700000000; }

// Little-endian numbers as they appear in a file.
inline std::string Le16(std::uint32_t v) { return {static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF)}; }
inline std::string Le32(std::uint32_t v) { return Le16(v & 0xFFFF) + Le16(v >> 16); }
inline std::uint32_t ReadLe32(const std::string& bytes, std::size_t offset) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(bytes[offset + static_cast<std::size_t>(i)]);
  return v;
}

// A buffer of `frames` frames whose samples count up from `first`, so that
// every frame of a test stream is different and its place can be checked.
inline std::vector<std::int16_t> RampFrames(std::uint32_t frames, int first) {
  std::vector<std::int16_t> s(static_cast<std::size_t>(frames) * 2);
  for (std::size_t i = 0; i < frames; ++i) {
    s[2 * i] = static_cast<std::int16_t>((first + static_cast<int>(i)) % 30000 + 1);
    s[2 * i + 1] = static_cast<std::int16_t>(-((first + static_cast<int>(i)) % 30000) - 1);
  }
  return s;
}

inline std::string AsBytes(const std::vector<std::int16_t>& samples) {
  std::string bytes(samples.size() * 2, '\0');
  std::memcpy(bytes.data(), samples.data(), bytes.size());
  return bytes;
}

class CaptureRig : public ::testing::Test, public IRecorderControl, public ICaptureClient {
 protected:
  // Hands the window's posted messages to the engine, as the recorder window does.
  class StatusDialog : public ui::CDialog {
   public:
    explicit StatusDialog(CaptureRig& rig) : ui::CDialog(StatusTemplate()), m_rig(rig) {}
    void OnMessage(unsigned msg, std::uintptr_t wParam, std::intptr_t lParam) override {
      if (msg == platform::MM_WIM_DATA) m_rig.m_engine.OnBufferDone(wParam, lParam, m_rig);
    }

   private:
    CaptureRig& m_rig;
  };

  void SetUp() override {
    ASSERT_TRUE(m_dir.Ok());
    m_settings.RecTempFolder = m_dir.Dir().string();
    m_settings.RecFolder = m_dir.Dir().string();
    m_w = &m_host.Open(m_dialog);
    m_writer.SetClock(FixedClock);
    m_writer.SetFormat(m_format, kFrames);
  }
  void TearDown() override {
    m_engine.Close();
    m_writer.Close();
    m_host.Destroy(*m_w);
  }

  // IRecorderControl, as the recorder window does it.
  ui::IWindow& Window() override { return *m_w; }
  bool IsRecording() const override { return m_bRecording; }
  bool IsSkip() const override { return m_bSkip; }
  void EndSkip() override {
    m_bSkip = false;
    m_w->EnableDlgItem(IDC_SKIP, true);
  }
  void Stop() override {
    if (!m_bRecording) return;
    m_bRecording = false;
    ++m_nStops;
    m_writer.Close();
    m_splitter.ResetStopState();
  }

  // ICaptureClient
  void OnMeters(const MeterInput& input) override { m_lastMeters = input; }
  void OnCapturedBuffer(const CapturedBuffer& buffer) override {
    ++m_nBuffers;
    m_lastBuffer = buffer;
    for (const platform::WAVEHDR* h : m_wavein.Queued()) m_bReadWhileQueued |= h == m_engine.DoneHdr();
    m_splitter.OnBuffer(buffer);
  }

  OpenOutcome OpenEngine(std::string name = "") {
    m_deviceName = std::move(name);
    return m_engine.Open(m_format, kFrames, m_deviceName, *m_w);
  }
  // One buffer through the device, the window's queue and the handler.
  void Feed(const std::vector<std::int16_t>& samples) {
    ASSERT_NE(m_wavein.Deliver(samples), nullptr);
    m_w->PumpMessages();
  }
  void FeedConstant(std::int16_t l, std::int16_t r) { Feed(ConstantFrames(kFrames, l, r)); }
  void Rec() {
    m_bRecording = true;
    if (!m_writer.Open()) Stop();
  }

  std::vector<std::string> QueuedFiles() {
    std::lock_guard lock(m_queue.m_mtxQueue);
    return m_queue.m_arrQueueFile;
  }
  std::string LastBoxText() {
    auto boxes = m_host.Boxes();
    return boxes.empty() ? std::string() : boxes.back().text;
  }
  std::string Status() { return m_w->GetDlgItemText(IDC_STATUS); }
  // The sample data of a track file with the new header form.
  static std::string DataOf(const std::string& file, std::uint32_t headerBytes = 46) {
    const std::string bytes = ReadBytes(file);
    return bytes.size() < headerBytes ? std::string() : bytes.substr(headerBytes);
  }

  static constexpr std::uint32_t kFrames = 1024;

  TempFolder m_dir;
  RecorderSettings m_settings;
  platform::WAVEFORMATEX m_format;  // 44.1 kHz 16-bit stereo
  ConversionQueue m_queue;
  DebugLog m_log;
  ui::HeadlessHost m_host;
  StatusDialog m_dialog{*this};
  ui::HeadlessWindow* m_w = nullptr;
  ManualWaveIn m_wavein{{"Line In", "USB Audio"}};
  // The engine's sleeps: counted, not slept; a test may change the system
  // meanwhile.
  unsigned m_slept = 0;
  std::function<void()> m_onSleep;
  CaptureEngine m_engine{&m_wavein, [this](unsigned ms) {
                           m_slept += ms;
                           if (m_onSleep) m_onSleep();
                         }};
  TrackWriter m_writer{m_settings, m_queue, m_log, *this};
  SilenceSplitter m_splitter{m_settings, m_writer, *this};
  std::string m_deviceName;
  bool m_bRecording = false;
  bool m_bSkip = false;
  int m_nStops = 0;
  int m_nBuffers = 0;
  MeterInput m_lastMeters;
  CapturedBuffer m_lastBuffer;
  bool m_bReadWhileQueued = false;
};

}  // namespace mivo::testing
