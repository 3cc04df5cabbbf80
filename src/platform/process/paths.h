// Where Mivo keeps its files: the executable's folder, the settings file,
// the folder that relative recording folders are taken from and the private
// per-user folder for sockets and locks.
#pragma once

#include <sys/types.h>

#include <string>

namespace mivo::platform {

// The folder holding the running executable (from /proc/self/exe), without a
// trailing '/' ("/" itself for the root). "." when it cannot be read.
std::string ExecutableFolder();

// The settings file used when the command line names none:
// "<exeFolder>/mivo.ini" when that folder already holds a mivo.ini (a
// portable set-up, as the build tree's), otherwise "$XDG_CONFIG_HOME/mivo/mivo.ini"
// with $XDG_CONFIG_HOME defaulting to "$HOME/.config". The mivo folder (and
// any missing folder above it) is created with mode 0700. When that fails the
// path is still returned: loading or saving it then reports the error.
std::string DefaultSettingsPath(const std::string& exeFolder);

// $XDG_CONFIG_HOME, or "$HOME/.config" when it is unset, empty or relative.
std::string UserConfigFolder();

// The user's music folder as `xdg-user-dir MUSIC` names it: XDG_MUSIC_DIR in
// "<UserConfigFolder()>/user-dirs.dirs" ("$HOME/..." or an absolute path),
// else "$HOME/Music".
std::string UserMusicFolder();

// Where the relative folder names of a settings file point.
struct FilesBase {
  std::string folder;   // absolute, without a trailing '/'
  bool create = false;  // not made yet by anyone else: create it on first use
};

// For a settings file inside the user's configuration folder: "Mivo" in the
// user's music folder, created on first use. For any other (beside the
// executable, or named on the command line): the folder holding the file.
FilesBase FilesBaseFor(const std::string& settingsPath);

// Creates `path` and every missing folder above it with `mode` (less the
// umask). True when `path` is a folder afterwards.
bool MakeFolders(const std::string& path, mode_t mode);

// The private per-user folder for sockets and locks: $XDG_RUNTIME_DIR when it
// is an absolute path to a directory owned by us with no group or other
// access, otherwise EnsurePrivateFolder("/tmp/mivo-<uid>"). Empty when
// neither is usable; the caller reports the error.
std::string RuntimeFolder();

// Creates `path` with mode 0700 when missing, then returns it if it is a real
// directory (not a symlink) owned by the effective user with mode exactly
// 0700. Empty otherwise; a folder that fails the check is left untouched.
std::string EnsurePrivateFolder(const std::string& path);

}  // namespace mivo::platform
