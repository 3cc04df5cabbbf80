#include "platform/process/paths.h"

#include <pwd.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string_view>
#include <system_error>
#include <vector>

namespace mivo::platform {
namespace {

constexpr mode_t kPrivateMode = 0700;

// The value of an environment variable; empty when unset.
std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::string(value) : std::string();
}

std::string HomeFolder() {
  std::string home = Env("HOME");
  if (!home.empty()) return home;
  // No $HOME (a service started without an environment): ask the user database.
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
      found != nullptr && found->pw_dir != nullptr) {
    home = found->pw_dir;
  }
  return home;
}

bool MakeFolder(const std::string& path, mode_t mode) {
  if (::mkdir(path.c_str(), mode) == 0) return true;
  if (errno != EEXIST) return false;
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The value of one line "XDG_<name>_DIR=..." of user-dirs.dirs, read as
// xdg-user-dir and GLib read it: a double-quoted "$HOME/..." or absolute
// path, without a final '/'. Empty for any other line.
std::string UserDirValue(std::string_view line, std::string_view key, const std::string& home) {
  const auto skipBlanks = [&line] {
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
  };
  skipBlanks();
  if (line.substr(0, key.size()) != key) return {};
  line.remove_prefix(key.size());
  skipBlanks();
  if (line.empty() || line.front() != '=') return {};
  line.remove_prefix(1);
  skipBlanks();
  if (line.empty() || line.front() != '"') return {};
  line.remove_prefix(1);
  const std::size_t close = line.rfind('"');
  if (close == std::string_view::npos) return {};
  line = line.substr(0, close);
  std::string value;
  if (line.substr(0, 5) == "$HOME") {
    line.remove_prefix(5);
    if (!line.empty() && line.front() != '/') return {};
    value = home + std::string(line);
  } else if (!line.empty() && line.front() == '/') {
    value = std::string(line);
  } else {
    return {};
  }
  while (value.size() > 1 && value.back() == '/') value.pop_back();
  return value;
}

// `inner` is `outer` or lies below it (both absolute and normal).
bool IsWithin(const std::filesystem::path& inner, std::filesystem::path outer) {
  if (!outer.has_filename()) outer = outer.parent_path();  // a final '/'
  auto i = inner.begin();
  for (const auto& part : outer) {
    if (i == inner.end() || *i != part) return false;
    ++i;
  }
  return true;
}

}  // namespace

std::string ExecutableFolder() {
  std::vector<char> buffer(4096);
  for (;;) {
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return ".";
    if (static_cast<std::size_t>(n) < buffer.size()) {
      const std::string exe(buffer.data(), static_cast<std::size_t>(n));
      const std::size_t slash = exe.rfind('/');
      if (slash == std::string::npos) return ".";
      if (slash == 0) return "/";
      return exe.substr(0, slash);
    }
    // Possibly truncated: try again with more room.
    if (buffer.size() >= 1u << 16) return ".";
    buffer.resize(buffer.size() * 2);
  }
}

bool MakeFolders(const std::string& path, mode_t mode) {
  for (std::size_t pos = path.find('/', 1); pos != std::string::npos;
       pos = path.find('/', pos + 1)) {
    if (path[pos - 1] == '/') continue;
    if (!MakeFolder(path.substr(0, pos), mode)) return false;
  }
  return MakeFolder(path, mode);
}

std::string DefaultSettingsPath(const std::string& exeFolder) {
  // Only a mivo.ini that is there already makes a portable set-up: an
  // installed program's folder (/usr/bin for root, ~/.local/bin) is no place
  // for settings and recordings just because it can be written.
  const std::string beside = exeFolder + "/mivo.ini";
  if (::access(beside.c_str(), F_OK) == 0) return beside;
  const std::string folder = UserConfigFolder() + "/mivo";
  static_cast<void>(MakeFolders(folder, kPrivateMode));  // failure shows when the file is used
  return folder + "/mivo.ini";
}

std::string UserConfigFolder() {
  const std::string config = Env("XDG_CONFIG_HOME");
  // Relative values are invalid and must be ignored.
  if (config.empty() || config[0] != '/') return HomeFolder() + "/.config";
  return config;
}

std::string UserMusicFolder() {
  const std::string home = HomeFolder();
  std::string music;
  std::ifstream dirs(UserConfigFolder() + "/user-dirs.dirs");
  for (std::string line; std::getline(dirs, line);) {
    std::string value = UserDirValue(line, "XDG_MUSIC_DIR", home);
    if (!value.empty()) music = std::move(value);  // the last line wins
  }
  return music.empty() ? home + "/Music" : music;
}

FilesBase FilesBaseFor(const std::string& settingsPath) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::path file = fs::absolute(settingsPath, ec);
  if (ec) file = settingsPath;
  file = file.lexically_normal();

  // The folder's real place decides; a link to a file elsewhere does not.
  const fs::path config = fs::weakly_canonical(UserConfigFolder(), ec);
  const fs::path real = ec ? fs::path() : fs::weakly_canonical(file.parent_path(), ec);
  if (!ec && !config.empty() && IsWithin(real, config)) {
    return FilesBase{UserMusicFolder() + "/Mivo", true};
  }
  std::string folder = file.parent_path().string();
  if (folder.empty()) folder = "/";
  return FilesBase{folder, false};
}

std::string EnsurePrivateFolder(const std::string& path) {
  if (path.empty()) return {};
  if (::mkdir(path.c_str(), kPrivateMode) != 0 && errno != EEXIST) return {};
  struct stat st{};
  if (::lstat(path.c_str(), &st) != 0) return {};
  if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() ||
      (st.st_mode & 07777) != kPrivateMode) {
    return {};
  }
  return path;
}

std::string RuntimeFolder() {
  const std::string xdg = Env("XDG_RUNTIME_DIR");
  if (!xdg.empty() && xdg[0] == '/') {
    struct stat st{};
    if (::stat(xdg.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
        st.st_uid == ::geteuid() && (st.st_mode & 077) == 0) {
      return xdg;
    }
  }
  return EnsurePrivateFolder("/tmp/mivo-" + std::to_string(::geteuid()));
}

}  // namespace mivo::platform
