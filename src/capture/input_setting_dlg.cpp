#include "capture/input_setting_dlg.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "capture/capture_ids.h"

namespace mivo {
namespace {

using ui::ControlKind;
using ui::Rect;

constexpr std::array<std::int32_t, 9> kRates = {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000};
constexpr std::array<std::int16_t, 2> kChannels = {1, 2};
constexpr std::array<std::int16_t, 2> kBits = {8, 16};
constexpr std::array<std::int32_t, 2> kHeaderForms = {2, 0};  // "古い", "新しい"

ui::DialogTemplate MakeTemplate() {
  ui::DialogTemplate t;
  t.id = IDD_INPUT_SETTING;
  t.title = "入力の設定";
  t.width = 226;
  t.height = 134;
  t.Add(-1, ControlKind::Static, "入力デバイス", Rect{8, 10, 62, 10});
  t.Add(IDC_IN_DEVICE, ControlKind::DropList, "", Rect{74, 8, 144, 12});
  t.Add(-1, ControlKind::Static, "入力周波数", Rect{8, 28, 62, 10});
  t.Add(IDC_IN_RATE, ControlKind::DropList, "8000\n11025\n12000\n16000\n22050\n24000\n32000\n44100\n48000",
      Rect{74, 26, 60, 12});
  t.Add(-1, ControlKind::Static, "チャネル", Rect{8, 46, 62, 10});
  t.Add(IDC_IN_CHANNELS, ControlKind::DropList, "モノラル\nステレオ", Rect{74, 44, 60, 12}, ui::kDisabled);
  t.Add(-1, ControlKind::Static, "量子化ビット数", Rect{8, 64, 62, 10});
  t.Add(IDC_IN_BITS, ControlKind::DropList, "8ビット\n16ビット", Rect{74, 62, 60, 12}, ui::kDisabled);
  t.Add(-1, ControlKind::Static, "WAVヘッダ形式", Rect{8, 82, 62, 10});
  t.Add(IDC_IN_HEADER, ControlKind::DropList, "古い\n新しい", Rect{74, 80, 60, 12});
  t.Add(-1, ControlKind::Static, "チャネルと量子化ビット数の設定は未対応です。", Rect{8, 98, 210, 10});
  t.Add(ui::IDOK, ControlKind::DefButton, "OK", Rect{110, 114, 50, 14});
  t.Add(ui::IDCANCEL, ControlKind::Button, "ｷｬﾝｾﾙ", Rect{168, 114, 50, 14});
  return t;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

template <typename T, std::size_t N>
int IndexOf(const std::array<T, N>& values, std::int32_t value) {
  for (std::size_t i = 0; i < N; ++i) {
    if (values[i] == value) return static_cast<int>(i);
  }
  return -1;
}

// The value of a list's selection; a list without one keeps the setting.
template <typename T, std::size_t N>
T Chosen(const ui::IWindow& w, int id, const std::array<T, N>& values, T current) {
  const int sel = w.GetCurSel(id);
  return sel >= 0 && sel < static_cast<int>(N) ? values[static_cast<std::size_t>(sel)] : current;
}

}  // namespace

const ui::DialogTemplate& InputSettingTemplate() {
  static const ui::DialogTemplate tmpl = MakeTemplate();
  return tmpl;
}

bool CInputSettingDlg::OnInitDialog() {
  ui::IWindow& w = Wnd();
  w.ResetContent(IDC_IN_DEVICE);
  w.AddString(IDC_IN_DEVICE, kPreferredDevice);
  if (m_waveIn != nullptr) {
    const unsigned count = m_waveIn->waveInGetNumDevs();
    for (unsigned id = 0; id < count; ++id) {
      platform::WAVEINCAPS caps;
      // The input given for this run (a file) is no device to store.
      if (m_waveIn->waveInGetDevCaps(id, &caps) == platform::MMSYSERR_NOERROR && !caps.bThisRunOnly) {
        w.AddString(IDC_IN_DEVICE, caps.szPname);
      }
    }
  }
  int device = 0;
  for (int i = 0; i < w.GetCount(IDC_IN_DEVICE); ++i) {
    if (EqualsIgnoringCase(w.GetItemText(IDC_IN_DEVICE, i), m_settings.WaveInDevName)) {
      device = i;
      break;
    }
  }
  w.SetCurSel(IDC_IN_DEVICE, device);

  const int rate = IndexOf(kRates, m_settings.RecSamplesPerSec);
  w.SetCurSel(IDC_IN_RATE, rate >= 0 ? rate : IndexOf(kRates, 44100));
  w.SetCurSel(IDC_IN_CHANNELS, IndexOf(kChannels, m_settings.RecChannels));
  w.SetCurSel(IDC_IN_BITS, IndexOf(kBits, m_settings.RecBitsPerSample));
  w.SetCurSel(IDC_IN_HEADER, IndexOf(kHeaderForms, m_settings.m_nWavheaderShortening));
  return true;
}

void CInputSettingDlg::OnOK() {
  ui::IWindow& w = Wnd();
  const int sel = w.GetCurSel(IDC_IN_DEVICE);
  const std::string device = sel > 0 ? w.GetItemText(IDC_IN_DEVICE, sel)
                             : sel == 0 ? std::string()
                                        : m_settings.WaveInDevName;
  const std::int32_t rate = Chosen(w, IDC_IN_RATE, kRates, m_settings.RecSamplesPerSec);
  const std::int16_t channels = Chosen(w, IDC_IN_CHANNELS, kChannels, m_settings.RecChannels);
  const std::int16_t bits = Chosen(w, IDC_IN_BITS, kBits, m_settings.RecBitsPerSample);
  const std::int32_t header = Chosen(w, IDC_IN_HEADER, kHeaderForms, m_settings.m_nWavheaderShortening);

  if (device != m_settings.WaveInDevName || rate != m_settings.RecSamplesPerSec ||
      channels != m_settings.RecChannels || bits != m_settings.RecBitsPerSample ||
      header != m_settings.m_nWavheaderShortening) {
    w.MessageBox(kRestartNeeded, ui::kAppTitle, ui::MB_OK | ui::MB_ICONEXCLAMATION);
    m_settings.WaveInDevName = device;
    m_settings.RecSamplesPerSec = rate;
    m_settings.RecChannels = channels;
    m_settings.RecBitsPerSample = bits;
    m_settings.m_nWavheaderShortening = header;
  }
  w.EndDialog(ui::IDOK);
}

}  // namespace mivo
