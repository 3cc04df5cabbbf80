// The input and silence-split settings dialogs against the headless host:
// what they show when opened, and what OK and Cancel store.
#include <gtest/gtest.h>

#include <memory>

#include "capture/capture_ids.h"
#include "capture/input_setting_dlg.h"
#include "capture/silence_split_dlg.h"
#include "capture/track_writer.h"
#include "platform/ui/headless/headless_host.h"
#include "support/manual_wavein.h"
#include "support/temp_folder.h"

namespace mivo {
namespace {

std::vector<std::string> Items(const ui::IWindow& w, int id) {
  std::vector<std::string> items;
  for (int i = 0; i < w.GetCount(id); ++i) items.push_back(w.GetItemText(id, i));
  return items;
}

class InputSettingDlgTest : public ::testing::Test {
 protected:
  // Opens the dialog, lets `play` act as the user, and returns its result.
  int Run(const std::function<void(ui::HeadlessWindow&)>& play) {
    CInputSettingDlg dlg(&m_wavein, m_settings);
    m_host.QueueScript(IDD_INPUT_SETTING, play);
    return m_host.DoModal(dlg, nullptr);
  }

  testing::ManualWaveIn m_wavein{{"Line In", "USB Mic"}};
  RecorderSettings m_settings;
  ui::HeadlessHost m_host;
};

TEST_F(InputSettingDlgTest, OpensWithTheDevicesAndTheCurrentChoices) {
  const ui::DialogTemplate& t = InputSettingTemplate();
  EXPECT_EQ(t.id, 132);
  EXPECT_EQ(t.title, "入力の設定");
  ASSERT_NE(t.Find(ui::IDOK), nullptr);
  EXPECT_EQ(t.Find(ui::IDOK)->text, "OK");
  EXPECT_EQ(t.Find(ui::IDCANCEL)->text, "ｷｬﾝｾﾙ");

  m_settings.WaveInDevName = "usb mic";  // the list matches ignoring case
  m_settings.RecSamplesPerSec = 96000;   // not in the list: 44100 is shown
  m_settings.m_nWavheaderShortening = 0;
  const int result = Run([](ui::HeadlessWindow& w) {
    EXPECT_EQ(Items(w, IDC_IN_DEVICE), (std::vector<std::string>{"優先するデバイス", "Line In", "USB Mic"}));
    EXPECT_EQ(w.GetCurSel(IDC_IN_DEVICE), 2);
    EXPECT_EQ(Items(w, IDC_IN_RATE), (std::vector<std::string>{"8000", "11025", "12000", "16000", "22050", "24000",
                                                                "32000", "44100", "48000"}));
    EXPECT_EQ(w.GetItemText(IDC_IN_RATE, w.GetCurSel(IDC_IN_RATE)), "44100");
    EXPECT_EQ(w.GetItemText(IDC_IN_CHANNELS, w.GetCurSel(IDC_IN_CHANNELS)), "ステレオ");
    EXPECT_EQ(w.GetItemText(IDC_IN_BITS, w.GetCurSel(IDC_IN_BITS)), "16ビット");
    EXPECT_EQ(w.GetItemText(IDC_IN_HEADER, w.GetCurSel(IDC_IN_HEADER)), "新しい");
    EXPECT_FALSE(w.IsDlgItemEnabled(IDC_IN_CHANNELS));
    EXPECT_FALSE(w.IsDlgItemEnabled(IDC_IN_BITS));
    w.Click(ui::IDCANCEL);
  });
  EXPECT_EQ(result, ui::IDCANCEL);
  EXPECT_EQ(m_settings.WaveInDevName, "usb mic");
  EXPECT_EQ(m_settings.RecSamplesPerSec, 96000);
}

TEST_F(InputSettingDlgTest, OkStoresAndWarnsOnlyWhenSomethingChanged) {
  m_settings.WaveInDevName = "Line In";
  EXPECT_EQ(Run([](ui::HeadlessWindow& w) { w.Click(ui::IDOK); }), ui::IDOK);
  EXPECT_TRUE(m_host.Boxes().empty());

  // Only the header form.
  Run([](ui::HeadlessWindow& w) {
    w.Select(IDC_IN_HEADER, 0);  // "古い"
    w.Click(ui::IDOK);
  });
  ASSERT_EQ(m_host.Boxes().size(), 1u);
  EXPECT_EQ(m_host.Boxes()[0].text, "入力の設定は Mivo 再起動後に有効になります。");
  EXPECT_EQ(m_host.Boxes()[0].caption, "Mivo");
  EXPECT_EQ(m_host.Boxes()[0].type & ui::MB_ICONMASK, ui::MB_ICONEXCLAMATION);
  EXPECT_EQ(m_settings.m_nWavheaderShortening, 2);
  EXPECT_EQ(m_settings.WaveInDevName, "Line In");

  // Device and rate; Cancel first changes nothing.
  m_host.ClearBoxes();
  Run([](ui::HeadlessWindow& w) {
    w.Select(IDC_IN_DEVICE, 2);
    w.Click(ui::IDCANCEL);
  });
  EXPECT_EQ(m_settings.WaveInDevName, "Line In");
  Run([](ui::HeadlessWindow& w) {
    w.Select(IDC_IN_DEVICE, 2);
    w.Select(IDC_IN_RATE, 8);
    w.Click(ui::IDOK);
  });
  EXPECT_EQ(m_settings.WaveInDevName, "USB Mic");
  EXPECT_EQ(m_settings.RecSamplesPerSec, 48000);
  EXPECT_EQ(m_host.Boxes().size(), 1u);
}

TEST_F(InputSettingDlgTest, UnknownStoredValuesOpenUnselectedOrAsThePreferredDevice) {
  m_settings.WaveInDevName = "Gone";
  m_settings.RecBitsPerSample = 24;
  m_settings.m_nWavheaderShortening = 1;
  Run([](ui::HeadlessWindow& w) {
    EXPECT_EQ(w.GetCurSel(IDC_IN_DEVICE), 0);
    EXPECT_EQ(w.GetCurSel(IDC_IN_BITS), -1);
    EXPECT_EQ(w.GetCurSel(IDC_IN_HEADER), -1);
    w.Click(ui::IDOK);
  });
  // The missing device becomes the preferred one; lists without a selection
  // keep what was stored.
  EXPECT_EQ(m_settings.WaveInDevName, "");
  EXPECT_EQ(m_settings.RecBitsPerSample, 24);
  EXPECT_EQ(m_settings.m_nWavheaderShortening, 1);
  EXPECT_EQ(m_host.Boxes().size(), 1u);

  // Without a wave input the list holds the preferred device only.
  CInputSettingDlg dlg(nullptr, m_settings);
  m_host.QueueScript(IDD_INPUT_SETTING, [](ui::HeadlessWindow& w) {
    EXPECT_EQ(Items(w, IDC_IN_DEVICE), std::vector<std::string>{"優先するデバイス"});
    w.Click(ui::IDOK);
  });
  m_host.DoModal(dlg, nullptr);
}

TEST_F(InputSettingDlgTest, TheFileGivenForThisRunIsNoDeviceToStore) {
  testing::TempFolder tmp;
  const std::string wav = tmp.PathOf("side a.wav");
  // One frame of silence: a file without audio is refused as an input.
  const char header[] = "RIFF\x28\0\0\0WAVEfmt \x10\0\0\0\x01\0\x02\0\x44\xac\0\0\x10\xb1\x02\0\x04\0\x10\0data\x04\0\0\0";
  testing::WriteBytes(wav, std::string(header, sizeof header - 1) + std::string(4, '\0'));
  platform::WaveInOptions options;
  options.inputFile = wav;
  std::string error;
  const std::unique_ptr<platform::IWaveIn> waveIn = platform::CreateSystemWaveIn(options, &error);
  ASSERT_NE(waveIn, nullptr) << error;
  m_settings.WaveInDevName = "Line In";
  CInputSettingDlg dlg(waveIn.get(), m_settings);
  m_host.QueueScript(IDD_INPUT_SETTING, [](ui::HeadlessWindow& w) {
    for (const std::string& item : Items(w, IDC_IN_DEVICE)) EXPECT_EQ(item.find("side a.wav"), std::string::npos);
    w.Select(IDC_IN_DEVICE, 1);  // whatever the system offers besides, or nothing
    w.Click(ui::IDOK);
  });
  m_host.DoModal(dlg, nullptr);
  EXPECT_EQ(m_settings.WaveInDevName.find("side a.wav"), std::string::npos);
}

class SilenceSplitDlgTest : public ::testing::Test {
 protected:
  int Run(const std::function<void(ui::HeadlessWindow&)>& play) {
    CSilenceSplitDlg dlg(m_settings, [this] { return m_nLevel; });
    m_host.QueueScript(IDD_SILENCE_SPLIT, play);
    return m_host.DoModal(dlg, nullptr);
  }

  RecorderSettings m_settings;
  ui::HeadlessHost m_host;
  std::uint32_t m_nLevel = 0;
};

TEST_F(SilenceSplitDlgTest, OpensWithTheSettingsAndFixedUnits) {
  const ui::DialogTemplate& t = SilenceSplitTemplate();
  EXPECT_EQ(t.id, 137);
  EXPECT_EQ(t.title, "無音区切りの設定");
  EXPECT_EQ(t.Find(IDC_SS_AUTO)->text, "自動");
  EXPECT_EQ(t.Find(IDC_SS_DROP)->text, "区切った結果が短いときは保存しない");

  m_settings.RecSilentThreshold = 12;
  m_settings.RecSilentTimeSpan = 3;
  m_settings.m_bDropWave = true;
  m_settings.m_dwDropWaveLen = 44100;
  m_settings.PriGapLen = 100;
  m_settings.PostGapLen = 50;
  Run([](ui::HeadlessWindow& w) {
    EXPECT_EQ(w.GetDlgItemText(IDC_SS_THRESHOLD), "12");
    EXPECT_EQ(w.GetDlgItemText(IDC_SS_TIMESPAN), "3");
    EXPECT_EQ(w.GetDlgItemText(IDC_SS_DROPLEN), "44100");
    EXPECT_EQ(w.GetDlgItemText(IDC_SS_PRIGAP), "100");
    EXPECT_EQ(w.GetDlgItemText(IDC_SS_POSTGAP), "50");
    EXPECT_TRUE(w.IsDlgButtonChecked(IDC_SS_DROP));
    for (int id : {IDC_SS_TIMESPAN_UNIT, IDC_SS_DROPLEN_UNIT, IDC_SS_PRIGAP_UNIT, IDC_SS_POSTGAP_UNIT}) {
      EXPECT_FALSE(w.IsDlgItemEnabled(id));
      EXPECT_EQ(w.GetCurSel(id), 0);
    }
    EXPECT_EQ(w.GetItemText(IDC_SS_TIMESPAN_UNIT, 0), "x1024samples");
    EXPECT_EQ(w.GetItemText(IDC_SS_PRIGAP_UNIT, 0), "samples");
    w.Click(ui::IDCANCEL);
  });
}

TEST_F(SilenceSplitDlgTest, AutoProposesTheLevelPlusATenthRoundedUp) {
  for (auto [level, shown] : std::vector<std::pair<std::uint32_t, std::string>>{{95, "105"}, {0, "0"}, {1, "2"}, {100, "110"}}) {
    m_nLevel = level;
    Run([&, shown = shown](ui::HeadlessWindow& w) {
      w.Click(IDC_SS_AUTO);
      EXPECT_EQ(w.GetDlgItemText(IDC_SS_THRESHOLD), shown);
      EXPECT_EQ(w.GetDlgItemText(IDC_SS_TIMESPAN), "1");  // the other fields stay
      w.Click(ui::IDCANCEL);
    });
  }
  EXPECT_EQ(m_settings.RecSilentThreshold, 0);  // nothing stored without OK
}

TEST_F(SilenceSplitDlgTest, OkRefusesAnythingButAnUnsignedNumberAndStoresAllFields) {
  for (const char* bad : {"-5", "3.5", "", "  ", "1 2", "+7", "abc", "99999999999"}) {
    bool open = false;
    int focused = 0;
    Run([&](ui::HeadlessWindow& w) {
      w.Type(IDC_SS_PRIGAP, "77");
      w.Type(IDC_SS_THRESHOLD, bad);
      w.Click(ui::IDOK);
      open = !w.Ended();
      focused = w.Focused();
      w.Click(ui::IDCANCEL);
    });
    EXPECT_TRUE(open) << bad;
    EXPECT_EQ(focused, IDC_SS_THRESHOLD) << bad;
    EXPECT_EQ(m_host.Boxes().back().text, "正の整数を入力してください。") << bad;
    EXPECT_EQ(m_settings.PriGapLen, 0) << bad;
  }

  m_host.ClearBoxes();
  const int result = Run([](ui::HeadlessWindow& w) {
    w.Type(IDC_SS_THRESHOLD, " 300 ");
    w.Type(IDC_SS_TIMESPAN, "3\t");
    w.Type(IDC_SS_DROPLEN, "22050");
    w.Type(IDC_SS_PRIGAP, "100");
    w.Type(IDC_SS_POSTGAP, "0");
    w.Click(IDC_SS_DROP);
    EXPECT_TRUE(w.IsDlgItemEnabled(IDC_SS_DROPLEN));
    w.Click(ui::IDOK);
  });
  EXPECT_EQ(result, ui::IDOK);
  EXPECT_TRUE(m_host.Boxes().empty());
  EXPECT_EQ(m_settings.RecSilentThreshold, 300);
  EXPECT_EQ(m_settings.RecSilentTimeSpan, 3);
  EXPECT_EQ(m_settings.m_dwDropWaveLen, 22050);
  EXPECT_EQ(m_settings.PriGapLen, 100);
  EXPECT_EQ(m_settings.PostGapLen, 0);
  EXPECT_TRUE(m_settings.m_bDropWave);
}

TEST_F(SilenceSplitDlgTest, GapsNoTrackCanHoldAreRefused) {
  bool open = false;
  Run([&](ui::HeadlessWindow& w) {
    w.Type(IDC_SS_PRIGAP, "600000000");
    w.Type(IDC_SS_POSTGAP, "600000000");  // 2 x 2.4 GB of silence in a 4 GB track
    w.Click(ui::IDOK);
    open = !w.Ended();
    w.Click(ui::IDCANCEL);
  });
  EXPECT_TRUE(open);
  ASSERT_FALSE(m_host.Boxes().empty());
  EXPECT_EQ(m_host.Boxes().back().text, kGapsTooLong);
  EXPECT_EQ(m_settings.PostGapLen, 0);
  EXPECT_TRUE(TrackWriter::GapsFit(500000000, 500000000, 4096));
  EXPECT_FALSE(TrackWriter::GapsFit(0, 1073741815, 4096));
}

}  // namespace
}  // namespace mivo
