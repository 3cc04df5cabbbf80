#include "app/about_dlg.h"

#include "settings/recorder_ids.h"

namespace mivo {

const ui::DialogTemplate& AboutTemplate() {
  static const ui::DialogTemplate tmpl = [] {
    using K = ui::ControlKind;
    ui::DialogTemplate t;
    t.id = IDD_ABOUTBOX;
    t.title = "ﾊﾞｰｼﾞｮﾝ情報 Mivo";
    t.width = 219;
    t.height = 105;
    t.controls = {
        {IDR_MAINFRAME, K::Icon, "", ui::Rect{11, 10, 20, 20}, 0, 0},
        {-1, K::Static, kVersionText, ui::Rect{40, 12, 170, 10}, 0, 0},
        {IDC_ENCODER_INFO, K::Edit, "", ui::Rect{40, 28, 170, 46},
         ui::kReadOnly | ui::kMultiLine | ui::kBorder | ui::kVScroll, 0},
        {ui::IDOK, K::DefButton, "OK", ui::Rect{160, 82, 50, 16}, 0, 0},
    };
    return t;
  }();
  return tmpl;
}

CAboutDlg::CAboutDlg(std::string encoderInfo)
    : ui::CDialog(AboutTemplate()), m_strEncoderInfo(std::move(encoderInfo)) {}

bool CAboutDlg::OnInitDialog() {
  Wnd().SetDlgItemText(IDC_ENCODER_INFO, m_strEncoderInfo);
  return true;
}

}  // namespace mivo
