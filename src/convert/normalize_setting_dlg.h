// The normalize settings dialog (template 134, "正規化の設定"): the level
// that becomes full scale and the DC offsets, each fixed or taken from the
// track's measurements, with buttons that propose values from the live
// input. Works on copies; OK writes them back.
#pragma once

#include <cstdint>

#include "convert/live_input.h"
#include "platform/ui/dialog.h"
#include "settings/recorder_settings.h"

namespace mivo {

inline constexpr int IDD_NORMALIZE_SETTING = 134;
inline constexpr int IDC_NORM_AUTO = 1051;
inline constexpr int IDC_DC_AUTO = 1052;
inline constexpr int IDC_NORM_LEVEL = 1053;
inline constexpr int IDC_DC_LEFT = 1054;
inline constexpr int IDC_DC_RIGHT = 1055;
inline constexpr int IDC_NORM_PROPOSE = 1056;
inline constexpr int IDC_DC_PROPOSE = 1057;

const ui::DialogTemplate& NormalizeSettingTemplate();

class CNormalizeSettingDlg final : public ui::CDialog {
 public:
  // A proposal reads this many values, one every kProposalIntervalMs, from
  // a window timer: the window keeps handling capture meanwhile, so the
  // values come from successive buffers.
  static constexpr int kProposalReads = 100;
  static constexpr unsigned kProposalIntervalMs = 10;
  static constexpr int kLevelTimer = 1;
  static constexpr int kDcTimer = 2;

  // `live` may be null (no input open): the proposal buttons then stay off.
  CNormalizeSettingDlg(RecorderSettings& settings, const ILiveInputLevels* live);

  bool OnInitDialog() override;
  void OnCommand(int id, int code) override;
  void OnTimer(int timerId) override;
  void OnOK() override;
  void OnDestroy() override;

 private:
  void ApplyEnableRule();
  void StartProposal(int timerId, int buttonId);
  void EndProposal(int timerId);

  RecorderSettings& m_settings;
  const ILiveInputLevels* m_live;
  // Proposal state: reads done, largest level, sums of the means.
  int m_nLevelReads = -1;  // -1: not proposing
  std::uint32_t m_dwLevelMax = 0;
  int m_nDcReads = -1;
  std::int64_t m_llSumL = 0;
  std::int64_t m_llSumR = 0;
};

}  // namespace mivo
