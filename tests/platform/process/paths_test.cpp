#include "platform/process/paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include <gtest/gtest.h>

#include "support/unprivileged.h"
#include "test_folders.h"

namespace mivo::platform {
namespace {

using test_support::ScopedEnv;
using test_support::TempFolder;
using testing::kNobody;
using testing::RunUnprivileged;

mode_t ModeOf(const std::string& path) {
  struct stat st{};
  return ::lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

void Touch(const std::string& path) { std::ofstream(path) << "[Mivo]\n"; }

TEST(ExecutableFolderTest, IsTheFolderOfTheRunningTest) {
  const std::string folder = ExecutableFolder();
  ASSERT_FALSE(folder.empty());
  EXPECT_EQ(folder.front(), '/');
  EXPECT_NE(folder.back(), '/');
  EXPECT_TRUE(std::filesystem::exists(folder + "/platform_process_tests"));
}

TEST(DefaultSettingsPathTest, OnlyAFolderHoldingSettingsIsPortableWritableOrNot) {
  // A writable program folder (an installation in ~/.local or run by root)
  // gets no settings of its own; one that holds a mivo.ini does.
  TempFolder exe;
  TempFolder home;
  ScopedEnv xdg("XDG_CONFIG_HOME", (home / "cfg").c_str());
  EXPECT_EQ(DefaultSettingsPath(exe.Path()), home / "cfg/mivo/mivo.ini");
  EXPECT_FALSE(std::filesystem::exists(exe / "mivo.ini"));
  Touch(exe / "mivo.ini");
  EXPECT_EQ(DefaultSettingsPath(exe.Path()), exe / "mivo.ini");
}

TEST(DefaultSettingsPathTest, UnusableExecutableFolderFallsBackToTheConfigFolder) {
  TempFolder home;
  Touch(home / "file");
  const std::string unusable = home / "file/bin";  // its parent is a regular file

  {
    // $XDG_CONFIG_HOME and the missing folders below it are created privately.
    ScopedEnv xdg("XDG_CONFIG_HOME", (home / "cfg/deeper").c_str());
    EXPECT_EQ(DefaultSettingsPath(unusable), home / "cfg/deeper/mivo/mivo.ini");
    EXPECT_EQ(ModeOf(home / "cfg/deeper/mivo"), 0700u);
  }
  ScopedEnv homeEnv("HOME", home.Path().c_str());
  for (const char* ignored : {static_cast<const char*>(nullptr), "", "relative/cfg"}) {
    ScopedEnv xdg("XDG_CONFIG_HOME", ignored);
    EXPECT_EQ(DefaultSettingsPath(unusable), home / ".config/mivo/mivo.ini")
        << (ignored ? ignored : "(unset)");
  }
  EXPECT_TRUE(std::filesystem::is_directory(home / ".config/mivo"));
}

TEST(DefaultSettingsPathTest, ReadOnlyFolderIsUsedOnlyWhenItAlreadyHoldsSettings) {
  TempFolder base;
  const std::string portable = base / "portable";
  const std::string plain = base / "plain";
  const std::string config = base / "config";
  ASSERT_EQ(::mkdir(portable.c_str(), 0755), 0);
  ASSERT_EQ(::mkdir(plain.c_str(), 0755), 0);
  ASSERT_EQ(::mkdir(config.c_str(), 0777), 0);
  Touch(portable + "/mivo.ini");
  ASSERT_EQ(::chmod(base.Path().c_str(), 0755), 0);
  ASSERT_EQ(::chmod(config.c_str(), 0777), 0);
  ASSERT_EQ(::chmod(portable.c_str(), 0555), 0);
  ASSERT_EQ(::chmod(plain.c_str(), 0555), 0);
  ScopedEnv xdg("XDG_CONFIG_HOME", config.c_str());

  EXPECT_EQ(RunUnprivileged([&] {
              if (DefaultSettingsPath(portable) != portable + "/mivo.ini") return 1;
              if (DefaultSettingsPath(plain) != config + "/mivo/mivo.ini") return 2;
              return 0;
            }),
            0);
  EXPECT_EQ(::chmod(portable.c_str(), 0755), 0);  // removable again without root
  EXPECT_EQ(::chmod(plain.c_str(), 0755), 0);
}

TEST(FilesBaseTest, PortableSettingsPointBesideThemselvesTheUsersOwnIntoTheMusicFolder) {
  TempFolder home;
  ScopedEnv homeEnv("HOME", home.Path().c_str());
  ScopedEnv xdg("XDG_CONFIG_HOME", (home / "cfg").c_str());
  ASSERT_TRUE(MakeFolders(home / "cfg/mivo", 0700));

  const FilesBase portable = FilesBaseFor(home / "bin/mivo.ini");
  EXPECT_EQ(portable.folder, home / "bin");
  EXPECT_FALSE(portable.create);
  EXPECT_EQ(FilesBaseFor("tapes.ini").folder, std::filesystem::current_path().string());

  for (const std::string& ini : {home / "cfg/mivo/mivo.ini", home / "cfg/mivo/../tapes.ini"}) {
    const FilesBase own = FilesBaseFor(ini);
    EXPECT_EQ(own.folder, home / "Music/Mivo") << ini;
    EXPECT_TRUE(own.create);
  }
  EXPECT_FALSE(std::filesystem::exists(home / "Music"));

  // user-dirs.dirs as xdg-user-dir reads it; the last line of the key wins.
  const std::pair<std::string, std::string> cases[] = {
      {"XDG_MUSIC_DIR=\"$HOME/Musik\"\n", home / "Musik"},
      {"# XDG_MUSIC_DIR=\"/no\"\n  XDG_MUSIC_DIR = \"/srv/music/\"\n", "/srv/music"},
      {"XDG_MUSIC_DIR=\"/a\"\nXDG_MUSIC_DIR=\"/b\"\n", "/b"},
      {"XDG_MUSIC_DIR=\"relative\"\nXDG_MUSIC_DIR=\"$HOMEX/a\"\n", home / "Music"},
      {"XDG_DOWNLOAD_DIR=\"$HOME/dl\"\nXDG_MUSIC_DIRS=\"/x\"\n", home / "Music"},
  };
  for (const auto& [dirs, music] : cases) {
    std::ofstream(home / "cfg/user-dirs.dirs") << dirs;
    EXPECT_EQ(UserMusicFolder(), music) << dirs;
  }
}

TEST(RuntimeFolderTest, UsesOnlyAPrivateXdgRuntimeDir) {
  TempFolder runtime;  // 0700
  {
    ScopedEnv xdg("XDG_RUNTIME_DIR", runtime.Path().c_str());
    EXPECT_EQ(RuntimeFolder(), runtime.Path());
  }
  const std::string fallback = "/tmp/mivo-" + std::to_string(::geteuid());
  for (const mode_t mode : {0750, 0705, 0701}) {
    ASSERT_EQ(::chmod(runtime.Path().c_str(), mode), 0);
    ScopedEnv xdg("XDG_RUNTIME_DIR", runtime.Path().c_str());
    EXPECT_EQ(RuntimeFolder(), fallback) << std::oct << mode;
  }
  ScopedEnv unset("XDG_RUNTIME_DIR", nullptr);
  EXPECT_EQ(RuntimeFolder(), fallback);
  EXPECT_EQ(ModeOf(fallback), 0700u);
}

TEST(RuntimeFolderTest, PrivateFolderIsCreatedOrCheckedStrictly) {
  TempFolder base;
  EXPECT_EQ(EnsurePrivateFolder(base / "new"), base / "new");
  EXPECT_EQ(ModeOf(base / "new"), 0700u);
  EXPECT_EQ(EnsurePrivateFolder(base / "new"), base / "new");  // existing and fine

  ASSERT_EQ(::symlink((base / "new").c_str(), (base / "link").c_str()), 0);
  EXPECT_EQ(EnsurePrivateFolder(base / "link"), "");
  ASSERT_EQ(::mkdir((base / "open").c_str(), 0700), 0);
  ASSERT_EQ(::chmod((base / "open").c_str(), 0755), 0);
  EXPECT_EQ(EnsurePrivateFolder(base / "open"), "");
  EXPECT_EQ(ModeOf(base / "open"), 0755u);  // refused, not repaired
  Touch(base / "file");
  EXPECT_EQ(EnsurePrivateFolder(base / "file"), "");
  EXPECT_EQ(EnsurePrivateFolder(base / "file/sub"), "");
  if (::geteuid() == 0) {
    ASSERT_EQ(::mkdir((base / "theirs").c_str(), 0700), 0);
    ASSERT_EQ(::chown((base / "theirs").c_str(), kNobody, kNobody), 0);
    EXPECT_EQ(EnsurePrivateFolder(base / "theirs"), "");
  }
}

}  // namespace
}  // namespace mivo::platform
