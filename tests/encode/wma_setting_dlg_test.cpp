// The WMA settings dialog on the headless host: the list filled from the
// profile manager, the stored index, the WMA8 box switching sets, and what
// OK and Cancel write back.
#include <gtest/gtest.h>

#include <functional>

#include "encode/wma_encoder.h"
#include "encode/wma_setting_dlg.h"
#include "platform/ui/headless/headless_host.h"
#include "platform/wm/system_profiles.h"
#include "settings/recorder_settings.h"

namespace mivo {
namespace {

namespace wm = platform::wm;
using ui::HeadlessWindow;

std::string NameOf(wm::WMT_VERSION version, int number) {
  return wm::SystemProfileName(wm::SystemProfiles(version)[static_cast<std::size_t>(number)]);
}

// Runs the dialog from the stored settings; `play` acts as the user and
// ends the dialog (OK when it did not). Returns whether settings were written.
bool RunDialog(RecorderSettings& s, const std::function<void(HeadlessWindow&)>& play) {
  ui::HeadlessHost host;
  host.QueueScript(IDD_WMA_SETTING, [&](HeadlessWindow& w) {
    play(w);
    if (!w.Ended()) w.Click(ui::IDOK);
  });
  return EditWmaSettings(host, nullptr, s);
}

RecorderSettings Stored(int index, bool wma8, bool drm = false) {
  RecorderSettings s;
  s.m_WmaSetting.nProfileIndex = index;
  s.m_WmaSetting.bUseWMA8 = wma8;
  s.m_WmaSetting.bUseDRM = drm;
  return s;
}

TEST(WmaSettingDlg, TheStoredIndexSelectsItsProfileOrNone) {
  struct Case {
    const char* what;
    int stored;
    bool wma8;
    int selected;
    std::string label;
  } cases[] = {
      {"none chosen", 0, true, 0, kWmaNoProfile},
      {"3 with WMA8: profile 2 of version 7.0", 3, true, 3, NameOf(wm::WMT_VER_7_0, 2)},
      {"10 without WMA8: the default, profile 9 of version 4.0", 10, false, 10, NameOf(wm::WMT_VER_4_0, 9)},
      {"one past the last item of version 7.0", 27, true, 0, kWmaNoProfile},
      {"one past the last item of version 4.0", 22, false, 0, kWmaNoProfile},
      {"negative", -1, true, 0, kWmaNoProfile},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RecorderSettings s = Stored(c.stored, c.wma8);
    EXPECT_TRUE(RunDialog(s, [&](HeadlessWindow& w) {
      EXPECT_EQ(w.GetCount(IDC_WMA_PROFILES), c.wma8 ? 27 : 22);
      EXPECT_EQ(w.GetItemText(IDC_WMA_PROFILES, 0), kWmaNoProfile);
      EXPECT_EQ(w.GetCurSel(IDC_WMA_PROFILES), c.selected);
      EXPECT_EQ(w.GetDlgItemText(IDC_WMA_PROFILE_NAME), c.label);
      EXPECT_EQ(w.WaitCursorDepth(), 0);
      EXPECT_GE(w.WaitCursorsShown(), 1);
    }));
    EXPECT_EQ(s.m_WmaSetting.nProfileIndex, c.selected);
  }
  // The list's items are the profile manager's, in its order.
  RecorderSettings s = Stored(0, true);
  RunDialog(s, [](HeadlessWindow& w) {
    for (int k = 1; k < w.GetCount(IDC_WMA_PROFILES); ++k) {
      EXPECT_EQ(w.GetItemText(IDC_WMA_PROFILES, k), NameOf(wm::WMT_VER_7_0, k - 1));
    }
  });
}

TEST(WmaSettingDlg, TheWma8BoxSwitchesSetsAndAlwaysStartsWithNone) {
  RecorderSettings s = Stored(5, true);
  EXPECT_TRUE(RunDialog(s, [](HeadlessWindow& w) {
    w.Select(IDC_WMA_PROFILES, 7);
    EXPECT_EQ(w.GetDlgItemText(IDC_WMA_PROFILE_NAME), NameOf(wm::WMT_VER_7_0, 6));
    w.Click(IDC_WMA_WMA8);
    EXPECT_EQ(w.GetCount(IDC_WMA_PROFILES), 22);
    EXPECT_EQ(w.GetItemText(IDC_WMA_PROFILES, 8), NameOf(wm::WMT_VER_4_0, 7));
    w.Select(IDC_WMA_PROFILES, 4);
    w.Click(IDC_WMA_WMA8);
    EXPECT_EQ(w.GetCount(IDC_WMA_PROFILES), 27);
    EXPECT_EQ(w.GetCurSel(IDC_WMA_PROFILES), 0);
    EXPECT_EQ(w.GetDlgItemText(IDC_WMA_PROFILE_NAME), kWmaNoProfile);
  }));
  EXPECT_EQ(s.m_WmaSetting.nProfileIndex, 0);
  EXPECT_TRUE(s.m_WmaSetting.bUseWMA8);

  // Switched once and taken: the other set, none chosen.
  s = Stored(5, true);
  EXPECT_TRUE(RunDialog(s, [](HeadlessWindow& w) { w.Click(IDC_WMA_WMA8); }));
  EXPECT_FALSE(s.m_WmaSetting.bUseWMA8);
  EXPECT_EQ(s.m_WmaSetting.nProfileIndex, 0);
}

TEST(WmaSettingDlg, OkNeedsASelectionAndCancelWritesNothing) {
  RecorderSettings s = Stored(4, true);
  EXPECT_FALSE(RunDialog(s, [](HeadlessWindow& w) {
    w.Select(IDC_WMA_PROFILES, -1);
    EXPECT_EQ(w.GetDlgItemText(IDC_WMA_PROFILE_NAME), kWmaNoProfile);
    w.Click(ui::IDOK);
    EXPECT_FALSE(w.Ended());
    w.Click(IDC_WMA_WMA8);
    w.Select(IDC_WMA_PROFILES, 3);
    w.Click(ui::IDCANCEL);
  }));
  EXPECT_EQ(s.m_WmaSetting.nProfileIndex, 4);
  EXPECT_TRUE(s.m_WmaSetting.bUseWMA8);
}

TEST(WmaSettingDlg, TheDrmBoxShowsItsValueAndCannotBeChanged) {
  for (const bool drm : {false, true}) {
    RecorderSettings s = Stored(2, false, drm);
    EXPECT_TRUE(RunDialog(s, [&](HeadlessWindow& w) {
      EXPECT_FALSE(w.IsDlgItemEnabled(IDC_WMA_DRM));
      EXPECT_FALSE(w.IsDlgItemEnabled(IDC_WMA_HELP));
      EXPECT_EQ(w.IsDlgButtonChecked(IDC_WMA_DRM), drm);
      w.Click(IDC_WMA_DRM);
      w.Select(IDC_WMA_PROFILES, 6);
    }));
    EXPECT_EQ(s.m_WmaSetting.bUseDRM, drm);
    EXPECT_EQ(s.m_WmaSetting.nProfileIndex, 6);
  }
}

TEST(WmaSettingDlg, WithoutAProfileManagerTheListHoldsOnlyNone) {
  WmaPlatform none;
  none.createProfileManager = [](wm::IWMProfileManager**) { return platform::E_FAIL; };
  CWmaSettingDlg dlg(WmaSettingValues{3, false, true}, &none);
  ui::HeadlessHost host;
  HeadlessWindow& w = host.Open(dlg);
  EXPECT_EQ(w.GetCount(IDC_WMA_PROFILES), 1);
  EXPECT_EQ(w.GetCurSel(IDC_WMA_PROFILES), 0);
  EXPECT_EQ(w.GetDlgItemText(IDC_WMA_PROFILE_NAME), kWmaNoProfile);
  host.Destroy(w);
}

}  // namespace
}  // namespace mivo
