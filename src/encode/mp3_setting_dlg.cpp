#include "encode/mp3_setting_dlg.h"

#include <array>
#include <cstring>

#include "settings/recorder_settings.h"

namespace mivo {
namespace {

constexpr std::array<int, 14> kBitrates = {32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
constexpr std::array<int, 6> kOutFreqs = {16000, 22050, 24000, 32000, 44100, 48000};
constexpr int kDefaultBitrateIndex = 8;  // 128
constexpr int kDefaultOutFreqIndex = 4;  // 44100

// The dialog framework's message for a text over its length, with %1 = 10.
constexpr const char* kTooLong = "10 文字以内で入力してください。";

template <std::size_t N>
int IndexOf(const std::array<int, N>& table, int value, int otherwise) {
  for (std::size_t i = 0; i < N; ++i) {
    if (table[i] == value) return static_cast<int>(i);
  }
  return otherwise;
}

template <std::size_t N>
int ValueAt(const std::array<int, N>& table, int index, int otherwise) {
  return index >= 0 && index < static_cast<int>(N) ? table[static_cast<std::size_t>(index)] : otherwise;
}

// A stored check value: 1 checks the box; 2 (the third state, which these
// two-state boxes cannot show) checks it too; anything else leaves it clear.
bool CheckState(std::int32_t stored) { return stored == 1 || stored == 2; }

std::size_t Utf8Length(const std::string& text) {
  std::size_t n = 0;
  for (const char c : text) {
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++n;
  }
  return n;
}

ui::DialogTemplate MakeTemplate() {
  using K = ui::ControlKind;
  using ui::Rect;
  ui::DialogTemplate t;
  t.id = IDD_MP3_SETTING;
  t.title = "午後のこ～だの設定";
  t.width = 163;
  t.height = 225;
  t.Add(-1, K::Static, "ビットレート設定", Rect{8, 10, 62, 10});
  t.Add(IDC_MP3_BITRATE, K::DropList,
      "32\n40\n48\n56\n64\n80\n96\n112\n128\n160\n192\n224\n256\n320 ", Rect{72, 8, 50, 12});
  t.Add(-1, K::Static, "kbps", Rect{126, 10, 30, 10});
  t.Add(IDC_MP3_BOOL_OUTFREQ, K::CheckBox, "出力周波数指定", Rect{8, 27, 66, 10});
  t.Add(IDC_MP3_OUTFREQ, K::DropList, "16000\n22050\n24000\n32000\n44100\n48000", Rect{76, 25, 46, 12});
  t.Add(-1, K::Static, "Hz", Rect{126, 27, 20, 10});
  t.Add(-1, K::Static, "エンコードタイプ", Rect{8, 44, 62, 10});
  t.Add(IDC_MP3_ENCODEMODE, K::DropList,
      "モノラル/強制モノラル \nステレオ \nジョイントステレオ \nミッドサイドステレオ \nデュアルチャネル ",
      Rect{72, 42, 84, 12});
  t.Add(-1, K::Static, "エンファシスタイプ", Rect{8, 61, 62, 10});
  t.Add(IDC_MP3_EMPHASIS, K::DropList, "なし\n50/15ms\nCCITT", Rect{72, 59, 60, 12});
  t.Add(IDC_MP3_BOOL_VBR, K::CheckBox, "VBR", Rect{8, 78, 30, 10});
  t.Add(IDC_MP3_VBR, K::DropList, "0\n1\n2\n3\n4\n5\n6\n7\n8\n9", Rect{40, 76, 30, 12});
  t.Add(-1, K::Static, "高音質0～9高圧縮 ", Rect{74, 78, 84, 10});
  t.Add(IDC_MP3_USEPSY, K::CheckBox, "音響心理解析", Rect{8, 95, 120, 10});
  t.Add(IDC_MP3_USELPF16, K::CheckBox, "16KHz低帯域フィルタ ", Rect{8, 110, 120, 10});
  t.Add(-1, K::Static, "出力フォーマット指定", Rect{8, 127, 72, 10});
  t.Add(IDC_MP3_OUTFMT, K::DropList, "MP3\nWAV\nRMP", Rect{82, 125, 40, 12});
  t.Add(IDC_MP3_BOOL_OUTFILEEXP, K::CheckBox, "出力ファイル拡張子強制指定", Rect{8, 144, 120, 10});
  t.Add(IDC_MP3_OUTFILEEXP, K::Edit, "", Rect{20, 157, 60, 12}, ui::kBorder, kOutFileExpLimit);
  t.Add(-1, K::Static, "(拡張子をWAVにする場合はフォルダを変えましょう)", Rect{8, 173, 150, 20});
  t.Add(ui::IDOK, K::DefButton, "OK", Rect{30, 202, 46, 14});
  t.Add(ui::IDCANCEL, K::Button, "ｷｬﾝｾﾙ", Rect{88, 202, 46, 14});
  return t;
}

}  // namespace

const ui::DialogTemplate& Mp3SettingTemplate() {
  static const ui::DialogTemplate tmpl = MakeTemplate();
  return tmpl;
}

Mp3SettingValues Mp3SettingsIntoDialog(const RecorderSettings& s) {
  Mp3SettingValues v;
  v.m_nBitrate = IndexOf(kBitrates, s.MC_BITRATE, kDefaultBitrateIndex);
  v.m_nOutFreq = IndexOf(kOutFreqs, s.MC_OUTFREQ, kDefaultOutFreqIndex);
  v.m_nEncodeMode = s.MC_ENCODEMODE;
  v.m_nEmphasis = s.MC_EMPHASIS;
  v.m_nVbr = s.MC_VBR;
  v.m_nOutFmt = s.m_GogoSetting.dwOutFmt;
  v.m_bUsePsy = s.MC_USEPSY != 0;
  v.m_bUseLpf16 = s.MC_USELPF16 != 0;
  v.m_bVbr = CheckState(s.MC_BOOL_VBR);
  v.m_bOutFreq = CheckState(s.MC_BOOL_OUTFREQ);
  v.m_bOutFileExp = CheckState(s.m_GogoSetting.bOutFileExp);
  const char* ext = s.m_GogoSetting.pszOutFileExp;
  v.m_strOutFileExp.assign(ext, ::strnlen(ext, sizeof s.m_GogoSetting.pszOutFileExp));
  return v;
}

void Mp3SettingsFromDialog(const Mp3SettingValues& v, RecorderSettings& s) {
  // Both lists always hold a selection; should one be missing, the stored
  // value stays.
  s.MC_BITRATE = ValueAt(kBitrates, v.m_nBitrate, s.MC_BITRATE);
  s.MC_OUTFREQ = ValueAt(kOutFreqs, v.m_nOutFreq, s.MC_OUTFREQ);
  s.MC_ENCODEMODE = v.m_nEncodeMode;
  s.MC_EMPHASIS = v.m_nEmphasis;
  s.MC_VBR = v.m_nVbr;
  s.m_GogoSetting.dwOutFmt = v.m_nOutFmt;
  s.MC_USEPSY = v.m_bUsePsy ? 1 : 0;
  s.MC_USELPF16 = v.m_bUseLpf16 ? 1 : 0;
  s.MC_BOOL_VBR = v.m_bVbr ? 1 : 0;
  s.MC_BOOL_OUTFREQ = v.m_bOutFreq ? 1 : 0;
  s.m_GogoSetting.bOutFileExp = v.m_bOutFileExp ? 1 : 0;
  s.SetOutFileExp(v.m_strOutFileExp);
}

CMp3SettingDlg::CMp3SettingDlg(Mp3SettingValues values)
    : ui::CDialog(Mp3SettingTemplate()), m_values(std::move(values)) {}

bool CMp3SettingDlg::OnInitDialog() {
  ui::IWindow& w = Wnd();
  // A position outside a list leaves it without a selection.
  w.SetCurSel(IDC_MP3_BITRATE, m_values.m_nBitrate);
  w.SetCurSel(IDC_MP3_OUTFREQ, m_values.m_nOutFreq);
  w.SetCurSel(IDC_MP3_ENCODEMODE, m_values.m_nEncodeMode);
  w.SetCurSel(IDC_MP3_EMPHASIS, m_values.m_nEmphasis);
  w.SetCurSel(IDC_MP3_VBR, m_values.m_nVbr);
  w.SetCurSel(IDC_MP3_OUTFMT, m_values.m_nOutFmt);
  w.CheckDlgButton(IDC_MP3_USEPSY, m_values.m_bUsePsy);
  w.CheckDlgButton(IDC_MP3_USELPF16, m_values.m_bUseLpf16);
  w.CheckDlgButton(IDC_MP3_BOOL_VBR, m_values.m_bVbr);
  w.CheckDlgButton(IDC_MP3_BOOL_OUTFREQ, m_values.m_bOutFreq);
  w.CheckDlgButton(IDC_MP3_BOOL_OUTFILEEXP, m_values.m_bOutFileExp);
  w.SetDlgItemText(IDC_MP3_OUTFILEEXP, m_values.m_strOutFileExp);
  w.EnableDlgItem(IDC_MP3_OUTFREQ, m_values.m_bOutFreq);
  w.EnableDlgItem(IDC_MP3_VBR, m_values.m_bVbr);
  w.EnableDlgItem(IDC_MP3_OUTFILEEXP, m_values.m_bOutFileExp);
  return true;
}

void CMp3SettingDlg::OnCommand(int id, int code) {
  if (code == ui::BN_CLICKED) {
    ui::IWindow& w = Wnd();
    switch (id) {
      case IDC_MP3_BOOL_OUTFREQ: w.EnableDlgItem(IDC_MP3_OUTFREQ, w.IsDlgButtonChecked(id)); return;
      case IDC_MP3_BOOL_VBR: w.EnableDlgItem(IDC_MP3_VBR, w.IsDlgButtonChecked(id)); return;
      case IDC_MP3_BOOL_OUTFILEEXP: w.EnableDlgItem(IDC_MP3_OUTFILEEXP, w.IsDlgButtonChecked(id)); return;
      default: break;
    }
  }
  ui::CDialog::OnCommand(id, code);
}

void CMp3SettingDlg::OnOK() {
  ui::IWindow& w = Wnd();
  Mp3SettingValues v;
  v.m_nBitrate = w.GetCurSel(IDC_MP3_BITRATE);
  v.m_nOutFreq = w.GetCurSel(IDC_MP3_OUTFREQ);
  v.m_nEncodeMode = w.GetCurSel(IDC_MP3_ENCODEMODE);
  v.m_nEmphasis = w.GetCurSel(IDC_MP3_EMPHASIS);
  v.m_nVbr = w.GetCurSel(IDC_MP3_VBR);
  v.m_nOutFmt = w.GetCurSel(IDC_MP3_OUTFMT);
  v.m_bUsePsy = w.IsDlgButtonChecked(IDC_MP3_USEPSY);
  v.m_bUseLpf16 = w.IsDlgButtonChecked(IDC_MP3_USELPF16);
  v.m_bVbr = w.IsDlgButtonChecked(IDC_MP3_BOOL_VBR);
  v.m_bOutFreq = w.IsDlgButtonChecked(IDC_MP3_BOOL_OUTFREQ);
  v.m_bOutFileExp = w.IsDlgButtonChecked(IDC_MP3_BOOL_OUTFILEEXP);
  v.m_strOutFileExp = w.GetDlgItemText(IDC_MP3_OUTFILEEXP);
  if (Utf8Length(v.m_strOutFileExp) > static_cast<std::size_t>(kOutFileExpLimit)) {
    w.MessageBox(kTooLong, ui::kAppTitle, ui::MB_OK | ui::MB_ICONEXCLAMATION);
    return;
  }
  m_values = std::move(v);
  w.EndDialog(ui::IDOK);
}

bool EditMp3Settings(ui::IDialogHost& host, ui::IWindow* parent, RecorderSettings& settings) {
  CMp3SettingDlg dlg(Mp3SettingsIntoDialog(settings));
  if (host.DoModal(dlg, parent) != ui::IDOK) return false;
  Mp3SettingsFromDialog(dlg.Values(), settings);
  return true;
}

}  // namespace mivo
