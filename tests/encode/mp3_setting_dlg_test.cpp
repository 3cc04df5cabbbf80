// The MP3 settings dialog: its mapping between settings and controls, the
// enabling rules and the extension's length, played on the headless host.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "encode/mp3_setting_dlg.h"
#include "platform/ui/headless/headless_host.h"
#include "settings/recorder_settings.h"

namespace mivo {
namespace {

using ui::HeadlessWindow;

// Runs the dialog on `s`: `play` acts as the user, then OK is pressed
// unless `play` ended the dialog itself. Returns whether settings were written.
bool RunDialog(RecorderSettings& s, const std::function<void(HeadlessWindow&)>& play, ui::HeadlessHost* hostOut = nullptr) {
  ui::HeadlessHost local;
  ui::HeadlessHost& host = hostOut ? *hostOut : local;
  host.QueueScript(IDD_MP3_SETTING, [&](HeadlessWindow& w) {
    play(w);
    if (!w.Ended()) w.Click(ui::IDOK);
  });
  return EditMp3Settings(host, nullptr, s);
}

std::string Shown(HeadlessWindow& w, int id) { return w.GetItemText(id, w.GetCurSel(id)); }

TEST(Mp3SettingDlg, StoredValuesShowAndComeBackAsTheTablesSay) {
  struct Case {
    const char* what;
    std::function<void(RecorderSettings&)> store;
    std::function<void(HeadlessWindow&)> check;
    std::function<void(const RecorderSettings&)> after;
  } cases[] = {
      {"bit rate in the list", [](RecorderSettings& s) { s.MC_BITRATE = 192; },
       [](HeadlessWindow& w) { EXPECT_EQ(Shown(w, IDC_MP3_BITRATE), "192"); },
       [](const RecorderSettings& s) { EXPECT_EQ(s.MC_BITRATE, 192); }},
      {"bit rate not in the list", [](RecorderSettings& s) { s.MC_BITRATE = 100; },
       [](HeadlessWindow& w) { EXPECT_EQ(Shown(w, IDC_MP3_BITRATE), "128"); },
       [](const RecorderSettings& s) { EXPECT_EQ(s.MC_BITRATE, 128); }},
      {"output rate 11025", [](RecorderSettings& s) { s.MC_OUTFREQ = 11025; },
       [](HeadlessWindow& w) { EXPECT_EQ(Shown(w, IDC_MP3_OUTFREQ), "44100"); },
       [](const RecorderSettings& s) { EXPECT_EQ(s.MC_OUTFREQ, 44100); }},
      {"encode mode 7", [](RecorderSettings& s) { s.MC_ENCODEMODE = 7; },
       [](HeadlessWindow& w) { EXPECT_EQ(w.GetCurSel(IDC_MP3_ENCODEMODE), -1); },
       [](const RecorderSettings& s) { EXPECT_EQ(s.MC_ENCODEMODE, -1); }},
      {"indexes as stored", [](RecorderSettings& s) { s.MC_EMPHASIS = 2; s.m_GogoSetting.dwOutFmt = 1; s.MC_ENCODEMODE = 3; },
       [](HeadlessWindow& w) {
         EXPECT_EQ(Shown(w, IDC_MP3_EMPHASIS), "CCITT");
         EXPECT_EQ(Shown(w, IDC_MP3_OUTFMT), "WAV");
         EXPECT_EQ(Shown(w, IDC_MP3_ENCODEMODE), "ミッドサイドステレオ ");
       },
       [](const RecorderSettings& s) {
         EXPECT_EQ(s.MC_EMPHASIS, 2);
         EXPECT_EQ(s.m_GogoSetting.dwOutFmt, 1);
         EXPECT_EQ(s.MC_ENCODEMODE, 3);
       }},
      {"VBR box with 5 stored", [](RecorderSettings& s) { s.MC_BOOL_VBR = 5; s.MC_VBR = 5; },
       [](HeadlessWindow& w) {
         EXPECT_FALSE(w.IsDlgButtonChecked(IDC_MP3_BOOL_VBR));
         EXPECT_FALSE(w.IsDlgItemEnabled(IDC_MP3_VBR));
         EXPECT_EQ(Shown(w, IDC_MP3_VBR), "5");
       },
       [](const RecorderSettings& s) {
         EXPECT_EQ(s.MC_BOOL_VBR, 0);
         EXPECT_EQ(s.MC_VBR, 5);  // a disabled list keeps its value
       }},
      {"psychoacoustic and low-pass are checked for any non-zero value",
       [](RecorderSettings& s) { s.MC_USEPSY = 5; s.MC_USELPF16 = 0; },
       [](HeadlessWindow& w) {
         EXPECT_TRUE(w.IsDlgButtonChecked(IDC_MP3_USEPSY));
         EXPECT_FALSE(w.IsDlgButtonChecked(IDC_MP3_USELPF16));
       },
       [](const RecorderSettings& s) {
         EXPECT_EQ(s.MC_USEPSY, 1);
         EXPECT_EQ(s.MC_USELPF16, 0);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RecorderSettings s;
    c.store(s);
    EXPECT_TRUE(RunDialog(s, c.check));
    c.after(s);
  }
}

TEST(Mp3SettingDlg, CheckBoxesEnableTheirFieldsAndChoicesMapBack) {
  RecorderSettings s;
  s.MC_BOOL_OUTFREQ = 1;
  EXPECT_TRUE(RunDialog(s, [](HeadlessWindow& w) {
    EXPECT_TRUE(w.IsDlgItemEnabled(IDC_MP3_OUTFREQ));
    EXPECT_FALSE(w.IsDlgItemEnabled(IDC_MP3_VBR));
    EXPECT_FALSE(w.IsDlgItemEnabled(IDC_MP3_OUTFILEEXP));
    for (int id : {IDC_MP3_BITRATE, IDC_MP3_ENCODEMODE, IDC_MP3_EMPHASIS, IDC_MP3_OUTFMT, IDC_MP3_USEPSY,
                   IDC_MP3_USELPF16}) {
      EXPECT_TRUE(w.IsDlgItemEnabled(id)) << id;
    }
    w.Click(IDC_MP3_BOOL_OUTFREQ);
    EXPECT_FALSE(w.IsDlgItemEnabled(IDC_MP3_OUTFREQ));
    w.Click(IDC_MP3_BOOL_VBR);
    EXPECT_TRUE(w.IsDlgItemEnabled(IDC_MP3_VBR));
    w.Select(IDC_MP3_VBR, 0);
    w.Click(IDC_MP3_BOOL_OUTFILEEXP);
    EXPECT_TRUE(w.IsDlgItemEnabled(IDC_MP3_OUTFILEEXP));
    w.Type(IDC_MP3_OUTFILEEXP, ".mpga");
    w.Select(IDC_MP3_BITRATE, 13);
    w.Click(IDC_MP3_BOOL_OUTFREQ);
    w.Select(IDC_MP3_OUTFREQ, 0);
    w.Select(IDC_MP3_OUTFMT, 2);
  }));
  EXPECT_EQ(s.MC_BOOL_VBR, 1);
  EXPECT_EQ(s.MC_VBR, 0);
  EXPECT_EQ(s.m_GogoSetting.bOutFileExp, 1);
  EXPECT_STREQ(s.m_GogoSetting.pszOutFileExp, ".mpga");
  EXPECT_EQ(s.MC_BITRATE, 320);
  EXPECT_EQ(s.MC_BOOL_OUTFREQ, 1);
  EXPECT_EQ(s.MC_OUTFREQ, 16000);
  EXPECT_EQ(s.m_GogoSetting.dwOutFmt, 2);
}

TEST(Mp3SettingDlg, ExtensionLongerThanTenCharactersKeepsTheDialogOpen) {
  EXPECT_EQ(Mp3SettingTemplate().Find(IDC_MP3_OUTFILEEXP)->limit, kOutFileExpLimit);
  RecorderSettings s;
  s.m_GogoSetting.bOutFileExp = 1;
  s.SetOutFileExp(".mp3");
  ui::HeadlessHost host;
  EXPECT_TRUE(RunDialog(
      s,
      [](HeadlessWindow& w) {
        EXPECT_EQ(w.GetDlgItemText(IDC_MP3_OUTFILEEXP), ".mp3");
        w.Type(IDC_MP3_OUTFILEEXP, ".abcdefghij");  // 11 characters
        w.Click(ui::IDOK);
        EXPECT_FALSE(w.Ended());
        w.Type(IDC_MP3_OUTFILEEXP, "ながいかくちょうしです");  // 11 characters, more bytes
        w.Click(ui::IDOK);
        EXPECT_FALSE(w.Ended());
        w.Type(IDC_MP3_OUTFILEEXP, ".abcdefghi");  // 10
      },
      &host));
  const auto boxes = host.Boxes();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].text, "10 文字以内で入力してください。");
  EXPECT_EQ(boxes[0].type, ui::MB_OK | ui::MB_ICONEXCLAMATION);
  EXPECT_STREQ(s.m_GogoSetting.pszOutFileExp, ".abcdefghi");
}

TEST(Mp3SettingDlg, CancelChangesNothing) {
  RecorderSettings s;
  s.MC_BITRATE = 100;
  s.MC_ENCODEMODE = 7;
  const RecorderSettings before = s;
  EXPECT_FALSE(RunDialog(s, [](HeadlessWindow& w) {
    w.Select(IDC_MP3_BITRATE, 0);
    w.Click(IDC_MP3_BOOL_VBR);
    w.Click(ui::IDCANCEL);
  }));
  EXPECT_EQ(s.MC_BITRATE, before.MC_BITRATE);
  EXPECT_EQ(s.MC_ENCODEMODE, before.MC_ENCODEMODE);
  EXPECT_EQ(s.MC_BOOL_VBR, before.MC_BOOL_VBR);
}

}  // namespace
}  // namespace mivo
