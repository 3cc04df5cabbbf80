// The capture engine against the manual device: the ring, the per-buffer
// measures, the device choice and its failure boxes, and Close.
#include "capture_rig.h"
#include "platform/ui/dialog.h"

namespace mivo::testing {
namespace {

using platform::WAVEHDR;

class CaptureEngineTest : public CaptureRig {
 protected:
  // The device calls made since the last ClearCalls, as "name" or "name:index".
  std::vector<std::string> DeviceCalls() {
    std::vector<std::string> out;
    for (const auto& c : m_wavein.Calls()) {
      if (!c.hdr) {
        out.push_back(c.name);
      } else {
        out.push_back(c.name + ":" + std::to_string(c.hdr - m_engine.Header(0)));
      }
    }
    return out;
  }
};

TEST_F(CaptureEngineTest, RingQueues62AndEachNotificationRequeuesThePreviousBuffer) {
  ASSERT_EQ(OpenEngine(), OpenOutcome::Opened);
  EXPECT_TRUE(m_host.Boxes().empty());
  EXPECT_EQ(m_wavein.OpenedDevice(), platform::WAVE_MAPPER);
  const platform::WAVEFORMATEX f = m_wavein.OpenedFormat();
  EXPECT_EQ(f.nChannels, 2);
  EXPECT_EQ(f.wBitsPerSample, 16);
  EXPECT_EQ(f.nAvgBytesPerSec, 176400u);
  EXPECT_EQ(m_engine.Header(5)->dwBufferLength, kFrames * 4);

  std::vector<std::string> expected{"open"};
  for (int i = 0; i < kQueuedAtStart; ++i) {
    expected.push_back("prepare:" + std::to_string(i));
    expected.push_back("add:" + std::to_string(i));
  }
  expected.push_back("start");
  EXPECT_EQ(DeviceCalls(), expected);

  // The first notification hands the never-used buffer 63 to the device,
  // the second buffer 0 again, the third buffer 1.
  const std::vector<std::vector<std::string>> perBuffer = {
      {"unprepare:0", "prepare:63", "add:63"},
      {"unprepare:1", "prepare:0", "add:0"},
      {"unprepare:2", "prepare:1", "add:1"},
  };
  for (const auto& calls : perBuffer) {
    m_wavein.ClearCalls();
    FeedConstant(1, 1);
    EXPECT_EQ(DeviceCalls(), calls);
    EXPECT_EQ(m_wavein.QueuedCount(), 62u);
  }
  // Around the ring a few times: the buffer being read is never queued.
  for (int i = 0; i < 2 * kRingSize; ++i) FeedConstant(1, 1);
  EXPECT_FALSE(m_bReadWhileQueued);
  EXPECT_EQ(m_nBuffers, 3 + 2 * kRingSize);
}

TEST_F(CaptureEngineTest, LevelSpansAndMeansOfABuffer) {
  ASSERT_EQ(OpenEngine(), OpenOutcome::Opened);

  FeedConstant(100, -7);  // constant on both channels
  EXPECT_EQ(m_engine.Level(), 0u);
  EXPECT_EQ(m_engine.MeanL(), 100);
  EXPECT_EQ(m_engine.MeanR(), -7);
  EXPECT_EQ(m_lastBuffer.sumL, 100 * 1024);
  EXPECT_EQ(m_lastBuffer.sumR, -7 * 1024);

  // Full-scale square wave on the left only.
  std::vector<std::int16_t> square = ConstantFrames(kFrames, 0, 5);
  for (std::size_t i = 0; i < kFrames; ++i) square[2 * i] = (i / 16) % 2 ? -32768 : 32767;
  Feed(square);
  EXPECT_EQ(m_lastMeters.spanL, 65535u);
  EXPECT_EQ(m_lastMeters.spanR, 0u);
  EXPECT_EQ(m_lastMeters.level, 65535u);
  EXPECT_EQ(m_lastMeters.frames, kFrames);
  EXPECT_EQ(m_engine.Level(), 65535u);
  EXPECT_EQ(m_engine.MeanL(), 0);  // (512 * 32767 - 512 * 32768) / 1024 truncates toward zero

  // The extremes of a channel may sit at its first frame; the right
  // channel's level counts as much as the left's.
  std::vector<std::int16_t> s = ConstantFrames(kFrames, 0, 0);
  s[1] = -300;
  s[2 * 700 + 1] = 200;
  s[0] = -3;
  Feed(s);
  EXPECT_EQ(m_lastMeters.spanL, 3u);
  EXPECT_EQ(m_lastMeters.spanR, 500u);
  EXPECT_EQ(m_engine.Level(), 500u);
  EXPECT_EQ(m_engine.MeanL(), 0);   // -3 / 1024
  EXPECT_EQ(m_engine.MeanR(), 0);   // -100 / 1024
}

TEST_F(CaptureEngineTest, DeviceIsChosenByItsExactName) {
  ASSERT_EQ(OpenEngine("USB Audio"), OpenOutcome::Opened);
  EXPECT_EQ(m_wavein.OpenedDevice(), 1u);
  EXPECT_TRUE(m_host.Boxes().empty());
  EXPECT_EQ(m_deviceName, "USB Audio");
  m_engine.Close();

  // Names compare byte by byte: another case is another device.
  ASSERT_EQ(OpenEngine("usb audio"), OpenOutcome::Opened);
  EXPECT_EQ(m_wavein.OpenedDevice(), platform::WAVE_MAPPER);
  ASSERT_EQ(m_host.Boxes().size(), 1u);
  const auto box = m_host.Boxes()[0];
  EXPECT_EQ(box.text, "入力デバイス:usb audio がないので、単に「優先するデバイス」にしときますね");
  EXPECT_EQ(box.caption, "Mivo");
  EXPECT_EQ(box.type, ui::MB_OK);
  EXPECT_EQ(m_deviceName, "");  // saved empty at exit
}

// A named device the system lists only a moment later (a card at login) is
// waited for and opened, without a box and with its name kept; one that
// stays missing is waited for within the bound, then reported.
TEST_F(CaptureEngineTest, ANamedDeviceListedLateIsWaitedForWithinABound) {
  m_wavein.SetDevices({"Line In"});
  int looks = 0;
  m_onSleep = [&] {
    if (++looks == 3) m_wavein.SetDevices({"Line In", "USB Audio"});
  };
  ASSERT_EQ(OpenEngine("USB Audio"), OpenOutcome::Opened);
  EXPECT_EQ(m_wavein.OpenedDevice(), 1u);
  EXPECT_TRUE(m_host.Boxes().empty());
  EXPECT_EQ(m_deviceName, "USB Audio");
  EXPECT_EQ(m_slept, 3 * kDevicePollMs);
  m_engine.Close();

  m_slept = 0;
  ASSERT_EQ(OpenEngine("Gone"), OpenOutcome::Opened);
  EXPECT_EQ(m_slept, kDeviceWaitMs);
  EXPECT_EQ(m_wavein.OpenedDevice(), platform::WAVE_MAPPER);
  EXPECT_EQ(m_host.Boxes().size(), 1u);
}

// The sound system listed nothing in time (a server still coming up): the
// preferred device does not open either; at Retry the named device is there
// after all, and it is opened and kept rather than another one.
TEST_F(CaptureEngineTest, RetryLooksForAMissingNamedDeviceAgain) {
  m_wavein.SetDevices({});
  m_wavein.QueueOpenResult(platform::MMSYSERR_NODRIVER);
  m_host.SetAnswerer([this](const ui::HeadlessHost::Box& box) {
    if (box.caption != "waveInOpen") return ui::IDOK;
    m_wavein.SetDevices({"Line In", "USB Audio"});
    return ui::IDRETRY;
  });
  ASSERT_EQ(OpenEngine("USB Audio"), OpenOutcome::Opened);
  ASSERT_EQ(m_host.Boxes().size(), 2u);
  EXPECT_EQ(m_wavein.OpenedDevice(), 1u);
  EXPECT_EQ(m_deviceName, "USB Audio");
}

TEST_F(CaptureEngineTest, OpenFailureBoxRetriesAbortsOrGoesOnWithoutCapture) {
  // Retry opens again with the same arguments.
  m_wavein.QueueOpenResult(platform::MMSYSERR_ALLOCATED);
  m_wavein.QueueOpenResult(platform::MMSYSERR_ALLOCATED);
  m_host.QueueAnswer(ui::IDRETRY);
  m_host.QueueAnswer(ui::IDRETRY);
  ASSERT_EQ(OpenEngine("USB Audio"), OpenOutcome::Opened);
  ASSERT_EQ(m_host.Boxes().size(), 2u);
  EXPECT_EQ(m_host.Boxes()[0].caption, "waveInOpen");
  EXPECT_EQ(m_host.Boxes()[0].type, ui::MB_ABORTRETRYIGNORE);
  EXPECT_EQ(m_host.Boxes()[0].text, "指定されたリソースはすでに割り当てられています。");
  int opens = 0;
  for (const auto& c : m_wavein.Calls()) opens += c.name == "open" && c.deviceId == 1;
  EXPECT_EQ(opens, 3);
  m_engine.Close();

  // Abort: nothing is queued or started.
  m_host.ClearBoxes();
  m_wavein.ClearCalls();
  m_wavein.QueueOpenResult(platform::MMSYSERR_NODRIVER);
  m_host.QueueAnswer(ui::IDABORT);
  EXPECT_EQ(OpenEngine(), OpenOutcome::Aborted);
  EXPECT_EQ(DeviceCalls(), std::vector<std::string>{"open"});
  EXPECT_FALSE(m_engine.IsOpen());

  // Ignore, for each result code and its text.
  const std::vector<std::pair<platform::MMRESULT, std::string>> table = {
      {platform::MMSYSERR_BADDEVICEID, "指定されたデバイス識別子は範囲外です。"},
      {platform::MMSYSERR_ALLOCATED, "指定されたリソースはすでに割り当てられています。"},
      {platform::MMSYSERR_NODRIVER, "デバイスドライバが存在しません。"},
      {platform::MMSYSERR_NOMEM, "メモリを割り当てられないか、またはロックできません。"},
      {platform::WAVERR_BADFORMAT, "サポートされていないウェーブフォームオーディオ形式でオープンしようとしました。"},
      {platform::MMSYSERR_ERROR, "未知のエラー"},
      {999, "未知のエラー"},
  };
  for (const auto& [code, text] : table) {
    m_host.ClearBoxes();
    m_wavein.QueueOpenResult(code);
    m_host.QueueAnswer(ui::IDIGNORE);
    EXPECT_EQ(OpenEngine(), OpenOutcome::Ignored) << code;
    EXPECT_EQ(LastBoxText(), text) << code;
    EXPECT_FALSE(m_engine.IsOpen());
    EXPECT_FALSE(m_wavein.IsOpen());
  }
  // Without a device no buffer ever arrives, and a stray notification does nothing.
  m_w->PostMessage(platform::MM_WIM_DATA, 0, reinterpret_cast<std::intptr_t>(m_engine.Header(0)));
  m_w->PumpMessages();
  EXPECT_EQ(m_nBuffers, 0);
}

TEST_F(CaptureEngineTest, CloseStopsResetsFreesAndLateNotificationsDoNothing) {
  ASSERT_EQ(OpenEngine(), OpenOutcome::Opened);
  FeedConstant(5, 5);
  // Two buffers done but not yet handled when the window closes.
  ASSERT_NE(m_wavein.DeliverConstant(5, 5), nullptr);
  ASSERT_NE(m_wavein.DeliverConstant(5, 5), nullptr);
  m_wavein.ClearCalls();
  m_engine.Close();

  std::vector<std::string> expected{"stop", "reset"};
  for (int i = 0; i < kRingSize; ++i) expected.push_back("unprepare:" + std::to_string(i));
  expected.push_back("close");
  EXPECT_EQ(DeviceCalls(), expected);
  EXPECT_FALSE(m_engine.IsOpen());
  EXPECT_FALSE(m_wavein.IsOpen());

  m_wavein.ClearCalls();
  EXPECT_EQ(m_w->PumpMessages(), 62);  // the two done buffers and the 60 that reset returned
  EXPECT_EQ(m_nBuffers, 1);
  EXPECT_TRUE(m_wavein.Calls().empty());
  m_engine.Close();  // twice is harmless
  EXPECT_TRUE(m_wavein.Calls().empty());
}

TEST_F(CaptureEngineTest, NotificationsOfAnotherDeviceOrHeaderAreIgnored) {
  ASSERT_EQ(OpenEngine(), OpenOutcome::Opened);
  WAVEHDR* h = m_wavein.DeliverConstant(1, 2, false);
  ASSERT_NE(h, nullptr);
  WAVEHDR foreign;
  const auto device = reinterpret_cast<std::uintptr_t>(m_engine.Handle());
  m_w->PostMessage(platform::MM_WIM_DATA, device + 1, reinterpret_cast<std::intptr_t>(h));
  m_w->PostMessage(platform::MM_WIM_DATA, device, reinterpret_cast<std::intptr_t>(&foreign));
  m_w->PostMessage(platform::MM_WIM_DATA, device, reinterpret_cast<std::intptr_t>(h) + 1);
  m_w->PumpMessages();
  EXPECT_EQ(m_nBuffers, 0);
  EXPECT_EQ(m_engine.NextHdr(), kQueuedAtStart);
}

}  // namespace
}  // namespace mivo::testing
