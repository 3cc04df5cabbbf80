// Identifiers of the recorder window's controls and of its own messages.
// Shared by the controller and the subsystems that write to the window.
#pragma once

namespace mivo {

inline constexpr int IDD_RECORDER = 102;
inline constexpr int IDD_ABOUTBOX = 100;
inline constexpr int IDR_MAINFRAME = 128;  // program icon

inline constexpr int IDC_REC = 1000;
inline constexpr int IDC_STOP = 1001;
inline constexpr int IDC_SKIP = 1030;
inline constexpr int IDC_STATUS = 1006;
inline constexpr int IDC_TRACKFILE = 1002;
inline constexpr int IDC_TEMPFOLDER = 1007;
inline constexpr int IDC_TEMPFOLDER_BROWSE = 1010;
inline constexpr int IDC_RECFOLDER = 1004;
inline constexpr int IDC_RECFOLDER_BROWSE = 1005;
inline constexpr int IDC_FILEPRE = 1003;
inline constexpr int IDC_WAV = 1013;
inline constexpr int IDC_MP3 = 1014;
inline constexpr int IDC_MP3_SETTING = 1029;
inline constexpr int IDC_WMA = 1043;
inline constexpr int IDC_WMA_SETTING = 1074;
inline constexpr int IDC_NORMALIZE = 1015;
inline constexpr int IDC_NORMALIZE_SETTING = 1041;
inline constexpr int IDC_DEEMPHASIS = 1021;
inline constexpr int IDC_4844 = 1020;
inline constexpr int IDC_4844_SETTING = 1044;
inline constexpr int IDC_TIMESTAMP = 1023;
inline constexpr int IDC_SILENTDIVIDE = 1070;
inline constexpr int IDC_SILENCE_SETTING = 1045;
inline constexpr int IDC_INPUT_SETTING = 1042;
inline constexpr int IDC_RATE = 1047;
inline constexpr int IDC_FORMAT = 1048;
inline constexpr int IDC_LEVEL = 1008;
inline constexpr int IDC_SPECTRUM = 1009;
inline constexpr int IDC_PEAK = 1062;
inline constexpr int IDC_PEAK_RESET = 1063;
inline constexpr int IDC_REMAINING = 1019;
inline constexpr int IDC_TRACK_PROGRESS = 1022;
inline constexpr int IDC_STAGE_PROGRESS = 1018;
inline constexpr int IDC_STAGE_LABEL = 1050;
inline constexpr int IDC_TIMER_DATE = 1035;
inline constexpr int IDC_TIMER_TIME = 1031;
inline constexpr int IDC_TIMER_NOW = 1037;
inline constexpr int IDC_TIMER_HOURS = 1032;
inline constexpr int IDC_TIMER_MINUTES = 1033;
inline constexpr int IDC_POWERDOWN = 1038;
inline constexpr int IDC_EWX_FLAG = 1072;
inline constexpr int IDC_EWX_FORCE = 1073;
inline constexpr int IDC_TIMER_SET = 1034;
inline constexpr int IDC_TIMER_STATUS = 1036;
inline constexpr int IDC_ABOUT = 1040;
inline constexpr int IDC_METER = 1090;  // the meters' drawing area
// Labels of the input group that tell what the input is doing: the demo
// signal or a lost source, and the buffers the input had to drop.
inline constexpr int IDC_INPUT_NOTE = 1091;
inline constexpr int IDC_OVERRUNS = 1092;
// Below the timer group: what the timer is waiting for, and when.
inline constexpr int IDC_TIMER_NOTE = 1093;
// How many tracks of an earlier run were recovered at start-up.
inline constexpr int IDC_RECOVERY_NOTE = 1094;
inline constexpr int IDC_ENCODER_INFO = 1015;  // about box

// Messages of the recorder window (WM_USER + n).
inline constexpr unsigned WM_APP_POWEROFF = 0x0400 + 1;
inline constexpr unsigned WM_APP_REMOTE = 0x0400 + 20;     // a command from `mivo --command`
inline constexpr unsigned WM_APP_TERMINATE = 0x0400 + 21;  // SIGTERM or SIGINT
// The worker removed a track: the window shows the queue's length, read
// under the queue's lock on its own thread, so the count shown can never be
// an older one that arrived late.
inline constexpr unsigned WM_APP_QUEUE_CHANGED = 0x0400 + 22;
// Boxes of an unattended start, shown once the window runs (timer restored at start-up).
inline constexpr unsigned WM_APP_TIMER_NOTICE = 0x0400 + 23;

}  // namespace mivo
