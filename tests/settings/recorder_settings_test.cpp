#include "settings/recorder_settings.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>

#include "support/scoped_env.h"
#include "support/unprivileged.h"
#include "test_files.h"

namespace mivo {
namespace {

using testing::ReadBytes;
using testing::WriteBytes;

constexpr std::int32_t kIntMax = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t kIntMin = std::numeric_limits<std::int32_t>::min();

class SettingsFileTest : public testing::TempFolderTest {
 protected:
  std::string IniPath() const { return PathOf("mivo.ini"); }

  RecorderSettings LoadText(const std::string& bytes) {
    WriteBytes(IniPath(), bytes);
    RecorderSettings s;
    s.Load(IniPath());
    return s;
  }

  // The entries of the test folder other than mivo.ini.
  std::vector<std::string> Strays() const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(m_dir)) {
      if (e.path().filename() != "mivo.ini") {
        names.push_back(e.path().filename().string());
      }
    }
    return names;
  }
};

std::string DefaultFile() {
  return ReadBytes(std::string(MIVO_SETTINGS_TEST_DATA) + "/default_mivo.ini");
}

TEST_F(SettingsFileTest, MissingFileKeepsDefaultsAndSetsPriorities) {
  RecorderSettings s;
  s.RecFilePre = "stale";  // Load starts from the defaults
  s.Load(PathOf("absent.ini"));
  EXPECT_TRUE(s.RecWav);
  EXPECT_FALSE(s.RecMp3);
  EXPECT_FALSE(s.RecWma);
  EXPECT_EQ(s.RecSamplesPerSec, 44100);
  EXPECT_EQ(s.RecBitsPerSample, 16);
  EXPECT_EQ(s.RecChannels, 2);
  EXPECT_EQ(s.RecFilePre, "music");
  EXPECT_EQ(s.RecFolder, ".");
  EXPECT_EQ(s.RecTempFolder, ".");
  EXPECT_EQ(s.m_nPriorityClass, 128);
  EXPECT_EQ(s.m_nRecThreadPriority, 15);
  EXPECT_EQ(s.TransThreadPriority, -15);
  EXPECT_FALSE(s.m_bTimerEnableAtStart);
}

TEST_F(SettingsFileTest, PriorityDefaultsOnlyReplaceAnUnsetClass) {
  RecorderSettings s = LoadText(
      "m_nPriorityClass=-1\nm_nRecThreadPriority=3\nTransThreadPriority=2\n");
  EXPECT_EQ(s.m_nPriorityClass, 128);
  EXPECT_EQ(s.m_nRecThreadPriority, 15);
  EXPECT_EQ(s.TransThreadPriority, -15);

  s = LoadText("m_nPriorityClass=32\n");
  EXPECT_EQ(s.m_nPriorityClass, 32);
  EXPECT_EQ(s.m_nRecThreadPriority, 15);
  EXPECT_EQ(s.TransThreadPriority, 0);
}

TEST_F(SettingsFileTest, DefaultRecordIsWrittenExactlyWithoutTimerKeys) {
  const std::string expected = DefaultFile();
  ASSERT_FALSE(expected.empty());
  for (int timerState : {0, 2, 3}) {
    RecorderSettings s;
    ASSERT_TRUE(s.Save(IniPath(), timerState));
    EXPECT_EQ(ReadBytes(IniPath()), expected) << "timer state " << timerState;
    EXPECT_TRUE(Strays().empty());
  }
}

TEST_F(SettingsFileTest, OlderNormalizeLevelKey) {
  RecorderSettings s = LoadText("NormalizeLevel=0\n");
  EXPECT_TRUE(s.NormalizeAuto);
  EXPECT_EQ(s.NormalizeLevel2, 32767);

  s = LoadText("NormalizeLevel2=100\nNormalizeAuto=0\nNormalizeLevel=0\n");
  EXPECT_TRUE(s.NormalizeAuto);
  EXPECT_EQ(s.NormalizeLevel2, 32767);

  s = LoadText("NormalizeLevel=20000\n");
  EXPECT_FALSE(s.NormalizeAuto);
  EXPECT_EQ(s.NormalizeLevel2, 20000);

  // In a file written by Save the newer keys follow and decide.
  s = LoadText("NormalizeLevel=20000\nNormalizeLevel2=1000\nNormalizeAuto=1\n");
  EXPECT_TRUE(s.NormalizeAuto);
  EXPECT_EQ(s.NormalizeLevel2, 1000);
}

TEST_F(SettingsFileTest, KeysAndValuesAreTakenLiterally) {
  RecorderSettings s = LoadText(
      "RecFolder=/music/a=b=c\n"
      " RecMp3=1\n"                // blank before the key
      "RecWma =1\n"                // blank after the key
      "#RecDeEmphasis=1\n"         // comment
      "ChangeTimestamp 1\n"        // no '='
      "NoSuchKey=5\n"
      "recwav=0\n"                 // keys are case-sensitive
      "RecFilePre=first\n"
      "RecFilePre=second\n"        // the later line wins
      "WaveInDevName= Mic \n"      // blanks belong to strings
      "TIMER_ENABLE=0\n");
  EXPECT_EQ(s.RecFolder, "/music/a=b=c");
  EXPECT_FALSE(s.RecMp3);
  EXPECT_FALSE(s.RecWma);
  EXPECT_FALSE(s.RecDeEmphasis);
  EXPECT_FALSE(s.ChangeTimestamp);
  EXPECT_TRUE(s.RecWav);
  EXPECT_EQ(s.RecFilePre, "second");
  EXPECT_EQ(s.WaveInDevName, " Mic ");
  EXPECT_TRUE(s.m_bTimerEnableAtStart);
}

TEST_F(SettingsFileTest, NumbersConvertLikeAtoiAndSaturate) {
  RecorderSettings s = LoadText(
      "RecSamplesPerSec=  -42xyz\n"
      "m_nWaveInBufSize=+7\n"
      "RecSilentThreshold=abc\n"
      "PriGapLen=99999999999999999999999999\n"
      "PostGapLen=-99999999999999999999999999\n"
      "m_dwDropWaveLen=2147483648\n"
      "RecMeterType=-2147483648\n"
      "RecBitsPerSample=65544\n"   // low 16 bits: 8
      "RecChannels=-1\n"
      "RecWav=letters\n"
      "RecMp3=7\n"
      "RecWma=99999999999999999999\n"
      "TM_START=1700000000\n"
      "m_dblWavLim= 1e3\n"
      "m_dblWavLimSet=-0.25junk\n");
  EXPECT_EQ(s.RecSamplesPerSec, -42);
  EXPECT_EQ(s.m_nWaveInBufSize, 7);
  EXPECT_EQ(s.RecSilentThreshold, 0);
  EXPECT_EQ(s.PriGapLen, kIntMax);
  EXPECT_EQ(s.PostGapLen, kIntMin);
  EXPECT_EQ(s.m_dwDropWaveLen, kIntMax);
  EXPECT_EQ(s.RecMeterType, kIntMin);
  EXPECT_EQ(s.RecBitsPerSample, 8);
  EXPECT_EQ(s.RecChannels, -1);
  EXPECT_FALSE(s.RecWav);
  EXPECT_TRUE(s.RecMp3);
  EXPECT_TRUE(s.RecWma);
  EXPECT_EQ(s.TM_START, 1700000000);
  EXPECT_DOUBLE_EQ(s.m_dblWavLim, 1000.0);
  EXPECT_DOUBLE_EQ(s.m_dblWavLimSet, -0.25);
}

TEST_F(SettingsFileTest, LineEndings) {
  // CRLF, from another system: the "\r" belongs to no value.
  RecorderSettings s = LoadText("RecFilePre=take\r\nRecFolder=/srv/録音\r\nRecMp3=1\r\n");
  EXPECT_EQ(s.RecFilePre, "take");
  EXPECT_EQ(s.RecFolder, "/srv/録音");
  EXPECT_TRUE(s.RecMp3);

  s = LoadText("RecMp3=1\n\n\nRecFilePre=last");  // no newline at the end
  EXPECT_TRUE(s.RecMp3);
  EXPECT_EQ(s.RecFilePre, "last");
}

TEST_F(SettingsFileTest, OverlongLineIsReadInPiecesOf1023Bytes) {
  // The first piece ends after 1023 bytes; the rest is a line of its own.
  const std::string folder(1023 - std::strlen("RecFolder="), 'f');
  RecorderSettings s = LoadText("RecFolder=" + folder + "RecMp3=1\n" +
                                "RecFilePre=" + std::string(3000, 'p') + "\n");
  EXPECT_EQ(s.RecFolder, folder);
  EXPECT_TRUE(s.RecMp3);
  EXPECT_EQ(s.RecFilePre, std::string(1023 - std::strlen("RecFilePre="), 'p'));

  // 1022 bytes and the newline still fit in one piece.
  const std::string exact(1022 - std::strlen("RecTempFolder="), 't');
  s = LoadText("RecTempFolder=" + exact + "\nRecWma=1\n");
  EXPECT_EQ(s.RecTempFolder, exact);
  EXPECT_TRUE(s.RecWma);
}

TEST_F(SettingsFileTest, BinaryBytesAreKeptAndDoNotDisturbReading) {
  const std::string value("a\0b\xff\x80\x01", 6);
  RecorderSettings s =
      LoadText("RecFilePre=" + value + "\n" + std::string("\0RecMp3=1\n", 10) +
               std::string("RecWma=\0" "1\n", 10) + "RecDeEmphasis=1\n");
  EXPECT_EQ(s.RecFilePre, value);
  EXPECT_FALSE(s.RecMp3);
  EXPECT_FALSE(s.RecWma);
  EXPECT_TRUE(s.RecDeEmphasis);

  ASSERT_TRUE(s.Save(IniPath(), 0));
  RecorderSettings back;
  back.Load(IniPath());
  EXPECT_EQ(back.RecFilePre, value);

  std::string noise;
  for (int i = 0; i < 4096; ++i) noise.push_back(static_cast<char>(i * 37 + 11));
  LoadText(noise);  // whatever it yields, it must not crash
}

TEST_F(SettingsFileTest, EveryKeyRoundTrips) {
  // Every key holds a value other than its default; names are UTF-8.
  const std::string custom =
      ReadBytes(std::string(MIVO_SETTINGS_TEST_DATA) + "/custom_mivo.ini");
  ASSERT_FALSE(custom.empty());
  RecorderSettings s = LoadText(custom);
  EXPECT_EQ(s.WaveInDevName, "Monitor of 内蔵オーディオ アナログステレオ");
  EXPECT_EQ(s.RecFolder, "/srv/音楽=MP3");
  EXPECT_EQ(s.RecBitsPerSample, 8);
  EXPECT_EQ(s.RecChannels, 1);
  EXPECT_FALSE(s.m_bSilentDivide);
  EXPECT_FALSE(s.NormalizeAuto);
  EXPECT_EQ(s.NormalizeLevel2, 20000);
  EXPECT_DOUBLE_EQ(s.m_dblWavLim, 32000.123457);
  EXPECT_DOUBLE_EQ(s.m_dblWavLimSet, -1.5);
  EXPECT_EQ(s.m_nPriorityClass, 32);
  EXPECT_EQ(s.m_nRecThreadPriority, 2);
  EXPECT_EQ(s.TransThreadPriority, 1);
  EXPECT_EQ(s.DebugLogLevel, 3);
  EXPECT_EQ(s.MC_OUTFREQ, 32000);
  EXPECT_EQ(s.m_GogoSetting.dwOutFmt, 2);
  EXPECT_STREQ(s.m_GogoSetting.pszOutFileExp, "mp3x");
  EXPECT_EQ(s.m_WmaSetting.nProfileIndex, 7);
  EXPECT_FALSE(s.m_WmaSetting.bUseWMA8);
  EXPECT_TRUE(s.m_WmaSetting.bAddIndex);
  EXPECT_EQ(s.m_dwEwxForce, 16);

  // A key that Load missed would be written back with its default.
  ASSERT_TRUE(s.Save(IniPath(), 0));
  EXPECT_EQ(ReadBytes(IniPath()), custom);

  // Reals are written with six decimals.
  s.m_dblWavLim = 0.1234567;
  s.m_dblWavLimSet = -0.0000004;
  ASSERT_TRUE(s.Save(IniPath(), 0));
  const std::string file = ReadBytes(IniPath());
  EXPECT_NE(file.find("\nm_dblWavLim=0.123457\n"), std::string::npos);
  EXPECT_NE(file.find("\nm_dblWavLimSet=-0.000000\n"), std::string::npos);
}

TEST_F(SettingsFileTest, TimerBlockOnlyWhileArmed) {
  const auto armed = [] {
    RecorderSettings s;
    s.TM_START = 1700000000 - 1;  // arming moved it one second earlier
    s.TM_END = 1700003600 + 1;    // and the end one second later
    s.TM_POWERDOWN = true;
    return s;
  };

  RecorderSettings s = armed();
  ASSERT_TRUE(s.Save(IniPath(), 1));
  EXPECT_EQ(s.TM_START, 1700000000);
  EXPECT_EQ(s.TM_END, 1700003600);
  EXPECT_EQ(ReadBytes(IniPath()),
            DefaultFile() +
                "TIMER_ENABLE=1\nTM_START=1700000000\nTM_END=1700003600\n"
                "TM_POWERDOWN=1\n");
  RecorderSettings back;
  back.Load(IniPath());
  EXPECT_TRUE(back.m_bTimerEnableAtStart);
  EXPECT_EQ(back.TM_START, 1700000000);
  EXPECT_EQ(back.TM_END, 1700003600);
  EXPECT_TRUE(back.TM_POWERDOWN);

  for (int timerState : {0, 2, 3}) {
    s = armed();
    ASSERT_TRUE(s.Save(IniPath(), timerState));
    EXPECT_EQ(s.TM_START, 1700000000 - 1);
    EXPECT_EQ(s.TM_END, 1700003600 + 1);
    back.Load(IniPath());
    EXPECT_FALSE(back.m_bTimerEnableAtStart);
    EXPECT_EQ(back.TM_START, 0);
    EXPECT_FALSE(back.TM_POWERDOWN);
  }
}

TEST_F(SettingsFileTest, FailedSaveLeavesTheOldFileAndNoTemporary) {
  // A folder that does not exist.
  RecorderSettings s;
  EXPECT_FALSE(s.Save(PathOf("missing/mivo.ini"), 0));
  EXPECT_TRUE(std::filesystem::is_empty(m_dir));

  // A folder in place of the file.
  std::filesystem::create_directories(m_dir / "mivo.ini" / "inside");
  EXPECT_FALSE(s.Save(IniPath(), 0));
  EXPECT_TRUE(std::filesystem::is_directory(m_dir / "mivo.ini" / "inside"));
  EXPECT_TRUE(Strays().empty());
  std::filesystem::remove_all(m_dir / "mivo.ini");

  // A write that fails part-way, as on a full disk: the file size limit
  // stops the temporary file after a few bytes.
  const std::string old = "RecFilePre=old\n";
  WriteBytes(IniPath(), old);
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto previousHandler = ::signal(SIGXFSZ, SIG_IGN);
  rlimit small = saved;
  small.rlim_cur = 64;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const bool written = s.Save(IniPath(), 0);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &saved), 0);
  ::signal(SIGXFSZ, previousHandler);
  EXPECT_FALSE(written);
  EXPECT_EQ(ReadBytes(IniPath()), old);
  EXPECT_TRUE(Strays().empty());
}

TEST_F(SettingsFileTest, SaveWritesThroughSymbolicLinksBesideTheirTarget) {
  std::filesystem::create_directories(m_dir / "real");
  std::filesystem::create_directories(m_dir / "cfg");
  const std::string target = PathOf("real/mivo.ini");
  const std::string link = PathOf("cfg/mivo.ini");
  std::filesystem::create_symlink("../real/mivo.ini", link);
  for (const bool targetExists : {true, false}) {
    if (targetExists) WriteBytes(target, "RecFilePre=old\n");
    RecorderSettings s;
    ASSERT_TRUE(s.Save(link, 0));
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(ReadBytes(target), DefaultFile());
    for (const char* folder : {"real", "cfg"}) {
      EXPECT_EQ(std::distance(std::filesystem::directory_iterator(m_dir / folder), {}), 1) << folder;
    }
    std::filesystem::remove(target);
  }
}

TEST_F(SettingsFileTest, ReadOnlyFolderRewritesAWritableFileInPlace) {
  const std::string folder = PathOf("ro");
  const std::string writable = folder + "/mivo.ini";
  const std::string locked = folder + "/locked.ini";
  std::filesystem::create_directory(folder);
  WriteBytes(writable, std::string(5000, '#') + "\n");  // longer than what replaces it
  WriteBytes(locked, "RecFilePre=old\n");
  ASSERT_EQ(::chmod(writable.c_str(), 0666), 0);
  ASSERT_EQ(::chmod(locked.c_str(), 0444), 0);
  ASSERT_EQ(::chmod(folder.c_str(), 0555), 0);
  ASSERT_EQ(::chmod(m_dir.c_str(), 0755), 0);  // reachable for nobody
  const int result = testing::RunUnprivileged([&] {
    if (::access(writable.c_str(), W_OK) != 0) return 101;
    RecorderSettings s;
    if (!s.Save(writable, 0)) return 1;
    std::string error;
    if (s.Save(locked, 0, &error)) return 2;
    return error == locked + ": Permission denied" ? 0 : 3;
  });
  ASSERT_EQ(::chmod(folder.c_str(), 0755), 0);
  if (result == 100 || result == 101) GTEST_SKIP() << "cannot run as a user whom file modes stop";
  EXPECT_EQ(result, 0);
  EXPECT_EQ(ReadBytes(writable), DefaultFile());
  EXPECT_EQ(ReadBytes(locked), "RecFilePre=old\n");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 2);
}

TEST_F(SettingsFileTest, RelativeFoldersPointBesideThePortableSettingsFile) {
  RecorderSettings s = LoadText("RecTempFolder=.\nRecFolder=\n");
  const std::string base = m_dir.string();
  EXPECT_EQ(s.FilesFolder(s.RecTempFolder), base);
  EXPECT_EQ(s.FilesFolder(s.RecFolder), base);  // empty is not the root
  EXPECT_EQ(s.FilesFolder("takes/a"), base + "/takes/a");
  EXPECT_EQ(s.FilesFolder("/srv/rec"), "/srv/rec");
  EXPECT_FALSE(std::filesystem::exists(m_dir / "takes"));
  ASSERT_TRUE(s.Save(IniPath(), 0));
  EXPECT_NE(ReadBytes(IniPath()).find("\nRecTempFolder=.\nRecFolder=\n"), std::string::npos);
}

TEST_F(SettingsFileTest, RelativeFoldersOfTheUsersOwnSettingsPointIntoTheMusicFolder) {
  testing::ScopedEnv home("HOME", m_dir.c_str());
  testing::ScopedEnv config("XDG_CONFIG_HOME", PathOf("cfg").c_str());
  std::filesystem::create_directories(m_dir / "cfg" / "mivo");
  WriteBytes(PathOf("cfg/user-dirs.dirs"), "XDG_MUSIC_DIR=\"$HOME/音楽\"\n");
  RecorderSettings s;
  s.Load(PathOf("cfg/mivo/mivo.ini"));
  EXPECT_FALSE(std::filesystem::exists(m_dir / "音楽"));  // not before it is used
  EXPECT_EQ(s.FilesFolder("."), PathOf("音楽/Mivo"));
  EXPECT_TRUE(std::filesystem::is_directory(m_dir / "音楽" / "Mivo"));
  EXPECT_EQ(s.RecTempFolder, ".");
}

TEST_F(SettingsFileTest, OutFileExpIsCutTo15BytesOnACharacterBoundary) {
  RecorderSettings s;
  s.SetOutFileExp("0123456789abcdefghij");
  EXPECT_STREQ(s.m_GogoSetting.pszOutFileExp, "0123456789abcde");
  s.SetOutFileExp("あいうえおか");  // 18 bytes: five whole characters fit
  EXPECT_STREQ(s.m_GogoSetting.pszOutFileExp, "あいうえお");
  s.SetOutFileExp("aあいうえおか");  // the fifth character would be split
  EXPECT_STREQ(s.m_GogoSetting.pszOutFileExp, "aあいうえ");
  s.SetOutFileExp("ogg");
  EXPECT_STREQ(s.m_GogoSetting.pszOutFileExp, "ogg");

  s = LoadText("m_GogoSetting.pszOutFileExp=" + std::string(40, 'e') + "\n");
  EXPECT_EQ(std::string(s.m_GogoSetting.pszOutFileExp), std::string(15, 'e'));
  EXPECT_EQ(s.m_GogoSetting.pszOutFileExp[15], '\0');
}

}  // namespace
}  // namespace mivo
