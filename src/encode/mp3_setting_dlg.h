// The MP3 settings dialog (template 129, "午後のこ～だの設定"): bit rate,
// channel mode, emphasis, variable bit rate, psychoacoustic analysis, the
// 16 kHz low-pass, a forced output rate, the output format and a forced
// output extension. The lists show values; the settings hold either the
// value or the list index.
#pragma once

#include <string>

#include "platform/ui/dialog.h"

namespace mivo {

struct RecorderSettings;

inline constexpr int IDD_MP3_SETTING = 129;
inline constexpr int IDC_MP3_ENCODEMODE = 1020;
inline constexpr int IDC_MP3_BITRATE = 1021;
inline constexpr int IDC_MP3_EMPHASIS = 1022;
inline constexpr int IDC_MP3_VBR = 1023;
inline constexpr int IDC_MP3_OUTFREQ = 1024;
inline constexpr int IDC_MP3_OUTFMT = 1025;
inline constexpr int IDC_MP3_USEPSY = 1027;
inline constexpr int IDC_MP3_USELPF16 = 1028;
inline constexpr int IDC_MP3_BOOL_VBR = 1029;
inline constexpr int IDC_MP3_BOOL_OUTFREQ = 1030;
inline constexpr int IDC_MP3_BOOL_OUTFILEEXP = 1032;
inline constexpr int IDC_MP3_OUTFILEEXP = 1071;

// Most characters the extension field takes.
inline constexpr int kOutFileExpLimit = 10;

const ui::DialogTemplate& Mp3SettingTemplate();

// The dialog's members: list positions (-1: no selection), check states and
// the extension text.
struct Mp3SettingValues {
  int m_nBitrate = 8;
  int m_nOutFreq = 4;
  int m_nEncodeMode = 2;
  int m_nEmphasis = 0;
  int m_nVbr = 5;
  int m_nOutFmt = 0;
  bool m_bUsePsy = false;
  bool m_bUseLpf16 = true;
  bool m_bVbr = false;
  bool m_bOutFreq = false;
  bool m_bOutFileExp = false;
  std::string m_strOutFileExp;
};

// Into the dialog: a bit rate or output rate not in its list shows the
// default entry (128 kbit/s, 44100 Hz); the other lists take the stored
// index as it is. MC_USEPSY and MC_USELPF16 show checked when not 0;
// MC_BOOL_VBR, MC_BOOL_OUTFREQ and bOutFileExp when 1 or 2 (any other value
// shows unchecked).
Mp3SettingValues Mp3SettingsIntoDialog(const RecorderSettings& settings);
// Back on OK: list positions become the listed values (bit rate, rate) or
// are stored as they are (-1 included); check boxes give 1 or 0; the
// extension is stored as typed (cut to the 15 bytes the setting holds).
void Mp3SettingsFromDialog(const Mp3SettingValues& values, RecorderSettings& settings);

class CMp3SettingDlg final : public ui::CDialog {
 public:
  explicit CMp3SettingDlg(Mp3SettingValues values);

  bool OnInitDialog() override;
  void OnCommand(int id, int code) override;
  // Reads every control; an extension longer than kOutFileExpLimit
  // characters is refused with the standard message and the dialog stays.
  void OnOK() override;

  const Mp3SettingValues& Values() const { return m_values; }

 private:
  Mp3SettingValues m_values;
};

// Opening from the recorder window (button 1029, when not recording): runs
// the dialog on copies of the settings and writes all twelve back only
// when it ends with OK. Returns true then.
bool EditMp3Settings(ui::IDialogHost& host, ui::IWindow* parent, RecorderSettings& settings);

}  // namespace mivo
