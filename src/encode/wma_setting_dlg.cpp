#include "encode/wma_setting_dlg.h"

#include <memory>
#include <new>

#include "encode/wma_encoder.h"
#include "settings/recorder_settings.h"

namespace mivo {
namespace {

namespace wm = platform::wm;
using platform::ComPtr;
using platform::FAILED;

ui::DialogTemplate MakeTemplate() {
  using K = ui::ControlKind;
  using ui::Rect;
  ui::DialogTemplate t;
  t.id = IDD_WMA_SETTING;
  t.title = "WMA の設定";
  t.width = 250;
  t.height = 225;
  t.Add(IDC_WMA_PROFILE_NAME, K::Static, kWmaNoProfile, Rect{7, 7, 236, 10});
  t.Add(IDC_WMA_PROFILES, K::ListBox, "", Rect{7, 20, 236, 150}, ui::kBorder | ui::kVScroll);
  t.Add(IDC_WMA_WMA8, K::CheckBox, "WMA8 を使う(&W)", Rect{7, 176, 110, 10});
  t.Add(IDC_WMA_DRM, K::CheckBox, "DRM を使う(&D)", Rect{7, 190, 110, 10}, ui::kDisabled);
  t.Add(ui::IDOK, K::DefButton, "OK", Rect{81, 204, 50, 14});
  t.Add(ui::IDCANCEL, K::Button, "ｷｬﾝｾﾙ", Rect{137, 204, 50, 14});
  t.Add(IDC_WMA_HELP, K::Button, "ﾍﾙﾌﾟ(&H)", Rect{193, 204, 50, 14}, ui::kDisabled);
  return t;
}

}  // namespace

const ui::DialogTemplate& WmaSettingTemplate() {
  static const ui::DialogTemplate tmpl = MakeTemplate();
  return tmpl;
}

CWmaSettingDlg::CWmaSettingDlg(WmaSettingValues values, const WmaPlatform* platform)
    : ui::CDialog(WmaSettingTemplate()), m_values(values), m_platform(platform) {}

bool CWmaSettingDlg::OnInitDialog() {
  ui::IWindow& w = Wnd();
  w.CheckDlgButton(IDC_WMA_DRM, m_values.m_bUseDRM);
  w.CheckDlgButton(IDC_WMA_WMA8, m_values.m_bUseWMA8);
  FillProfiles();
  UpdateLabel();
  return true;
}

void CWmaSettingDlg::FillProfiles() {
  ui::IWindow& w = Wnd();
  const ui::WaitCursor wait(w);
  w.ResetContent(IDC_WMA_PROFILES);
  w.AddString(IDC_WMA_PROFILES, kWmaNoProfile);

  const WmaPlatform defaults;
  const WmaPlatform& platform = m_platform != nullptr ? *m_platform : defaults;
  ComPtr<wm::IWMProfileManager> manager;
  if (!FAILED(platform.createProfileManager(manager.Put())) && manager) {
    ComPtr<wm::IWMProfileManager2> manager2;
    const bool haveVersion = !FAILED(manager->QueryInterface(wm::IID_IWMProfileManager2, manager2.PutVoid())) &&
                             manager2;
    if (haveVersion) {
      static_cast<void>(manager2->SetSystemProfileVersion(m_values.m_bUseWMA8 ? wm::WMT_VER_7_0 : wm::WMT_VER_4_0));
      manager2.Reset();
      wm::DWORD count = 0;
      if (FAILED(manager->GetSystemProfileCount(&count))) count = 0;
      // The first profile that cannot be loaded or named ends the list.
      for (wm::DWORD i = 0; i < count; ++i) {
        ComPtr<wm::IWMProfile> profile;
        if (FAILED(manager->LoadSystemProfile(i, profile.Put())) || !profile) break;
        wm::DWORD length = 0;
        if (FAILED(profile->GetName(nullptr, &length)) || length == 0) break;
        const std::unique_ptr<platform::WCHAR[]> name(new (std::nothrow) platform::WCHAR[length]);
        if (!name || FAILED(profile->GetName(name.get(), &length))) break;
        w.AddString(IDC_WMA_PROFILES, platform::WideCharToMultiByte(name.get()));
      }
    }
  }

  // A stored index outside the list selects "未選択".
  if (m_values.m_nProfileIndex < 0 || m_values.m_nProfileIndex > w.GetCount(IDC_WMA_PROFILES) - 1) {
    m_values.m_nProfileIndex = 0;
  }
  w.SetCurSel(IDC_WMA_PROFILES, m_values.m_nProfileIndex);
}

void CWmaSettingDlg::UpdateLabel() {
  ui::IWindow& w = Wnd();
  const int sel = w.GetCurSel(IDC_WMA_PROFILES);
  w.SetDlgItemText(IDC_WMA_PROFILE_NAME, sel >= 0 ? w.GetItemText(IDC_WMA_PROFILES, sel) : kWmaNoProfile);
}

void CWmaSettingDlg::OnCommand(int id, int code) {
  ui::IWindow& w = Wnd();
  if (id == IDC_WMA_PROFILES && code == ui::LBN_SELCHANGE) {
    UpdateLabel();
    return;
  }
  if (id == IDC_WMA_WMA8 && code == ui::BN_CLICKED) {
    // The index counts within one set: a new set starts with none chosen.
    m_values.m_bUseDRM = w.IsDlgButtonChecked(IDC_WMA_DRM);
    m_values.m_bUseWMA8 = w.IsDlgButtonChecked(IDC_WMA_WMA8);
    m_values.m_nProfileIndex = 0;
    FillProfiles();
    UpdateLabel();
    return;
  }
  ui::CDialog::OnCommand(id, code);
}

void CWmaSettingDlg::OnOK() {
  ui::IWindow& w = Wnd();
  const int sel = w.GetCurSel(IDC_WMA_PROFILES);
  if (sel < 0) return;
  m_values.m_nProfileIndex = sel;
  m_values.m_bUseDRM = w.IsDlgButtonChecked(IDC_WMA_DRM);
  m_values.m_bUseWMA8 = w.IsDlgButtonChecked(IDC_WMA_WMA8);
  w.EndDialog(ui::IDOK);
}

bool EditWmaSettings(ui::IDialogHost& host, ui::IWindow* parent, RecorderSettings& settings) {
  WmaSetting& s = settings.m_WmaSetting;
  CWmaSettingDlg dlg(WmaSettingValues{s.nProfileIndex, s.bUseDRM, s.bUseWMA8});
  if (host.DoModal(dlg, parent) != ui::IDOK) return false;
  s.nProfileIndex = dlg.Values().m_nProfileIndex;
  s.bUseDRM = dlg.Values().m_bUseDRM;
  s.bUseWMA8 = dlg.Values().m_bUseWMA8;
  return true;
}

}  // namespace mivo
