#include "platform/process/paths.h"

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>

#include <gtest/gtest.h>

#include "test_folders.h"

namespace mivo::platform {
namespace {

using test_support::ScopedEnv;
using test_support::TempFolder;

constexpr uid_t kNobody = 65534;

mode_t ModeOf(const std::string& path) {
  struct stat st{};
  return ::lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

void Touch(const std::string& path) { std::ofstream(path) << "[Mivo]\n"; }

// Runs `check` in a child process, as the user nobody when we are root (root
// may write to any folder), and returns its exit code: 0 for success.
int RunUnprivileged(const std::function<int()>& check) {
  const pid_t pid = ::fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    if (::geteuid() == 0 &&
        (::setgroups(0, nullptr) != 0 || ::setresgid(kNobody, kNobody, kNobody) != 0 ||
         ::setresuid(kNobody, kNobody, kNobody) != 0)) {
      ::_exit(100);
    }
    ::_exit(check());
  }
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST(ExecutableFolderTest, IsTheFolderOfTheRunningTest) {
  const std::string folder = ExecutableFolder();
  ASSERT_FALSE(folder.empty());
  EXPECT_EQ(folder.front(), '/');
  EXPECT_NE(folder.back(), '/');
  EXPECT_TRUE(std::filesystem::exists(folder + "/platform_process_tests"));
}

TEST(DefaultSettingsPathTest, WritableExecutableFolderHoldsTheSettings) {
  TempFolder exe;
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
