// The silence-split settings dialog (template 137): threshold and duration
// of a silence, the gaps written around each track and the shortest track
// kept. The unit lists are shown but fixed: durations in buffers, lengths in
// frames.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

#include "platform/ui/dialog.h"
#include "settings/recorder_settings.h"

namespace mivo {

inline constexpr const char* kNotAPositiveInteger = "正の整数を入力してください。";
// Lead and trailing gaps (PriGapLen, PostGapLen) that leave a track no room.
inline constexpr const char* kGapsTooLong = "曲の前後に付ける無音が長すぎて、1 曲のファイルに入りません。";

const ui::DialogTemplate& SilenceSplitTemplate();

// An edit's text as an unsigned decimal number that a setting can hold:
// digits with blanks around them; nothing else.
std::optional<std::int32_t> ParseUnsignedSetting(std::string_view text);

class CSilenceSplitDlg final : public ui::CDialog {
 public:
  // `level` tells the level of the last captured buffer, for "自動".
  CSilenceSplitDlg(RecorderSettings& settings, std::function<std::uint32_t()> level)
      : ui::CDialog(SilenceSplitTemplate()), m_settings(settings), m_level(std::move(level)) {}

  bool OnInitDialog() override;
  void OnCommand(int id, int code) override;
  void OnOK() override;

 private:
  RecorderSettings& m_settings;
  std::function<std::uint32_t()> m_level;
};

}  // namespace mivo
