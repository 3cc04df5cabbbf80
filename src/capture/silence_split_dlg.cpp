#include "capture/silence_split_dlg.h"

#include <array>
#include <cstdio>
#include <string>

#include "capture/capture_ids.h"
#include "capture/track_writer.h"

namespace mivo {
namespace {

using ui::ControlKind;
using ui::Rect;

ui::DialogTemplate MakeTemplate() {
  ui::DialogTemplate t;
  t.id = IDD_SILENCE_SPLIT;
  t.title = "無音区切りの設定";
  t.width = 236;
  t.height = 150;
  const unsigned unit = ui::kDisabled;
  t.Add(-1, ControlKind::Static, "音量閾値", Rect{8, 10, 96, 10});
  t.Add(IDC_SS_THRESHOLD, ControlKind::Edit, "", Rect{108, 8, 50, 12}, ui::kRightAlign);
  t.Add(IDC_SS_AUTO, ControlKind::Button, "自動", Rect{164, 7, 40, 14});
  t.Add(-1, ControlKind::Static, "継続時間", Rect{8, 28, 96, 10});
  t.Add(IDC_SS_TIMESPAN, ControlKind::Edit, "", Rect{108, 26, 50, 12}, ui::kRightAlign);
  t.Add(IDC_SS_TIMESPAN_UNIT, ControlKind::DropList, "x1024samples\nミリ秒", Rect{164, 26, 64, 12}, unit);
  t.Add(IDC_SS_DROP, ControlKind::CheckBox, "区切った結果が短いときは保存しない", Rect{8, 46, 220, 10});
  t.Add(IDC_SS_DROPLEN, ControlKind::Edit, "", Rect{108, 60, 50, 12}, ui::kRightAlign);
  t.Add(IDC_SS_DROPLEN_UNIT, ControlKind::DropList, "samples\nミリ秒", Rect{164, 60, 64, 12}, unit);
  t.Add(-1, ControlKind::Static, "曲の先頭に挿入する無音時間", Rect{8, 80, 96, 10});
  t.Add(IDC_SS_PRIGAP, ControlKind::Edit, "", Rect{108, 78, 50, 12}, ui::kRightAlign);
  t.Add(IDC_SS_PRIGAP_UNIT, ControlKind::DropList, "samples\nミリ秒", Rect{164, 78, 64, 12}, unit);
  t.Add(-1, ControlKind::Static, "曲の最後に挿入する無音時間", Rect{8, 98, 96, 10});
  t.Add(IDC_SS_POSTGAP, ControlKind::Edit, "", Rect{108, 96, 50, 12}, ui::kRightAlign);
  t.Add(IDC_SS_POSTGAP_UNIT, ControlKind::DropList, "samples\nミリ秒", Rect{164, 96, 64, 12}, unit);
  t.Add(ui::IDOK, ControlKind::DefButton, "OK", Rect{120, 128, 50, 14});
  t.Add(ui::IDCANCEL, ControlKind::Button, "ｷｬﾝｾﾙ", Rect{178, 128, 50, 14});
  return t;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

std::string Unsigned(std::int32_t value) { return std::to_string(static_cast<std::uint32_t>(value)); }

}  // namespace

const ui::DialogTemplate& SilenceSplitTemplate() {
  static const ui::DialogTemplate tmpl = MakeTemplate();
  return tmpl;
}

std::optional<std::int32_t> ParseUnsignedSetting(std::string_view text) {
  std::size_t first = 0, last = text.size();
  while (first < last && IsBlank(text[first])) ++first;
  while (last > first && IsBlank(text[last - 1])) --last;
  if (first == last) return std::nullopt;
  std::int64_t value = 0;
  for (std::size_t i = first; i < last; ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + (text[i] - '0');
    if (value > INT32_MAX) return std::nullopt;  // more than a setting holds
  }
  return static_cast<std::int32_t>(value);
}

bool CSilenceSplitDlg::OnInitDialog() {
  ui::IWindow& w = Wnd();
  w.SetDlgItemText(IDC_SS_THRESHOLD, Unsigned(m_settings.RecSilentThreshold));
  w.SetDlgItemText(IDC_SS_TIMESPAN, Unsigned(m_settings.RecSilentTimeSpan));
  w.SetDlgItemText(IDC_SS_DROPLEN, Unsigned(m_settings.m_dwDropWaveLen));
  w.SetDlgItemText(IDC_SS_PRIGAP, Unsigned(m_settings.PriGapLen));
  w.SetDlgItemText(IDC_SS_POSTGAP, Unsigned(m_settings.PostGapLen));
  w.CheckDlgButton(IDC_SS_DROP, m_settings.m_bDropWave);
  for (int id : {IDC_SS_TIMESPAN_UNIT, IDC_SS_DROPLEN_UNIT, IDC_SS_PRIGAP_UNIT, IDC_SS_POSTGAP_UNIT}) {
    w.SetCurSel(id, 0);
  }
  return true;
}

void CSilenceSplitDlg::OnCommand(int id, int code) {
  if (id == IDC_SS_AUTO && code == ui::BN_CLICKED) {
    // The level of the background noise plus the smallest whole number not
    // below a tenth of it.
    const std::uint32_t level = m_level ? m_level() : 0;
    char text[16];
    std::snprintf(text, sizeof text, "%d", static_cast<int>(level + (level + 9) / 10));
    Wnd().SetDlgItemText(IDC_SS_THRESHOLD, text);
    return;
  }
  ui::CDialog::OnCommand(id, code);
}

void CSilenceSplitDlg::OnOK() {
  ui::IWindow& w = Wnd();
  constexpr std::array<int, 5> ids = {IDC_SS_THRESHOLD, IDC_SS_TIMESPAN, IDC_SS_DROPLEN, IDC_SS_PRIGAP,
                                      IDC_SS_POSTGAP};
  std::array<std::int32_t, 5> values{};
  for (std::size_t i = 0; i < ids.size(); ++i) {
    const std::optional<std::int32_t> v = ParseUnsignedSetting(w.GetDlgItemText(ids[i]));
    if (!v) {
      // The dialog stays open, with the focus on the field to correct.
      w.MessageBox(kNotAPositiveInteger, ui::kAppTitle, ui::MB_OK | ui::MB_ICONEXCLAMATION);
      w.SetFocus(ids[i]);
      return;
    }
    values[i] = *v;
  }
  // Gaps no track could hold would make every track fail as a write error.
  const std::uint64_t bufferBytes = std::uint64_t{m_settings.m_nWaveInBufSize > 0
                                                      ? static_cast<std::uint32_t>(m_settings.m_nWaveInBufSize)
                                                      : 0u} * 4;
  if (!TrackWriter::GapsFit(values[3], values[4], bufferBytes)) {
    w.MessageBox(kGapsTooLong, ui::kAppTitle, ui::MB_OK | ui::MB_ICONEXCLAMATION);
    w.SetFocus(IDC_SS_POSTGAP);
    return;
  }
  m_settings.RecSilentThreshold = values[0];
  m_settings.RecSilentTimeSpan = values[1];
  m_settings.m_dwDropWaveLen = values[2];
  m_settings.PriGapLen = values[3];
  m_settings.PostGapLen = values[4];
  m_settings.m_bDropWave = w.IsDlgButtonChecked(IDC_SS_DROP);
  w.EndDialog(ui::IDOK);
}

}  // namespace mivo
