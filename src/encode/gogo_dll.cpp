#include "encode/gogo_dll.h"

#include <sys/stat.h>

#include <array>
#include <cstring>
#include <system_error>

#include "convert/progress.h"
#include "platform/registry/registry.h"
#include "platform/ui/dialog.h"
#include "settings/recorder_settings.h"

namespace mivo {
namespace {

// Configuration ids, as EncodeMp3 sends them.
constexpr std::uint32_t kCfgInputFile = MPGE_CFG_INPUT_FILE;
constexpr std::uint32_t kCfgOutputFile = MPGE_CFG_OUTPUT_FILE;
constexpr std::uint32_t kCfgEncodeMode = MPGE_CFG_CHANNEL_MODE;
constexpr std::uint32_t kCfgBitrate = MPGE_CFG_BITRATE;
constexpr std::uint32_t kCfgOutFreq = MPGE_CFG_OUTPUT_RATE;
constexpr std::uint32_t kCfgUsePsy = MPGE_CFG_PSYCHOACOUSTIC;
constexpr std::uint32_t kCfgUseLpf16 = MPGE_CFG_LOWPASS_16K;
constexpr std::uint32_t kCfgFrameCount = MPGE_CFG_FRAME_COUNT;
constexpr std::uint32_t kCfgEmphasis = MPGE_CFG_EMPHASIS;
constexpr std::uint32_t kCfgVbr = MPGE_CFG_VBR_QUALITY;
constexpr std::uint32_t kCfgOutFormat = MPGE_CFG_OUTPUT_FORMAT;
constexpr std::uint32_t kCfgSystemError = MPGE_CFG_SYSTEM_ERROR;

constexpr std::uint32_t kFrameMore = MPGE_OK;
constexpr std::uint32_t kFrameEnd = MPGE_END;

constexpr const char* kEncoderName = "午後のこ～だ";
constexpr const char* kNoEncoder = "No MP3 Encoder.";
constexpr const char* kVersionError = "getVersion() error";

// The entry points, in the order they are looked up.
constexpr std::array<const char*, 9> kEntryPoints = {
    "MPGE_initializeWork", "MPGE_setConfigure", "MPGE_getConfigure",
    "MPGE_detectConfigure", "MPGE_processFrame", "MPGE_closeCoder",
    "MPGE_endCoder", "MPGE_getVersion", "MPGE_getUnitStates",
};

template <typename Fn>
void Bind(Fn& slot, void* address) {
  slot = reinterpret_cast<Fn>(address);
}

void Forget(GogoDll& dll) {
  dll.MPGE_initializeWork = nullptr;
  dll.MPGE_setConfigure = nullptr;
  dll.MPGE_getConfigure = nullptr;
  dll.MPGE_detectConfigure = nullptr;
  dll.MPGE_processFrame = nullptr;
  dll.MPGE_closeCoder = nullptr;
  dll.MPGE_endCoder = nullptr;
  dll.MPGE_getVersion = nullptr;
  dll.MPGE_getUnitStates = nullptr;
}

bool AllBound(const GogoDll& dll) {
  return dll.MPGE_initializeWork && dll.MPGE_setConfigure && dll.MPGE_getConfigure &&
         dll.MPGE_detectConfigure && dll.MPGE_processFrame && dll.MPGE_closeCoder && dll.MPGE_endCoder &&
         dll.MPGE_getVersion && dll.MPGE_getUnitStates;
}

// INSTPATH names the library's folder or the library file itself.
std::string LibraryPathFromInstPath(std::string value) {
  if (value.empty()) return value;
  struct stat st{};
  if (::stat(value.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    while (value.size() > 1 && value.back() == '/') value.pop_back();
    if (value != "/") value += '/';
    value += kGogoLibraryName;
  }
  return value;
}

// The registry's INSTPATH, when it is there as a plain string.
std::string InstPathFromRegistry(const GogoSearch& search, std::string* why) {
  const platform::Registry registry(search.registryPath.empty() ? platform::Registry::DefaultPath()
                                                                : search.registryPath);
  char buffer[kGogoInstPathSize] = {};
  std::uint32_t size = sizeof buffer;
  std::uint32_t type = platform::REG_NONE;
  long result = platform::ERROR_FILE_NOT_FOUND;
  {
    platform::RegistryKey key;
    const long opened = registry.OpenKey(kGogoRegistryKey, &key);
    if (opened != platform::ERROR_SUCCESS) {
      *why += "; no registry key " + std::string(kGogoRegistryKey) + " in " + registry.Path();
      return {};
    }
    result = key.QueryValue(kGogoRegistryValue, &type, buffer, &size);
  }  // the key is closed at once
  if (result != platform::ERROR_SUCCESS) {
    *why += result == platform::ERROR_MORE_DATA ? "; INSTPATH is too long" : "; no INSTPATH value";
    return {};
  }
  if (type != platform::REG_SZ) {
    *why += "; INSTPATH is not a plain string (sz)";
    return {};
  }
  return std::string(buffer, ::strnlen(buffer, size));
}

// A value passed as a 32-bit number.
std::uintptr_t Word(std::int32_t value) {
  return static_cast<std::uintptr_t>(static_cast<std::uint32_t>(value));
}

std::uintptr_t Text(const std::string& text) {
  return reinterpret_cast<std::uintptr_t>(text.c_str());
}

void ShowError(ui::IDialogHost& host) {
  host.MessageBox("ERROR", ui::kAppTitle, ui::MB_OK | ui::MB_ICONEXCLAMATION);
}

const char* ModeName(std::uint32_t mode) {
  switch (mode) {
    case MPGE_MODE_MONO: return "mono";
    case MPGE_MODE_STEREO: return "stereo";
    case MPGE_MODE_JOINT: return "joint stereo";
    case MPGE_MODE_MIDSIDE: return "mid/side stereo";
    case MPGE_MODE_DUAL: return "dual channel";
    default: return "unknown";
  }
}

// The prepared job's own choices where they differ from the settings.
void NoteChanges(const GogoDll& dll, const RecorderSettings& settings, const std::string& output, IStepLog& log) {
  std::uint32_t used = 0;
  if (settings.MC_BOOL_VBR == 0 && dll.MPGE_getConfigure(kCfgBitrate, &used) == MPGE_OK &&
      static_cast<std::int64_t>(used) != settings.MC_BITRATE) {
    std::uint32_t rate = 0;
    const bool haveRate = dll.MPGE_getConfigure(kCfgOutFreq, &rate) == MPGE_OK && rate != 0;
    log.Note("MP3: " + std::to_string(settings.MC_BITRATE) + " kbit/s is not available" +
             (haveRate ? " at " + std::to_string(rate) + " Hz" : std::string()) + "; " + std::to_string(used) +
             " kbit/s is used for " + output);
  }
  if (settings.MC_ENCODEMODE == MPGE_MODE_DEFAULT && dll.MPGE_getConfigure(kCfgEncodeMode, &used) == MPGE_OK) {
    log.Note("MP3: no channel mode is chosen (MC_ENCODEMODE=-1); the encoder's default, " +
             std::string(ModeName(used)) + ", is used for " + output);
  }
}

}  // namespace

int LoadGogoDll(GogoDll& dll, const GogoSearch& search) {
  if (!dll.Loaded()) {
    Forget(dll);
    dll.strLoadedFrom.clear();
    std::string why;
    if (dll.library.Open(search.libraryName)) {
      dll.strLoadedFrom = search.libraryName;
    } else {
      why = dll.library.Error();
      if (const std::string bundled = platform::BundledLibraryPath(search.libraryName, search.bundledFolder); !bundled.empty()) {
        if (dll.library.Open(bundled)) {
          dll.strLoadedFrom = bundled;
        } else {
          why += "; " + dll.library.Error();
        }
      }
    }
    if (!dll.Loaded()) {
      const std::string path = LibraryPathFromInstPath(InstPathFromRegistry(search, &why));
      if (!path.empty()) {
        if (dll.library.Open(path)) {
          dll.strLoadedFrom = path;
        } else {
          why += "; " + dll.library.Error();
        }
      }
    }
    if (!dll.Loaded()) {
      dll.strLoadError = why;
      return kGogoMissing;
    }
  }

  std::array<void*, kEntryPoints.size()> found{};
  for (std::size_t i = 0; i < kEntryPoints.size(); ++i) {
    std::string error;
    found[i] = dll.library.Symbol(kEntryPoints[i], &error);
    if (found[i] == nullptr) {
      dll.strLoadError = error;
      // Released whatever dlclose says: the library is not used again.
      static_cast<void>(dll.library.Close());
      Forget(dll);
      dll.strLoadedFrom.clear();
      return kGogoMissing;
    }
  }
  Bind(dll.MPGE_initializeWork, found[0]);
  Bind(dll.MPGE_setConfigure, found[1]);
  Bind(dll.MPGE_getConfigure, found[2]);
  Bind(dll.MPGE_detectConfigure, found[3]);
  Bind(dll.MPGE_processFrame, found[4]);
  Bind(dll.MPGE_closeCoder, found[5]);
  Bind(dll.MPGE_endCoder, found[6]);
  Bind(dll.MPGE_getVersion, found[7]);
  Bind(dll.MPGE_getUnitStates, found[8]);
  dll.strLoadError.clear();
  return kGogoLoaded;
}

int FreeGogoDll(GogoDll& dll) {
  Forget(dll);
  // The program is ending: a refusal to unload changes nothing for it.
  static_cast<void>(dll.library.Close());
  dll.strLoadedFrom.clear();
  return 0;
}

std::uint32_t GetGogoVersion(const GogoDll& dll, std::uint32_t* code, char* text) {
  if (!dll.Loaded() || dll.MPGE_getVersion == nullptr) return MPGE_ERR_NO_JOB;
  return dll.MPGE_getVersion(code, text);
}

std::string GogoEncoderInfo(const GogoDll& dll) {
  if (!dll.Loaded()) return kNoEncoder;
  char text[MPGE_VERSION_TEXT_SIZE] = {};
  std::uint32_t code = 0;
  std::string info = std::string(kEncoderName) + "\r\n";
  if (GetGogoVersion(dll, &code, text) != 0) return info + kVersionError;
  // A text that filled the buffer without its NUL is cut at the buffer's end.
  return info + std::string(text, ::strnlen(text, sizeof text));
}

std::string GogoErrorText(std::uint32_t code) {
  switch (code) {
    case MPGE_ERR_UNKNOWN_ID: return "a configuration id the encoder does not know";
    case MPGE_ERR_BAD_VALUE: return "a setting out of range or not possible with this encoder";
    case MPGE_ERR_NO_JOB: return "no encoding job (the calls came out of order)";
    case MPGE_ERR_INPUT: return "the WAV input is missing, unreadable or not 16-bit PCM";
    case MPGE_ERR_OUTPUT: return "the output cannot be created, written or put in place";
    case MPGE_ERR_ENCODER: return "the encoder failed";
    case MPGE_ERR_NO_MEMORY: return "out of memory";
    case MPGE_ERR_ARGUMENT: return "a missing file name";
    case MPGE_ERR_OUTPUT_IS_INPUT: return "the output would overwrite the input";
    default: return "result " + std::to_string(code);
  }
}

std::uint32_t GogoOutputFormatCode(std::int32_t dwOutFmt) {
  switch (dwOutFmt) {
    case 1: return MPGE_FORMAT_WAV;
    case 2: return MPGE_FORMAT_RMP;
    default: return MPGE_FORMAT_MP3;
  }
}

bool EncodeMp3(const GogoDll& dll, ui::IDialogHost& host, const std::string& source,
               const std::string& output, const RecorderSettings& settings, IProgress& progress,
               IStepLog* log) {
  if (!dll.Loaded() || !AllBound(dll)) return false;
  // The library reads both texts until MPGE_endCoder has returned.
  const std::string src = source;
  const std::string out = output;

  progress.SetStageLabel("MP3");
  if (dll.MPGE_initializeWork() != 0) ShowError(host);
  if (dll.MPGE_setConfigure(kCfgInputFile, 0, Text(src)) != 0) ShowError(host);
  // The other results go unchecked here: the library fails the job for a
  // value it refuses, and MPGE_processFrame reports that.
  static_cast<void>(dll.MPGE_setConfigure(kCfgEncodeMode, Word(settings.MC_ENCODEMODE), 0));
  static_cast<void>(dll.MPGE_setConfigure(kCfgBitrate, Word(settings.MC_BITRATE), 0));
  static_cast<void>(dll.MPGE_setConfigure(kCfgUsePsy, Word(settings.MC_USEPSY), 0));
  static_cast<void>(dll.MPGE_setConfigure(kCfgUseLpf16, Word(settings.MC_USELPF16), 0));
  static_cast<void>(dll.MPGE_setConfigure(kCfgEmphasis, Word(settings.MC_EMPHASIS), 0));
  static_cast<void>(dll.MPGE_setConfigure(kCfgOutputFile, 0, Text(out)));
  if (settings.MC_BOOL_VBR != 0) {
    static_cast<void>(dll.MPGE_setConfigure(kCfgVbr, Word(settings.MC_VBR), 0));
  }
  if (settings.MC_BOOL_OUTFREQ != 0) {
    static_cast<void>(dll.MPGE_setConfigure(kCfgOutFreq, Word(settings.MC_OUTFREQ), 0));
  }
  static_cast<void>(dll.MPGE_setConfigure(kCfgOutFormat, GogoOutputFormatCode(settings.m_GogoSetting.dwOutFmt), 0));
  static_cast<void>(dll.MPGE_detectConfigure());

  std::uint32_t frames = 0;
  static_cast<void>(dll.MPGE_getConfigure(kCfgFrameCount, &frames));
  progress.BeginStage(static_cast<std::int32_t>(frames));
  if (log != nullptr) NoteChanges(dll, settings, out, *log);

  std::uint32_t r = kFrameMore;
  bool cancelled = false;
  do {
    r = dll.MPGE_processFrame();
    progress.AdvanceStage(1);
    if (r == kFrameMore && progress.Cancelled()) cancelled = true;
  } while (r == kFrameMore && !cancelled);

  if (log != nullptr && !cancelled && r != kFrameEnd) {
    std::uint32_t error = 0;
    std::string why = GogoErrorText(r);
    if (dll.MPGE_getConfigure(kCfgSystemError, &error) == MPGE_OK && error != 0) {
      why += ": " + std::error_code(static_cast<int>(error), std::generic_category()).message();
    }
    log->Note("MP3 encoding of " + src + " into " + out + " failed: " + why);
  }

  static_cast<void>(dll.MPGE_closeCoder());
  static_cast<void>(dll.MPGE_endCoder());
  return !cancelled && r == kFrameEnd;
}

}  // namespace mivo
