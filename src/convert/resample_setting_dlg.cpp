#include "convert/resample_setting_dlg.h"

namespace mivo {
namespace {

using ui::ControlKind;
using ui::Rect;

ui::DialogTemplate MakeTemplate() {
  ui::DialogTemplate t;
  t.id = IDD_RESAMPLE_SETTING;
  t.title = "サンプリングレート変換の設定";
  t.width = 186;
  t.height = 92;
  using K = ControlKind;
  t.Add(-1, K::GroupBox, "変換方式", Rect{7, 4, 172, 62});
  t.Add(IDC_CONV_LINEAR, K::RadioButton, "直線補間 (高速)", Rect{14, 17, 100, 10}, ui::kGroup);
  t.Add(IDC_CONV_PRECISE, K::RadioButton, "高精度 (低速)", Rect{14, 31, 100, 10});
  t.Add(-1, K::Static, "精度", Rect{26, 48, 22, 9});
  t.Add(IDC_FS44_PRECISION, K::DropList, "low\nmid\nHigh\nUltraHigh", Rect{50, 46, 64, 12});
  t.Add(ui::IDOK, K::DefButton, "OK", Rect{72, 72, 50, 14});
  t.Add(ui::IDCANCEL, K::Button, "ｷｬﾝｾﾙ", Rect{128, 72, 50, 14});
  return t;
}

}  // namespace

const ui::DialogTemplate& ResampleSettingTemplate() {
  static const ui::DialogTemplate t = MakeTemplate();
  return t;
}

CResampleSettingDlg::CResampleSettingDlg(RecorderSettings& settings)
    : ui::CDialog(ResampleSettingTemplate()), m_settings(settings), m_nConvKind(settings.m_nConvKind) {}

bool CResampleSettingDlg::OnInitDialog() {
  ui::IWindow& w = Wnd();
  w.CheckDlgButton(IDC_CONV_LINEAR, m_nConvKind == 0);
  w.CheckDlgButton(IDC_CONV_PRECISE, m_nConvKind == 1);
  w.EnableDlgItem(IDC_FS44_PRECISION, m_nConvKind == 1);
  w.SetCurSel(IDC_FS44_PRECISION, m_settings.m_nFs44Precision);
  return true;
}

void CResampleSettingDlg::OnCommand(int id, int code) {
  if (code == ui::BN_CLICKED && (id == IDC_CONV_LINEAR || id == IDC_CONV_PRECISE)) {
    m_nConvKind = id == IDC_CONV_LINEAR ? 0 : 1;
    Wnd().EnableDlgItem(IDC_FS44_PRECISION, m_nConvKind == 1);
    return;
  }
  ui::CDialog::OnCommand(id, code);
}

void CResampleSettingDlg::OnOK() {
  const int selected = Wnd().GetCurSel(IDC_FS44_PRECISION);
  // A precision outside the list (an edited settings file) shows no item;
  // it stays as it was unless one is picked.
  if (selected >= 0) m_settings.m_nFs44Precision = selected;
  m_settings.m_nConvKind = m_nConvKind;
  Wnd().EndDialog(ui::IDOK);
}

}  // namespace mivo
