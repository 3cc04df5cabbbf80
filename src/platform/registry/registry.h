// A per-user store of typed values under key paths, shaped like the
// registry calls the program makes (RegOpenKeyEx, RegQueryValueEx,
// RegSetValueEx, RegCloseKey below HKEY_CURRENT_USER), kept in a text file.
//
// The file, "$XDG_CONFIG_HOME/mivo/registry" unless another path is given:
//
//   # comment
//   [Software\MarineCat\GOGO_DLL]
//   INSTPATH=sz:/home/me/gogo/lib
//   Count=dword:0x00000010
//   Bytes=binary:01 02 ff
//
// A key line names a key path in brackets, with "\" between its parts. Each
// value line below it is name=type:data. Types: sz, expand_sz and multi_sz
// (text; "\\", "\n", "\r", "\t", "\0" and "\xHH" are escapes, "\0" also
// separates the items of multi_sz, any other "\" stays as it is), dword and
// qword (a number, decimal or 0x hex), binary (hex bytes, spaces or commas
// between them) and hex(N) (hex bytes of type number N). Key paths and
// value names compare without regard to ASCII case, as the registry's do.
// Lines that fit none of these are ignored. Writing a value rewrites the
// file (comments are not kept).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace mivo::platform {

// Value types, numbered as the Windows registry numbers them.
inline constexpr std::uint32_t REG_NONE = 0;
inline constexpr std::uint32_t REG_SZ = 1;
inline constexpr std::uint32_t REG_EXPAND_SZ = 2;
inline constexpr std::uint32_t REG_BINARY = 3;
inline constexpr std::uint32_t REG_DWORD = 4;
inline constexpr std::uint32_t REG_MULTI_SZ = 7;
inline constexpr std::uint32_t REG_QWORD = 11;

// Results, as the registry calls give them.
inline constexpr long ERROR_SUCCESS = 0;
inline constexpr long ERROR_FILE_NOT_FOUND = 2;
inline constexpr long ERROR_ACCESS_DENIED = 5;
inline constexpr long ERROR_INVALID_DATA = 13;
inline constexpr long ERROR_WRITE_FAULT = 29;
inline constexpr long ERROR_INVALID_PARAMETER = 87;
inline constexpr long ERROR_MORE_DATA = 234;

struct RegistryValue {
  std::uint32_t type = REG_NONE;
  // The bytes as the registry holds them: text types with their
  // terminating NUL (multi_sz with two), numbers little-endian.
  std::string data;
};

// An open key: the values it held when it was opened. Closing is dropping it.
class RegistryKey {
 public:
  // As RegQueryValueEx: ERROR_FILE_NOT_FOUND for a missing value. Sets
  // *type when `type` is given. With `data`, copies the value when *size
  // is large enough and returns ERROR_MORE_DATA otherwise; *size becomes the
  // value's size in either case. Without `data`, only *size is set.
  long QueryValue(std::string_view name, std::uint32_t* type, void* data, std::uint32_t* size) const;

  const RegistryValue* Find(std::string_view name) const;

 private:
  friend class Registry;
  std::vector<std::pair<std::string, RegistryValue>> m_values;
};

class Registry {
 public:
  // "$XDG_CONFIG_HOME/mivo/registry", $XDG_CONFIG_HOME defaulting to
  // "$HOME/.config".
  static std::string DefaultPath();

  explicit Registry(std::string path) : m_strPath(std::move(path)) {}
  const std::string& Path() const { return m_strPath; }

  // As RegOpenKeyEx: ERROR_FILE_NOT_FOUND when the file or the key does not
  // exist, ERROR_ACCESS_DENIED when the file cannot be read.
  long OpenKey(std::string_view keyPath, RegistryKey* key) const;

  // As RegSetValueEx, creating the key (and the file and its folder) when
  // missing. `data` holds the bytes as described for RegistryValue. The file
  // is replaced in one step; ERROR_WRITE_FAULT when that fails.
  long SetValue(std::string_view keyPath, std::string_view name, std::uint32_t type, std::string_view data);
  // A REG_SZ (or REG_EXPAND_SZ) value from text without its NUL.
  long SetString(std::string_view keyPath, std::string_view name, std::string_view text,
                 std::uint32_t type = REG_SZ);

 private:
  std::string m_strPath;
};

}  // namespace mivo::platform
