#include "platform/process/paths.h"

#include <pwd.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
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

bool MakeFolder(const std::string& path) {
  if (::mkdir(path.c_str(), kPrivateMode) == 0) return true;
  if (errno != EEXIST) return false;
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Creates `path` and every missing folder above it.
bool MakeFolders(const std::string& path) {
  for (std::size_t pos = path.find('/', 1); pos != std::string::npos;
       pos = path.find('/', pos + 1)) {
    if (path[pos - 1] == '/') continue;
    if (!MakeFolder(path.substr(0, pos))) return false;
  }
  return MakeFolder(path);
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

std::string DefaultSettingsPath(const std::string& exeFolder) {
  const std::string beside = exeFolder + "/mivo.ini";
  if (::access(exeFolder.c_str(), W_OK) == 0 || ::access(beside.c_str(), F_OK) == 0) {
    return beside;
  }
  std::string config = Env("XDG_CONFIG_HOME");
  // Relative values are invalid and must be ignored.
  if (config.empty() || config[0] != '/') {
    config = HomeFolder() + "/.config";
  }
  const std::string folder = config + "/mivo";
  static_cast<void>(MakeFolders(folder));  // failure shows when the file is used
  return folder + "/mivo.ini";
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
