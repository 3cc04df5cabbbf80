#include "convert/normalize_setting_dlg.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>

#include "convert/setting_fields.h"

namespace mivo {
namespace {

using ui::ControlKind;
using ui::Rect;

ui::DialogTemplate MakeTemplate() {
  ui::DialogTemplate t;
  t.id = IDD_NORMALIZE_SETTING;
  t.title = "正規化の設定";
  t.width = 214;
  t.height = 184;
  using K = ControlKind;
  t.Add(-1, K::GroupBox, "正規化", Rect{7, 4, 200, 76});
  t.Add(-1, K::Static, "最大値にしたいレベル", Rect{14, 17, 90, 9});
  t.Add(IDC_NORM_LEVEL, K::Edit, "", Rect{14, 29, 46, 13}, ui::kNumber | ui::kBorder);
  t.Add(-1, K::Static, "1～32767", Rect{64, 31, 40, 9});
  t.Add(IDC_NORM_AUTO, K::CheckBox, "自動", Rect{14, 50, 40, 10});
  t.Add(IDC_NORM_PROPOSE, K::Button, "現在のレベルから\r\n自動判断", Rect{110, 14, 90, 22}, ui::kMultiLine);
  t.Add(-1, K::Static, "↑\r\nソースを再生中に何回か押して、一番大きな数字を選びましょう。",
      Rect{110, 38, 92, 38});
  t.Add(-1, K::GroupBox, "DC offset cancel", Rect{7, 84, 200, 76});
  t.Add(-1, K::Static, "L", Rect{14, 99, 8, 9});
  // The offsets may be negative: these edits take a minus sign too.
  t.Add(IDC_DC_LEFT, K::Edit, "", Rect{24, 97, 40, 13}, ui::kBorder);
  t.Add(-1, K::Static, "R", Rect{14, 116, 8, 9});
  t.Add(IDC_DC_RIGHT, K::Edit, "", Rect{24, 114, 40, 13}, ui::kBorder);
  t.Add(-1, K::Static, "-32767～32767", Rect{14, 131, 60, 9});
  t.Add(IDC_DC_AUTO, K::CheckBox, "自動", Rect{14, 144, 40, 10});
  t.Add(IDC_DC_PROPOSE, K::Button, "現在のレベルから\r\n自動判断", Rect{110, 94, 90, 22}, ui::kMultiLine);
  t.Add(-1, K::Static, "↑\r\n何回か押して、平均的な数字を選びましょう。", Rect{110, 118, 92, 38});
  t.Add(ui::IDOK, K::DefButton, "OK", Rect{98, 165, 50, 14});
  t.Add(ui::IDCANCEL, K::Button, "ｷｬﾝｾﾙ", Rect{154, 165, 50, 14});
  return t;
}

std::string Decimal(std::int64_t v) {
  char text[32];
  std::snprintf(text, sizeof text, "%lld", static_cast<long long>(v));
  return text;
}

}  // namespace

const ui::DialogTemplate& NormalizeSettingTemplate() {
  static const ui::DialogTemplate t = MakeTemplate();
  return t;
}

CNormalizeSettingDlg::CNormalizeSettingDlg(RecorderSettings& settings, const ILiveInputLevels* live)
    : ui::CDialog(NormalizeSettingTemplate()), m_settings(settings), m_live(live) {}

bool CNormalizeSettingDlg::OnInitDialog() {
  ui::IWindow& w = Wnd();
  w.SetDlgItemText(IDC_NORM_LEVEL, Decimal(m_settings.NormalizeLevel2));
  w.CheckDlgButton(IDC_NORM_AUTO, m_settings.NormalizeAuto);
  w.SetDlgItemText(IDC_DC_LEFT, Decimal(m_settings.DcOffsetLevelL));
  w.SetDlgItemText(IDC_DC_RIGHT, Decimal(m_settings.DcOffsetLevelR));
  w.CheckDlgButton(IDC_DC_AUTO, m_settings.DcOffsetAuto);
  ApplyEnableRule();
  return true;
}

void CNormalizeSettingDlg::ApplyEnableRule() {
  ui::IWindow& w = Wnd();
  const bool levelFixed = !w.IsDlgButtonChecked(IDC_NORM_AUTO);
  const bool dcFixed = !w.IsDlgButtonChecked(IDC_DC_AUTO);
  w.EnableDlgItem(IDC_NORM_LEVEL, levelFixed);
  w.EnableDlgItem(IDC_NORM_PROPOSE, levelFixed && m_nLevelReads < 0 && m_live != nullptr);
  w.EnableDlgItem(IDC_DC_LEFT, dcFixed);
  w.EnableDlgItem(IDC_DC_RIGHT, dcFixed);
  w.EnableDlgItem(IDC_DC_PROPOSE, dcFixed && m_nDcReads < 0 && m_live != nullptr);
}

void CNormalizeSettingDlg::OnCommand(int id, int code) {
  if (code == ui::BN_CLICKED) {
    switch (id) {
      case IDC_NORM_AUTO:
      case IDC_DC_AUTO:
        ApplyEnableRule();
        return;
      case IDC_NORM_PROPOSE:
        if (m_live && m_nLevelReads < 0) {
          m_nLevelReads = 0;
          m_dwLevelMax = 0;
          StartProposal(kLevelTimer, IDC_NORM_PROPOSE);
        }
        return;
      case IDC_DC_PROPOSE:
        if (m_live && m_nDcReads < 0) {
          m_nDcReads = 0;
          m_llSumL = m_llSumR = 0;
          StartProposal(kDcTimer, IDC_DC_PROPOSE);
        }
        return;
      default: break;
    }
  }
  ui::CDialog::OnCommand(id, code);
}

void CNormalizeSettingDlg::StartProposal(int timerId, int buttonId) {
  Wnd().EnableDlgItem(buttonId, false);
  Wnd().SetTimer(timerId, kProposalIntervalMs);
}

void CNormalizeSettingDlg::EndProposal(int timerId) {
  Wnd().KillTimer(timerId);
  ApplyEnableRule();
}

void CNormalizeSettingDlg::OnTimer(int timerId) {
  if (!m_live) return;
  if (timerId == kLevelTimer && m_nLevelReads >= 0) {
    m_dwLevelMax = std::max(m_dwLevelMax, m_live->LastBufferLevel());
    if (++m_nLevelReads == kProposalReads) {
      m_nLevelReads = -1;
      Wnd().SetDlgItemText(IDC_NORM_LEVEL, Decimal(m_dwLevelMax));
      EndProposal(kLevelTimer);
    }
  } else if (timerId == kDcTimer && m_nDcReads >= 0) {
    m_llSumL += m_live->LastBufferMeanL();
    m_llSumR += m_live->LastBufferMeanR();
    if (++m_nDcReads == kProposalReads) {
      m_nDcReads = -1;
      Wnd().SetDlgItemText(IDC_DC_LEFT, Decimal(m_llSumL / kProposalReads));
      Wnd().SetDlgItemText(IDC_DC_RIGHT, Decimal(m_llSumR / kProposalReads));
      EndProposal(kDcTimer);
    }
  }
}

void CNormalizeSettingDlg::OnOK() {
  ui::IWindow& w = Wnd();
  std::int32_t level = 0, left = 0, right = 0;
  if (!ReadIntField(w, IDC_NORM_LEVEL, 1, 32768, level)) return;
  if (!ReadIntField(w, IDC_DC_LEFT, -32767, 32767, left)) return;
  if (!ReadIntField(w, IDC_DC_RIGHT, std::nullopt, std::nullopt, right)) return;
  m_settings.NormalizeLevel2 = level;
  m_settings.NormalizeAuto = w.IsDlgButtonChecked(IDC_NORM_AUTO);
  m_settings.DcOffsetLevelL = left;
  m_settings.DcOffsetLevelR = right;
  m_settings.DcOffsetAuto = w.IsDlgButtonChecked(IDC_DC_AUTO);
  w.EndDialog(ui::IDOK);
}

void CNormalizeSettingDlg::OnDestroy() {
  Wnd().KillTimer(kLevelTimer);
  Wnd().KillTimer(kDcTimer);
  m_nLevelReads = m_nDcReads = -1;
}

}  // namespace mivo
