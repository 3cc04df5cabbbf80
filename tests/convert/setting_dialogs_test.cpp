// The normalize and resampling settings dialogs, played on the headless
// host: fields in and out, the enable rules, the proposals from the live
// input and the validation messages.
#include <gtest/gtest.h>

#include "convert/normalize_setting_dlg.h"
#include "convert/resample_setting_dlg.h"
#include "platform/ui/headless/headless_host.h"

namespace mivo {
namespace {

// The capture side's last buffer, changed by the test between timer ticks.
struct FakeLive : ILiveInputLevels {
  std::uint32_t LastBufferLevel() const override { return level; }
  std::int32_t LastBufferMeanL() const override { return meanL; }
  std::int32_t LastBufferMeanR() const override { return meanR; }
  std::uint32_t level = 0;
  std::int32_t meanL = 0, meanR = 0;
};

struct NormalizeDialog {
  explicit NormalizeDialog(RecorderSettings& s, const ILiveInputLevels* live = nullptr)
      : dlg(s, live), w(host.Open(dlg)) {}
  ~NormalizeDialog() { host.Destroy(w); }
  ui::HeadlessHost host;
  CNormalizeSettingDlg dlg;
  ui::HeadlessWindow& w;
};

TEST(NormalizeSettingDlg, ShowsTheSettingsAndAppliesTheEnableRules) {
  RecorderSettings s;
  s.NormalizeLevel2 = 30000;
  s.NormalizeAuto = true;
  s.DcOffsetLevelL = -12;
  s.DcOffsetLevelR = 7;
  s.DcOffsetAuto = false;
  FakeLive live;
  NormalizeDialog d(s, &live);
  EXPECT_EQ(d.w.GetDlgItemText(IDC_NORM_LEVEL), "30000");
  EXPECT_EQ(d.w.GetDlgItemText(IDC_DC_LEFT), "-12");
  EXPECT_EQ(d.w.GetDlgItemText(IDC_DC_RIGHT), "7");
  EXPECT_TRUE(d.w.IsDlgButtonChecked(IDC_NORM_AUTO));
  EXPECT_FALSE(d.w.IsDlgItemEnabled(IDC_NORM_LEVEL));
  EXPECT_FALSE(d.w.IsDlgItemEnabled(IDC_NORM_PROPOSE));
  EXPECT_TRUE(d.w.IsDlgItemEnabled(IDC_DC_LEFT));
  EXPECT_TRUE(d.w.IsDlgItemEnabled(IDC_DC_PROPOSE));
  d.w.Click(IDC_NORM_AUTO);
  d.w.Click(IDC_DC_AUTO);
  EXPECT_TRUE(d.w.IsDlgItemEnabled(IDC_NORM_LEVEL));
  EXPECT_TRUE(d.w.IsDlgItemEnabled(IDC_NORM_PROPOSE));
  EXPECT_FALSE(d.w.IsDlgItemEnabled(IDC_DC_LEFT));
  EXPECT_FALSE(d.w.IsDlgItemEnabled(IDC_DC_RIGHT));
  EXPECT_FALSE(d.w.IsDlgItemEnabled(IDC_DC_PROPOSE));
}

TEST(NormalizeSettingDlg, OkWritesEveryFieldBackAndCancelNothing) {
  RecorderSettings s;
  {
    NormalizeDialog d(s);
    d.w.Click(IDC_NORM_AUTO);  // default on → off
    d.w.Type(IDC_NORM_LEVEL, "20000");
    d.w.Type(IDC_DC_LEFT, "-3");
    d.w.Type(IDC_DC_RIGHT, "-100000");  // the right offset has no range
    d.w.Click(IDC_DC_AUTO);             // default off → on
    d.w.PressEscape();
    EXPECT_EQ(d.w.Result(), ui::IDCANCEL);
  }
  EXPECT_EQ(s.NormalizeLevel2, RecorderSettings{}.NormalizeLevel2);
  EXPECT_EQ(s.NormalizeAuto, RecorderSettings{}.NormalizeAuto);
  EXPECT_EQ(s.DcOffsetAuto, RecorderSettings{}.DcOffsetAuto);
  NormalizeDialog d(s);
  d.w.Click(IDC_NORM_AUTO);
  d.w.Type(IDC_NORM_LEVEL, "20000");
  d.w.Type(IDC_DC_LEFT, " -3 ");
  d.w.Type(IDC_DC_RIGHT, "-100000");
  d.w.Click(IDC_DC_AUTO);
  d.w.Click(ui::IDOK);
  EXPECT_EQ(d.w.Result(), ui::IDOK);
  EXPECT_EQ(s.NormalizeLevel2, 20000);
  EXPECT_FALSE(s.NormalizeAuto);
  EXPECT_TRUE(s.DcOffsetAuto);
  EXPECT_EQ(s.DcOffsetLevelL, -3);
  EXPECT_EQ(s.DcOffsetLevelR, -100000);
  EXPECT_TRUE(d.host.Boxes().empty());
}

TEST(NormalizeSettingDlg, ValidationKeepsTheDialogOpenWithItsMessage) {
  struct Case {
    int id;
    const char* text;
    const char* message;
  };
  const Case cases[] = {
      {IDC_NORM_LEVEL, "", "整数を入力してください。"},
      {IDC_NORM_LEVEL, "12a", "整数を入力してください。"},
      {IDC_NORM_LEVEL, "0", "1 から 32768 までの整数を入力してください。"},
      {IDC_NORM_LEVEL, "32769", "1 から 32768 までの整数を入力してください。"},
      {IDC_DC_LEFT, "32768", "-32767 から 32767 までの整数を入力してください。"},
      {IDC_DC_LEFT, "-32768", "-32767 から 32767 までの整数を入力してください。"},
      {IDC_DC_RIGHT, "99999999999", "整数を入力してください。"},
  };
  for (const Case& c : cases) {
    RecorderSettings s;
    NormalizeDialog d(s);
    // Checked whether or not the edit is enabled (the level's is not here).
    d.w.SetDlgItemText(c.id, c.text);
    d.w.Click(ui::IDOK);
    EXPECT_FALSE(d.w.Ended()) << c.text;
    const auto boxes = d.host.Boxes();
    ASSERT_EQ(boxes.size(), 1u) << c.text;
    EXPECT_EQ(boxes[0].text, c.message);
    EXPECT_EQ(boxes[0].type, ui::MB_OK | ui::MB_ICONEXCLAMATION);
    EXPECT_TRUE(boxes[0].owned);
    EXPECT_EQ(d.w.Focused(), c.id) << c.text;  // the field to correct
  }
  // 32768 is accepted as a level although the label says 32767.
  RecorderSettings s;
  NormalizeDialog d(s);
  d.w.SetDlgItemText(IDC_NORM_LEVEL, "32768");
  d.w.Click(ui::IDOK);
  EXPECT_TRUE(d.w.Ended());
  EXPECT_EQ(s.NormalizeLevel2, 32768);
}

TEST(NormalizeSettingDlg, LevelProposalTakesTheLargestOfAHundredReadsWithoutBlocking) {
  RecorderSettings s;
  s.NormalizeAuto = false;
  FakeLive live;
  NormalizeDialog d(s, &live);
  d.w.Click(IDC_NORM_PROPOSE);
  EXPECT_FALSE(d.w.IsDlgItemEnabled(IDC_NORM_PROPOSE));
  // The window goes on between reads: the level changes from buffer to buffer.
  for (int i = 0; i < 99; ++i) {
    live.level = i == 40 ? 60000u : 1000u + i;
    d.w.AdvanceTime(CNormalizeSettingDlg::kProposalIntervalMs);
  }
  EXPECT_EQ(d.w.GetDlgItemText(IDC_NORM_LEVEL), "32767");  // not yet written
  live.level = 5;
  d.w.AdvanceTime(CNormalizeSettingDlg::kProposalIntervalMs);
  // A span above 32768 is proposed as it is; OK then refuses it.
  EXPECT_EQ(d.w.GetDlgItemText(IDC_NORM_LEVEL), "60000");
  EXPECT_TRUE(d.w.IsDlgItemEnabled(IDC_NORM_PROPOSE));
  EXPECT_FALSE(d.w.HasTimer(CNormalizeSettingDlg::kLevelTimer));
  d.w.Click(ui::IDOK);
  ASSERT_EQ(d.host.Boxes().size(), 1u);
  EXPECT_EQ(d.host.Boxes()[0].text, "1 から 32768 までの整数を入力してください。");
}

TEST(NormalizeSettingDlg, DcProposalAveragesAHundredReadsTruncatingTowardZero) {
  RecorderSettings s;
  FakeLive live;
  NormalizeDialog d(s, &live);
  live.meanL = -3;
  live.meanR = 2;
  d.w.Click(IDC_DC_PROPOSE);
  d.w.AdvanceTime(100 * CNormalizeSettingDlg::kProposalIntervalMs);
  EXPECT_EQ(d.w.GetDlgItemText(IDC_DC_LEFT), "-3");
  EXPECT_EQ(d.w.GetDlgItemText(IDC_DC_RIGHT), "2");
  // 99 reads of -1 and one of 0 average -0.99: truncated to 0.
  d.w.Click(IDC_DC_PROPOSE);
  for (int i = 0; i < 100; ++i) {
    live.meanL = i == 0 ? 0 : -1;
    live.meanR = i == 0 ? 0 : 1;
    d.w.AdvanceTime(CNormalizeSettingDlg::kProposalIntervalMs);
  }
  EXPECT_EQ(d.w.GetDlgItemText(IDC_DC_LEFT), "0");
  EXPECT_EQ(d.w.GetDlgItemText(IDC_DC_RIGHT), "0");
}

TEST(NormalizeSettingDlg, WithoutALiveInputTheProposalButtonsStayOff) {
  RecorderSettings s;
  s.NormalizeAuto = false;
  NormalizeDialog d(s, nullptr);
  EXPECT_FALSE(d.w.IsDlgItemEnabled(IDC_NORM_PROPOSE));
  EXPECT_FALSE(d.w.IsDlgItemEnabled(IDC_DC_PROPOSE));
}

TEST(ResampleSettingDlg, MethodAndPrecision) {
  RecorderSettings s;
  s.m_nConvKind = 1;
  s.m_nFs44Precision = 3;
  {
    ui::HeadlessHost host;
    CResampleSettingDlg dlg(s);
    ui::HeadlessWindow& w = host.Open(dlg);
    EXPECT_EQ(dlg.Template().title, "サンプリングレート変換の設定");
    EXPECT_TRUE(w.IsDlgButtonChecked(IDC_CONV_PRECISE));
    EXPECT_FALSE(w.IsDlgButtonChecked(IDC_CONV_LINEAR));
    EXPECT_TRUE(w.IsDlgItemEnabled(IDC_FS44_PRECISION));
    EXPECT_EQ(w.GetCurSel(IDC_FS44_PRECISION), 3);
    EXPECT_EQ(w.GetItemText(IDC_FS44_PRECISION, 0), "low");
    EXPECT_EQ(w.GetCount(IDC_FS44_PRECISION), 4);
    w.Click(IDC_CONV_LINEAR);
    EXPECT_FALSE(w.IsDlgItemEnabled(IDC_FS44_PRECISION));
    w.Click(IDC_CONV_PRECISE);
    w.Select(IDC_FS44_PRECISION, 0);
    w.Click(IDC_CONV_LINEAR);
    w.PressEscape();
    host.Destroy(w);
  }
  EXPECT_EQ(s.m_nConvKind, 1);
  EXPECT_EQ(s.m_nFs44Precision, 3);
  ui::HeadlessHost host;
  CResampleSettingDlg dlg(s);
  ui::HeadlessWindow& w = host.Open(dlg);
  w.Select(IDC_FS44_PRECISION, 2);
  w.Click(IDC_CONV_LINEAR);
  w.Click(ui::IDOK);
  EXPECT_EQ(w.Result(), ui::IDOK);
  EXPECT_EQ(s.m_nConvKind, 0);
  EXPECT_EQ(s.m_nFs44Precision, 2);
  host.Destroy(w);
}

TEST(SettingDialogs, TemplatesCarryTheirIdsAndTitles) {
  EXPECT_EQ(NormalizeSettingTemplate().id, 134);
  EXPECT_EQ(NormalizeSettingTemplate().title, "正規化の設定");
  EXPECT_EQ(ResampleSettingTemplate().id, 135);
  for (int id : {1051, 1052, 1053, 1054, 1055, 1056, 1057, 1, 2}) EXPECT_NE(NormalizeSettingTemplate().Find(id), nullptr) << id;
  for (int id : {1059, 1060, 1061, 1, 2}) EXPECT_NE(ResampleSettingTemplate().Find(id), nullptr) << id;
}

}  // namespace
}  // namespace mivo
