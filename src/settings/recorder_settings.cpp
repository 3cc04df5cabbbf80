// mivo.ini: one "key=value" line per member, keys in a fixed order.
//
// Reading follows the classic line reader: a 1024-byte buffer (a longer line
// is handled in pieces of at most 1023 bytes, each piece as a line), "#" lines
// skipped, the first "=" splits key and value, one trailing newline (with a
// "\r" before it) removed, nothing else trimmed. Values are bytes; folder
// names come back unchanged.
//
// Writing goes to a temporary file beside the target (the file a symbolic
// link leads to), which is renamed over the target only when every byte
// reached the disk. Where no temporary file can be made, the target is
// rewritten in place.

#include "settings/recorder_settings.h"

#include <fcntl.h>
#include <limits.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <variant>

#include "platform/files/files.h"
#include "platform/process/paths.h"
#include "platform/process/regular_file.h"
#include "platform/process/unique_fd.h"

namespace mivo {
namespace {

// ---------------------------------------------------------------------------
// Value conversion

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
         c == '\r';
}

// Decimal text to a 32-bit integer, as atoi reads it: leading blanks, an
// optional sign, then digits up to the first non-digit; no digits give 0.
// A number outside the 32-bit range saturates to INT32_MIN or INT32_MAX
// (the digits are still consumed, so nothing overflows on the way).
std::int32_t ParseInt(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  // One past the int32 range is enough to know that it saturates.
  constexpr std::int64_t kCap =
      static_cast<std::int64_t>(std::numeric_limits<std::int32_t>::max()) + 1;
  std::int64_t magnitude = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    magnitude = magnitude * 10 + (text[i] - '0');
    if (magnitude > kCap) magnitude = kCap;
  }
  const std::int64_t value = negative ? -magnitude : magnitude;
  if (value > std::numeric_limits<std::int32_t>::max()) {
    return std::numeric_limits<std::int32_t>::max();
  }
  return static_cast<std::int32_t>(value);  // -kCap is INT32_MIN exactly
}

// The low 16 bits of the 32-bit value, as a 16-bit member stores it.
std::int16_t LowBits16(std::int32_t value) {
  return static_cast<std::int16_t>(
      static_cast<std::uint16_t>(static_cast<std::uint32_t>(value) & 0xFFFFu));
}

// strtod in the "C" locale, whatever locale the window toolkit has set, so
// that "0.500000" always means one half.
double ParseReal(std::string_view text) {
  static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", locale_t{});
  const std::string copy(text);  // strtod wants a terminated string
  if (cLocale == locale_t{}) return std::strtod(copy.c_str(), nullptr);
  return strtod_l(copy.c_str(), nullptr, cLocale);
}

// "%f" without the locale's decimal separator: fixed, six decimals.
void AppendReal(std::string& out, double value) {
  char buf[400];  // DBL_MAX has 309 integer digits
  const auto result = std::to_chars(buf, buf + sizeof buf, value,
                                    std::chars_format::fixed, 6);
  if (result.ec == std::errc{}) out.append(buf, result.ptr);
}

void AppendInt(std::string& out, std::int32_t value) {
  char buf[16];
  const auto result = std::to_chars(buf, buf + sizeof buf, value);
  if (result.ec == std::errc{}) out.append(buf, result.ptr);
}

std::int32_t AddSaturated(std::int32_t value, std::int32_t delta) {
  const std::int64_t sum = static_cast<std::int64_t>(value) + delta;
  if (sum > std::numeric_limits<std::int32_t>::max()) {
    return std::numeric_limits<std::int32_t>::max();
  }
  if (sum < std::numeric_limits<std::int32_t>::min()) {
    return std::numeric_limits<std::int32_t>::min();
  }
  return static_cast<std::int32_t>(sum);
}

// ---------------------------------------------------------------------------
// The key table

struct OutFileExp {};         // m_GogoSetting.pszOutFileExp, char[16]
struct LegacyNormalize {};    // NormalizeLevel, the older form
struct DebugLevelComment {};  // the two comment lines before DebugLogLevel

using Target = std::variant<std::int32_t*, std::int16_t*, bool*, double*,
                            std::string*, OutFileExp, LegacyNormalize,
                            DebugLevelComment>;

struct Field {
  std::string_view key;  // empty for the comment lines
  Target target;
};

constexpr std::string_view kDebugLevelComment =
    "#DebugLogLevel\u306f\u4e0b\u8a18\u306e\u5024\u306eOR\u3067\u3059\u3002\n"
    "# 1:\u6b63\u898f\u5316\u30ec\u30d9\u30eb\u30ed\u30b0  2: 4: 8: ...\n";

// Every line Save writes before the timer block, in file order.
// Keys 1 to 59 of the file and the comment.
constexpr std::size_t kFieldCount = 60;
std::array<Field, kFieldCount> FileFields(RecorderSettings& s) {
  return std::to_array<Field>({
      {"WaveInDevName", &s.WaveInDevName},
      {"m_nWaveInBufSize", &s.m_nWaveInBufSize},
      {"RecSamplesPerSec", &s.RecSamplesPerSec},
      {"RecBitsPerSample", &s.RecBitsPerSample},
      {"RecChannels", &s.RecChannels},
      {"m_nWavheaderShortening", &s.m_nWavheaderShortening},
      {"RecTempFolder", &s.RecTempFolder},
      {"RecFolder", &s.RecFolder},
      {"RecFilePre", &s.RecFilePre},
      {"m_bSilentDivide", &s.m_bSilentDivide},
      {"RecSilentThreshold", &s.RecSilentThreshold},
      {"RecSilentTimeSpan", &s.RecSilentTimeSpan},
      {"m_bDropWave", &s.m_bDropWave},
      {"m_dwDropWaveLen", &s.m_dwDropWaveLen},
      {"PriGapLen", &s.PriGapLen},
      {"PostGapLen", &s.PostGapLen},
      {"RecMeterType", &s.RecMeterType},
      {"RecNormalize", &s.RecNormalize},
      {"NormalizeLevel", LegacyNormalize{}},
      {"NormalizeLevel2", &s.NormalizeLevel2},
      {"NormalizeAuto", &s.NormalizeAuto},
      {"DcOffsetLevelL", &s.DcOffsetLevelL},
      {"DcOffsetLevelR", &s.DcOffsetLevelR},
      {"DcOffsetAuto", &s.DcOffsetAuto},
      {"RecDeEmphasis", &s.RecDeEmphasis},
      {"m_dblWavLim", &s.m_dblWavLim},
      {"m_dblWavLimSet", &s.m_dblWavLimSet},
      {"m_bOrgsave", &s.m_bOrgsave},
      {"Rec4844", &s.Rec4844},
      {"m_nConvKind", &s.m_nConvKind},
      {"m_nFs44Precision", &s.m_nFs44Precision},
      {"RecWav", &s.RecWav},
      {"RecMp3", &s.RecMp3},
      {"RecWma", &s.RecWma},
      {"ChangeTimestamp", &s.ChangeTimestamp},
      {"m_nSleepBeforProcess", &s.m_nSleepBeforProcess},
      {"m_nPriorityClass", &s.m_nPriorityClass},
      {"m_nRecThreadPriority", &s.m_nRecThreadPriority},
      {"TransThreadPriority", &s.TransThreadPriority},
      {"DebugLogFileName", &s.DebugLogFileName},
      {"", DebugLevelComment{}},
      {"DebugLogLevel", &s.DebugLogLevel},
      {"MC_ENCODEMODE", &s.MC_ENCODEMODE},
      {"MC_BITRATE", &s.MC_BITRATE},
      {"MC_USEPSY", &s.MC_USEPSY},
      {"MC_USELPF16", &s.MC_USELPF16},
      {"MC_EMPHASIS", &s.MC_EMPHASIS},
      {"MC_BOOL_VBR", &s.MC_BOOL_VBR},
      {"MC_VBR", &s.MC_VBR},
      {"MC_BOOL_OUTFREQ", &s.MC_BOOL_OUTFREQ},
      {"MC_OUTFREQ", &s.MC_OUTFREQ},
      {"m_GogoSetting.dwOutFmt", &s.m_GogoSetting.dwOutFmt},
      {"m_GogoSetting.bOutFileExp", &s.m_GogoSetting.bOutFileExp},
      {"m_GogoSetting.pszOutFileExp", OutFileExp{}},
      {"m_WmaSetting.nProfileIndex", &s.m_WmaSetting.nProfileIndex},
      {"m_WmaSetting.bUseDRM", &s.m_WmaSetting.bUseDRM},
      {"m_WmaSetting.bUseWMA8", &s.m_WmaSetting.bUseWMA8},
      {"m_WmaSetting.bAddIndex", &s.m_WmaSetting.bAddIndex},
      {"m_dwEwxFlag", &s.m_dwEwxFlag},
      {"m_dwEwxForce", &s.m_dwEwxForce},
  });
}

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

// ---------------------------------------------------------------------------
// Reading

void ApplyValue(RecorderSettings& s, const Target& target,
                std::string_view value) {
  std::visit(Overloaded{
                 [&](std::int32_t* p) { *p = ParseInt(value); },
                 [&](std::int16_t* p) { *p = LowBits16(ParseInt(value)); },
                 [&](bool* p) { *p = ParseInt(value) != 0; },
                 [&](double* p) { *p = ParseReal(value); },
                 [&](std::string* p) { p->assign(value); },
                 [&](OutFileExp) { s.SetOutFileExp(value); },
                 [&](LegacyNormalize) {
                   const std::int32_t level = ParseInt(value);
                   s.NormalizeAuto = level == 0;
                   s.NormalizeLevel2 = level == 0 ? 32767 : level;
                 },
                 [&](DebugLevelComment) {},
             },
             target);
}

void ApplyLine(RecorderSettings& s, std::string_view line) {
  if (line.empty() || line.front() == '#') return;
  const std::size_t eq = line.find('=');
  if (eq == std::string_view::npos) return;
  const std::string_view key = line.substr(0, eq);
  std::string_view value = line.substr(eq + 1);
  if (!value.empty() && value.back() == '\n') {
    value.remove_suffix(1);
    // Lines of a file from another system end in "\r\n".
    if (!value.empty() && value.back() == '\r') value.remove_suffix(1);
  }

  if (key == "TIMER_ENABLE") {
    s.m_bTimerEnableAtStart = true;
    return;
  }
  if (key == "TM_START") {
    s.TM_START = ParseInt(value);
    return;
  }
  if (key == "TM_END") {
    s.TM_END = ParseInt(value);
    return;
  }
  if (key == "TM_POWERDOWN") {
    s.TM_POWERDOWN = ParseInt(value) != 0;
    return;
  }
  for (const Field& field : FileFields(s)) {
    if (!field.key.empty() && field.key == key) {
      ApplyValue(s, field.target, value);
      return;
    }
  }
}

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// One piece as fgets with a 1024-byte buffer returns it: up to and including
// the next newline, at most 1023 bytes. Unlike fgets it keeps the length, so
// a NUL byte inside a line does not end it. False at end of file or error.
bool ReadPiece(std::FILE* f, std::string& piece) {
  constexpr std::size_t kMaxPiece = 1023;
  piece.clear();
  while (piece.size() < kMaxPiece) {
    const int c = std::getc(f);
    if (c == EOF) break;
    piece.push_back(static_cast<char>(c));
    if (c == '\n') break;
  }
  return !piece.empty();
}

// ---------------------------------------------------------------------------
// Writing

void AppendLine(std::string& out, std::string_view key, std::string_view text) {
  out.append(key);
  out.push_back('=');
  out.append(text);
  out.push_back('\n');
}

void AppendIntLine(std::string& out, std::string_view key, std::int32_t value) {
  out.append(key);
  out.push_back('=');
  AppendInt(out, value);
  out.push_back('\n');
}

void AppendField(std::string& out, const RecorderSettings& s,
                 const Field& field) {
  std::visit(
      Overloaded{
          [&](std::int32_t* p) { AppendIntLine(out, field.key, *p); },
          [&](std::int16_t* p) { AppendIntLine(out, field.key, *p); },
          [&](bool* p) { AppendIntLine(out, field.key, *p ? 1 : 0); },
          [&](double* p) {
            out.append(field.key);
            out.push_back('=');
            AppendReal(out, *p);
            out.push_back('\n');
          },
          [&](std::string* p) { AppendLine(out, field.key, *p); },
          [&](OutFileExp) {
            const char* ext = s.m_GogoSetting.pszOutFileExp;
            AppendLine(out, field.key,
                       std::string_view(ext, strnlen(ext, 15)));
          },
          [&](LegacyNormalize) {
            AppendIntLine(out, field.key,
                          s.NormalizeAuto ? 0 : s.NormalizeLevel2);
          },
          [&](DebugLevelComment) { out.append(kDebugLevelComment); },
      },
      field.target);
}

// Removes the temporary file unless it has been renamed into place.
class TempFileGuard {
 public:
  explicit TempFileGuard(std::string path) : m_path(std::move(path)) {}
  TempFileGuard(const TempFileGuard&) = delete;
  TempFileGuard& operator=(const TempFileGuard&) = delete;
  ~TempFileGuard() {
    if (m_bArmed) ::unlink(m_path.c_str());
  }
  void Release() { m_bArmed = false; }

 private:
  std::string m_path;
  bool m_bArmed = true;
};

// False, with "<path>: <the system's reason>" in `error` when asked for.
bool Failed(std::string* error, const std::string& path, int err) {
  if (error != nullptr) *error = path + ": " + std::strerror(err);
  return false;
}

// The file `path` finally names: symbolic links followed, a relative target
// taken from the link's folder. False (ELOOP) after 40 links, as the system
// gives up there too.
bool FinalTarget(const std::string& path, std::string* target) {
  std::string current = path;
  for (int links = 0; links <= 40; ++links) {
    struct stat st {};
    if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
      *target = current;
      return true;
    }
    std::array<char, PATH_MAX> buf;
    const ssize_t n = ::readlink(current.c_str(), buf.data(), buf.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= buf.size()) {
      errno = n < 0 ? errno : ENAMETOOLONG;
      return false;
    }
    std::string next(buf.data(), static_cast<std::size_t>(n));
    const std::size_t slash = current.rfind('/');
    if (next.front() != '/' && slash != std::string::npos) next = current.substr(0, slash + 1) + next;
    current = std::move(next);
  }
  errno = ELOOP;
  return false;
}

// Rewrites the file itself, for a folder where nothing new can be made but
// the file may be written: the new bytes first, then the length.
bool RewriteInPlace(const std::string& path, std::string_view content, std::string* error) {
  platform::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
  if (!fd) return Failed(error, path, errno);
  if (!platform::WriteAll(fd.Get(), content) ||
      ::ftruncate(fd.Get(), static_cast<off_t>(content.size())) != 0 || ::fsync(fd.Get()) != 0) {
    return Failed(error, path, errno);
  }
  // Linux frees the descriptor whatever close() says; fsync has spoken.
  return true;
}

// Writes `content` to the file `path` names so that the old file is either
// replaced as a whole or left untouched; only where that cannot be done is
// it rewritten in place.
bool ReplaceFile(const std::string& path, std::string_view content, std::string* error) {
  std::string target;
  if (!FinalTarget(path, &target)) return Failed(error, path, errno);
  const std::string tempPath = target + ".tmp" + std::to_string(::getpid());
  platform::UniqueFd fd(::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (!fd) return RewriteInPlace(target, content, error);
  TempFileGuard guard(tempPath);

  // Carry over the permissions of the file being replaced. When that fails
  // the new file keeps the default mode, which is no reason to lose the
  // user's settings.
  struct stat old {};
  if (::stat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode)) {
    (void)::fchmod(fd.Get(), old.st_mode & 07777);
  }

  if (!platform::WriteAll(fd.Get(), content) || ::fsync(fd.Get()) != 0) return Failed(error, tempPath, errno);
  if (::close(fd.Release()) != 0) return Failed(error, tempPath, errno);
  if (::rename(tempPath.c_str(), target.c_str()) != 0) {
    // The file may not be replaced (a file mounted on its own, a folder
    // that lets its files be written but not renamed): write it in place.
    return RewriteInPlace(target, content, error);
  }
  guard.Release();
  return true;
}

}  // namespace

void RecorderSettings::Load(const std::string& path) {
  *this = RecorderSettings{};

  // Only a regular file is read: a FIFO would block the open for ever.
  FilePtr file(platform::OpenRegularFileStream(path, nullptr));
  if (file) {
    std::string piece;
    while (ReadPiece(file.get(), piece)) ApplyLine(*this, piece);
  }

  if (m_nPriorityClass == -1) {
    m_nPriorityClass = 128;
    m_nRecThreadPriority = 15;
    TransThreadPriority = -15;
  }

  const platform::FilesBase base = platform::FilesBaseFor(path);
  m_strFilesBase = base.folder;
  m_bCreateFilesBase = base.create;
}

bool RecorderSettings::Save(const std::string& path, int timerState, std::string* error) {
  std::string out;
  out.reserve(2048);
  for (const Field& field : FileFields(*this)) AppendField(out, *this, field);

  if (timerState == 1) {
    // Arming moved the start one second earlier and the end one second
    // later; the file holds the times as the user entered them.
    TM_START = AddSaturated(TM_START, 1);
    TM_END = AddSaturated(TM_END, -1);
    out.append("TIMER_ENABLE=1\n");
    AppendIntLine(out, "TM_START", TM_START);
    AppendIntLine(out, "TM_END", TM_END);
    AppendIntLine(out, "TM_POWERDOWN", TM_POWERDOWN ? 1 : 0);
  }

  return ReplaceFile(path, out, error);
}

std::string RecorderSettings::FilesFolder(const std::string& folder) const {
  if (!folder.empty() && folder.front() == '/') return folder;
  if (m_strFilesBase.empty()) return folder.empty() ? "." : folder;
  // A failure shows when a file is made there.
  if (m_bCreateFilesBase) static_cast<void>(platform::MakeFolders(m_strFilesBase, 0777));
  if (folder.empty() || folder == ".") return m_strFilesBase;
  if (m_strFilesBase.back() == '/') return m_strFilesBase + folder;
  return m_strFilesBase + "/" + folder;
}

void RecorderSettings::SetOutFileExp(std::string_view ext) {
  constexpr std::size_t kMaxBytes = sizeof m_GogoSetting.pszOutFileExp - 1;
  std::size_t n = ext.size();
  if (n > kMaxBytes) {
    n = kMaxBytes;
    // Step back over at most three continuation bytes so that the cut falls
    // before the lead byte of the character it would split.
    for (int back = 0;
         back < 3 && n > 0 &&
         (static_cast<unsigned char>(ext[n]) & 0xC0u) == 0x80u;
         ++back) {
      --n;
    }
    if ((static_cast<unsigned char>(ext[n]) & 0xC0u) == 0x80u) {
      n = kMaxBytes;  // not UTF-8 at all: a plain byte cut
    }
  }
  std::memset(m_GogoSetting.pszOutFileExp, 0,
              sizeof m_GogoSetting.pszOutFileExp);
  std::memcpy(m_GogoSetting.pszOutFileExp, ext.data(), n);
}

}  // namespace mivo
