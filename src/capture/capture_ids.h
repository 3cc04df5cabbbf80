// Identifiers of the capture dialogs and their controls.
#pragma once

namespace mivo {

// Input settings dialog.
inline constexpr int IDD_INPUT_SETTING = 132;
inline constexpr int IDC_IN_DEVICE = 1058;
inline constexpr int IDC_IN_RATE = 1044;
inline constexpr int IDC_IN_CHANNELS = 1045;
inline constexpr int IDC_IN_BITS = 1046;
inline constexpr int IDC_IN_HEADER = 1047;

// Silence-split settings dialog.
inline constexpr int IDD_SILENCE_SPLIT = 137;
inline constexpr int IDC_SS_THRESHOLD = 1016;
inline constexpr int IDC_SS_AUTO = 1017;
inline constexpr int IDC_SS_TIMESPAN = 1039;
inline constexpr int IDC_SS_TIMESPAN_UNIT = 1064;
inline constexpr int IDC_SS_DROP = 1069;
inline constexpr int IDC_SS_DROPLEN = 1042;
inline constexpr int IDC_SS_DROPLEN_UNIT = 1067;
inline constexpr int IDC_SS_PRIGAP = 1040;
inline constexpr int IDC_SS_PRIGAP_UNIT = 1065;
inline constexpr int IDC_SS_POSTGAP = 1041;
inline constexpr int IDC_SS_POSTGAP_UNIT = 1066;

}  // namespace mivo
