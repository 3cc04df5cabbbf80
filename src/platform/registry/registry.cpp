#include "platform/registry/registry.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "platform/process/regular_file.h"

namespace mivo::platform {
namespace {

struct KeyEntry {
  std::string path;
  std::vector<std::pair<std::string, RegistryValue>> values;
};
using Document = std::vector<KeyEntry>;

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

// "\Software\X\" and "Software\X" name the same key.
std::string NormalKeyPath(std::string_view path) {
  path = Trim(path);
  while (!path.empty() && path.front() == '\\') path.remove_prefix(1);
  while (!path.empty() && path.back() == '\\') path.remove_suffix(1);
  return std::string(path);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = Lower(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string Unescape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c != '\\' || i + 1 >= text.size()) {
      out += c;
      continue;
    }
    const char e = text[i + 1];
    switch (e) {
      case '\\': out += '\\'; ++i; break;
      case 'n': out += '\n'; ++i; break;
      case 'r': out += '\r'; ++i; break;
      case 't': out += '\t'; ++i; break;
      case '0': out += '\0'; ++i; break;
      case 'x':
        if (i + 3 < text.size() && HexDigit(text[i + 2]) >= 0 && HexDigit(text[i + 3]) >= 0) {
          out += static_cast<char>(HexDigit(text[i + 2]) * 16 + HexDigit(text[i + 3]));
          i += 3;
        } else {
          out += c;
        }
        break;
      default: out += c; break;  // a lone "\" stays, as in a Windows path
    }
  }
  return out;
}

std::string Escape(std::string_view bytes) {
  std::string out;
  for (const char c : bytes) {
    const auto u = static_cast<unsigned char>(c);
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (u < 0x20 || u == 0x7F) {
          char hex[8];
          std::snprintf(hex, sizeof hex, "\\x%02x", u);
          out += hex;
        } else {
          out += c;
        }
    }
  }
  return out;
}

bool ParseHexBytes(std::string_view text, std::string* out) {
  out->clear();
  std::size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c == ' ' || c == ',' || c == '\t') {
      ++i;
      continue;
    }
    if (i + 1 >= text.size() || HexDigit(c) < 0 || HexDigit(text[i + 1]) < 0) return false;
    *out += static_cast<char>(HexDigit(c) * 16 + HexDigit(text[i + 1]));
    i += 2;
  }
  return true;
}

std::string HexBytes(std::string_view bytes) {
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    char hex[4];
    std::snprintf(hex, sizeof hex, i == 0 ? "%02x" : " %02x", static_cast<unsigned char>(bytes[i]));
    out += hex;
  }
  return out;
}

bool ParseNumber(std::string_view text, int bytes, std::string* out) {
  const std::string s(Trim(text));
  if (s.empty() || s[0] == '-') return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(s.c_str(), &end, 0);
  if (errno != 0 || end == s.c_str() || *end != '\0') return false;
  if (bytes == 4 && v > 0xFFFFFFFFull) return false;
  out->clear();
  for (int i = 0; i < bytes; ++i) *out += static_cast<char>((v >> (8 * i)) & 0xFF);
  return true;
}

std::uint64_t LittleEndian(std::string_view bytes) {
  std::uint64_t v = 0;
  for (std::size_t i = bytes.size(); i-- > 0;) v = (v << 8) | static_cast<unsigned char>(bytes[i]);
  return v;
}

// One value line's "type:data" part.
bool ParseValue(std::string_view text, RegistryValue* value) {
  const auto colon = text.find(':');
  if (colon == std::string_view::npos) return false;
  const std::string type(Trim(text.substr(0, colon)));
  const std::string_view data = text.substr(colon + 1);
  if (SameName(type, "sz") || SameName(type, "expand_sz")) {
    value->type = SameName(type, "sz") ? REG_SZ : REG_EXPAND_SZ;
    value->data = Unescape(data);
    value->data += '\0';
    return true;
  }
  if (SameName(type, "multi_sz")) {
    value->type = REG_MULTI_SZ;
    value->data = Unescape(data);
    value->data.append(2, '\0');
    return true;
  }
  if (SameName(type, "dword")) {
    value->type = REG_DWORD;
    return ParseNumber(data, 4, &value->data);
  }
  if (SameName(type, "qword")) {
    value->type = REG_QWORD;
    return ParseNumber(data, 8, &value->data);
  }
  if (SameName(type, "binary")) {
    value->type = REG_BINARY;
    return ParseHexBytes(data, &value->data);
  }
  if (type.size() > 5 && SameName(type.substr(0, 4), "hex(") && type.back() == ')') {
    std::string number;
    if (!ParseNumber(type.substr(4, type.size() - 5), 4, &number)) return false;
    value->type = static_cast<std::uint32_t>(LittleEndian(number));
    return ParseHexBytes(data, &value->data);
  }
  return false;
}

std::string FormatValue(const RegistryValue& v) {
  const std::string_view d = v.data;
  const bool endsNul = !d.empty() && d.back() == '\0';
  if ((v.type == REG_SZ || v.type == REG_EXPAND_SZ) && endsNul) {
    return std::string(v.type == REG_SZ ? "sz:" : "expand_sz:") + Escape(d.substr(0, d.size() - 1));
  }
  if (v.type == REG_MULTI_SZ && d.size() >= 2 && d.substr(d.size() - 2) == std::string_view("\0\0", 2)) {
    return "multi_sz:" + Escape(d.substr(0, d.size() - 2));
  }
  char number[32];
  if (v.type == REG_DWORD && d.size() == 4) {
    std::snprintf(number, sizeof number, "dword:0x%08llx", static_cast<unsigned long long>(LittleEndian(d)));
    return number;
  }
  if (v.type == REG_QWORD && d.size() == 8) {
    std::snprintf(number, sizeof number, "qword:0x%016llx", static_cast<unsigned long long>(LittleEndian(d)));
    return number;
  }
  if (v.type == REG_BINARY) return "binary:" + HexBytes(d);
  std::snprintf(number, sizeof number, "hex(%u):", static_cast<unsigned>(v.type));
  return number + HexBytes(d);
}

long Load(const std::string& path, Document* doc) {
  doc->clear();
  // Not a regular file (a FIFO would block the open for ever): unreadable.
  std::FILE* f = OpenRegularFileStream(path, nullptr);
  if (f == nullptr) return errno == ENOENT || errno == ENOTDIR ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED;
  std::string text;
  char buffer[4096];
  std::size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
  const bool readError = std::ferror(f) != 0;
  // Nothing was written: closing a file read to its end cannot lose data.
  static_cast<void>(std::fclose(f));
  if (readError) return ERROR_ACCESS_DENIED;
  std::istringstream in(text);
  std::string line;
  KeyEntry* current = nullptr;
  while (std::getline(in, line)) {
    const std::string_view view = Trim(line);
    if (view.empty() || view.front() == '#' || view.front() == ';') continue;
    if (view.front() == '[') {
      current = nullptr;
      if (view.back() != ']') continue;
      const std::string keyPath = NormalKeyPath(view.substr(1, view.size() - 2));
      if (keyPath.empty()) continue;
      for (KeyEntry& k : *doc) {
        if (SameName(k.path, keyPath)) current = &k;
      }
      if (current == nullptr) {
        doc->push_back(KeyEntry{keyPath, {}});
        current = &doc->back();
      }
      continue;
    }
    if (current == nullptr) continue;
    // Leading blanks go; the data keeps everything after "type:".
    std::string_view raw = line;
    while (!raw.empty() && (raw.front() == ' ' || raw.front() == '\t')) raw.remove_prefix(1);
    if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
    const auto eq = raw.find('=');
    if (eq == std::string_view::npos) continue;
    const std::string name(Trim(raw.substr(0, eq)));
    std::string_view rest = raw.substr(eq + 1);
    while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t')) rest.remove_prefix(1);
    RegistryValue value;
    if (name.empty() || !ParseValue(rest, &value)) continue;
    bool replaced = false;
    for (auto& [n, v] : current->values) {
      if (SameName(n, name)) {
        v = value;
        replaced = true;
      }
    }
    if (!replaced) current->values.emplace_back(name, std::move(value));
  }
  return ERROR_SUCCESS;
}

std::string Serialize(const Document& doc) {
  std::string out = "# Mivo's registry: [key path], then name=type:data per value.\n";
  for (const KeyEntry& k : doc) {
    out += "\n[" + k.path + "]\n";
    for (const auto& [name, value] : k.values) out += name + "=" + FormatValue(value) + "\n";
  }
  return out;
}

bool MakeFolders(const std::string& folder) {
  if (folder.empty()) return true;
  for (std::size_t pos = folder.find('/', 1);; pos = folder.find('/', pos + 1)) {
    const std::string part = pos == std::string::npos ? folder : folder.substr(0, pos);
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    if (pos == std::string::npos) break;
  }
  struct stat st{};
  return ::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Writes the whole file beside its place and renames it there.
bool ReplaceFile(const std::string& path, const std::string& text) {
  const auto slash = path.rfind('/');
  if (slash != std::string::npos && !MakeFolders(path.substr(0, slash))) return false;
  std::string temp = path + ".tmp-XXXXXX";
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) return false;
  bool ok = true;
  std::size_t done = 0;
  while (ok && done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ok = false;
    else done += static_cast<std::size_t>(n);
  }
  ok = ok && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  ok = ok && std::rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) static_cast<void>(std::remove(temp.c_str()));
  return ok;
}

bool ValidName(std::string_view name) {
  return !name.empty() && name.find_first_of("=\n\r") == std::string_view::npos &&
         Trim(name).size() == name.size() && name.front() != '[' && name.front() != '#' && name.front() != ';';
}

bool ValidKeyPath(std::string_view path) {
  return !path.empty() && path.find_first_of("[]\n\r") == std::string_view::npos;
}

}  // namespace

std::string Registry::DefaultPath() {
  std::string base;
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  // The XDG base directory rules ignore a relative XDG_CONFIG_HOME.
  if (xdg != nullptr && xdg[0] == '/') {
    base = xdg;
  } else {
    const char* home = std::getenv("HOME");
    std::string h = home != nullptr ? std::string(home) : std::string();
    if (h.empty()) {
      long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
      std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
      passwd entry{};
      passwd* found = nullptr;
      if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
          found->pw_dir != nullptr) {
        h = found->pw_dir;
      }
    }
    base = h + "/.config";
  }
  return base + "/mivo/registry";
}

const RegistryValue* RegistryKey::Find(std::string_view name) const {
  for (const auto& [n, v] : m_values) {
    if (SameName(n, name)) return &v;
  }
  return nullptr;
}

long RegistryKey::QueryValue(std::string_view name, std::uint32_t* type, void* data, std::uint32_t* size) const {
  if (data != nullptr && size == nullptr) return ERROR_INVALID_PARAMETER;
  const RegistryValue* v = Find(name);
  if (v == nullptr) return ERROR_FILE_NOT_FOUND;
  if (type != nullptr) *type = v->type;
  const auto needed = static_cast<std::uint32_t>(v->data.size());
  if (size == nullptr) return ERROR_SUCCESS;
  if (data != nullptr) {
    if (*size < needed) {
      *size = needed;
      return ERROR_MORE_DATA;
    }
    std::memcpy(data, v->data.data(), needed);
  }
  *size = needed;
  return ERROR_SUCCESS;
}

long Registry::OpenKey(std::string_view keyPath, RegistryKey* key) const {
  if (key == nullptr) return ERROR_INVALID_PARAMETER;
  try {
    Document doc;
    if (const long r = Load(m_strPath, &doc); r != ERROR_SUCCESS) return r;
    const std::string wanted = NormalKeyPath(keyPath);
    for (KeyEntry& k : doc) {
      if (SameName(k.path, wanted)) {
        key->m_values = std::move(k.values);
        return ERROR_SUCCESS;
      }
    }
    return ERROR_FILE_NOT_FOUND;
  } catch (...) {
    // Only running out of memory gets here.
    return ERROR_INVALID_DATA;
  }
}

long Registry::SetValue(std::string_view keyPath, std::string_view name, std::uint32_t type,
                        std::string_view data) {
  const std::string path = NormalKeyPath(keyPath);
  if (!ValidKeyPath(path) || !ValidName(name)) return ERROR_INVALID_PARAMETER;
  try {
    Document doc;
    const long r = Load(m_strPath, &doc);
    if (r != ERROR_SUCCESS && r != ERROR_FILE_NOT_FOUND) return r;
    KeyEntry* key = nullptr;
    for (KeyEntry& k : doc) {
      if (SameName(k.path, path)) key = &k;
    }
    if (key == nullptr) {
      doc.push_back(KeyEntry{path, {}});
      key = &doc.back();
    }
    RegistryValue value{type, std::string(data)};
    bool replaced = false;
    for (auto& [n, v] : key->values) {
      if (SameName(n, name)) {
        v = value;
        replaced = true;
      }
    }
    if (!replaced) key->values.emplace_back(std::string(name), std::move(value));
    return ReplaceFile(m_strPath, Serialize(doc)) ? ERROR_SUCCESS : ERROR_WRITE_FAULT;
  } catch (...) {
    return ERROR_WRITE_FAULT;
  }
}

long Registry::SetString(std::string_view keyPath, std::string_view name, std::string_view text,
                         std::uint32_t type) {
  std::string data(text);
  data += '\0';
  return SetValue(keyPath, name, type, data);
}

}  // namespace mivo::platform
