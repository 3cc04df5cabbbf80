// Every persisted option of the recorder, one member per key of mivo.ini.
// The member name is the key name.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace mivo {

struct GogoSetting {
  std::int32_t dwOutFmt = 0;      // 0 MP3, 1 WAV, 2 RMP
  std::int32_t bOutFileExp = 0;   // force the output extension
  char pszOutFileExp[16] = {};    // at most 15 bytes and a terminating zero
};

struct WmaSetting {
  std::int32_t nProfileIndex = 0;  // 0: none chosen; k: system profile k - 1
  bool bUseDRM = false;
  bool bUseWMA8 = true;            // the version 7.0 profiles, else those of 4.0
  bool bAddIndex = false;
};

// The system profile the WMA output is written with: nProfileIndex - 1, or
// the "Audio 96 kbit/s" profile of the chosen set (22 with WMA8, else 9)
// when none was chosen.
inline int WmaProfileNumber(const WmaSetting& wma) {
  if (wma.nProfileIndex != 0) return wma.nProfileIndex - 1;
  return wma.bUseWMA8 ? 22 : 9;
}

struct RecorderSettings {
  // Keys in the order in which Save writes them.
  std::string WaveInDevName;
  std::int32_t m_nWaveInBufSize = 1024;
  std::int32_t RecSamplesPerSec = 44100;
  std::int16_t RecBitsPerSample = 16;
  std::int16_t RecChannels = 2;
  std::int32_t m_nWavheaderShortening = 0;
  std::string RecTempFolder = ".";
  std::string RecFolder = ".";
  std::string RecFilePre = "music";
  bool m_bSilentDivide = true;
  std::int32_t RecSilentThreshold = 0;
  std::int32_t RecSilentTimeSpan = 1;
  bool m_bDropWave = false;
  std::int32_t m_dwDropWaveLen = 0;
  std::int32_t PriGapLen = 0;
  std::int32_t PostGapLen = 0;
  std::int32_t RecMeterType = 1;
  bool RecNormalize = false;
  // NormalizeLevel: the older form of the next two, written from them.
  std::int32_t NormalizeLevel2 = 32767;
  bool NormalizeAuto = true;
  std::int32_t DcOffsetLevelL = 0;
  std::int32_t DcOffsetLevelR = 0;
  bool DcOffsetAuto = false;
  bool RecDeEmphasis = false;
  double m_dblWavLim = 0.0;
  double m_dblWavLimSet = 0.0;
  bool m_bOrgsave = false;
  bool Rec4844 = false;
  std::int32_t m_nConvKind = 0;
  std::int32_t m_nFs44Precision = 1;
  bool RecWav = true;
  bool RecMp3 = false;
  bool RecWma = false;
  bool ChangeTimestamp = false;
  std::int32_t m_nSleepBeforProcess = 0;
  std::int32_t m_nPriorityClass = -1;
  std::int32_t m_nRecThreadPriority = 15;
  std::int32_t TransThreadPriority = 0;
  std::string DebugLogFileName;
  std::int32_t DebugLogLevel = 0;
  std::int32_t MC_ENCODEMODE = 2;
  std::int32_t MC_BITRATE = 128;
  std::int32_t MC_USEPSY = 0;
  std::int32_t MC_USELPF16 = 1;
  std::int32_t MC_EMPHASIS = 0;
  std::int32_t MC_BOOL_VBR = 0;
  std::int32_t MC_VBR = 5;
  std::int32_t MC_BOOL_OUTFREQ = 0;
  std::int32_t MC_OUTFREQ = 44100;
  GogoSetting m_GogoSetting;
  WmaSetting m_WmaSetting;
  std::int32_t m_dwEwxFlag = 1;
  std::int32_t m_dwEwxForce = 0;
  // TIMER_ENABLE marks m_bTimerEnableAtStart; the other three follow it.
  std::int32_t TM_START = 0;
  std::int32_t TM_END = 0;
  bool TM_POWERDOWN = false;

  // Set when the file carried TIMER_ENABLE (with any value).
  bool m_bTimerEnableAtStart = false;

  // Not in the file: where a relative RecTempFolder or RecFolder points,
  // set by Load from the place of the settings file (empty: the current
  // folder), and whether that folder is to be created on first use.
  std::string m_strFilesBase;
  bool m_bCreateFilesBase = false;

  // Defaults, then the values found in the file. A missing or unreadable
  // file keeps the defaults. A "\r" before a line's newline (a file from
  // another system) is no part of the value.
  void Load(const std::string& path);

  // Writes the whole record to the file, replacing it. `timerState` is the
  // controller's timer state: in state 1 the timer block is written (and the
  // arming margins are undone in the record).
  //
  // A symbolic link is written through: its target is replaced, beside
  // itself, and the link stays. Where no temporary file can be made beside
  // the target (a read-only folder), the file is rewritten in place. Returns
  // false when the file could not be written, with the file and the
  // system's reason in `error`; a replaced file is then left as it was.
  bool Save(const std::string& path, int timerState, std::string* error = nullptr);

  // The folder that files go to for `folder`, the text of RecTempFolder or
  // RecFolder: an absolute one as it is; a relative one (or an empty one,
  // never the root) inside m_strFilesBase, which is created first when it
  // is still to be made. The stored text itself stays as it is.
  std::string FilesFolder(const std::string& folder) const;

  // Stores an extension in m_GogoSetting.pszOutFileExp, cut to 15 bytes
  // (at a character boundary, so that no UTF-8 character is split).
  void SetOutFileExp(std::string_view ext);
};

}  // namespace mivo
