// Where Mivo keeps its files: the executable's folder, the settings file and
// the private per-user folder for sockets and locks.
#pragma once

#include <string>

namespace mivo::platform {

// The folder holding the running executable (from /proc/self/exe), without a
// trailing '/' ("/" itself for the root). "." when it cannot be read.
std::string ExecutableFolder();

// The settings file used when the command line names none:
// "<exeFolder>/mivo.ini" when that folder is writable or already holds a
// mivo.ini (a portable install), otherwise "$XDG_CONFIG_HOME/mivo/mivo.ini"
// with $XDG_CONFIG_HOME defaulting to "$HOME/.config". The mivo folder (and
// any missing folder above it) is created with mode 0700. When that fails the
// path is still returned: loading or saving it then reports the error.
std::string DefaultSettingsPath(const std::string& exeFolder);

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
