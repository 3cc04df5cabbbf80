// The MP3 encoder bridge: finds and loads the encoder library (libgogo.so)
// once at start-up, resolves its nine MPGE_* entry points, and drives them
// to turn one finished WAV track into one MP3 (or WAV or RMP) file.
#pragma once

#include <cstdint>
#include <string>

#include "gogo/gogo.h"
#include "platform/library/shared_library.h"

namespace mivo {

class IProgress;
class IStepLog;
struct RecorderSettings;
namespace ui {
class IDialogHost;
}

// LoadGogoDll's results.
inline constexpr int kGogoLoaded = 0;
inline constexpr int kGogoMissing = 10;

// The library's plain name, the registry key and value that may name its
// folder (or the library file itself), and the size of the value's buffer.
inline constexpr const char* kGogoLibraryName = "libgogo.so";
inline constexpr const char* kGogoRegistryKey = "Software\\MarineCat\\GOGO_DLL";
inline constexpr const char* kGogoRegistryValue = "INSTPATH";
inline constexpr std::uint32_t kGogoInstPathSize = 268;

// Where LoadGogoDll looks.
struct GogoSearch {
  // Loaded through the usual library search first.
  std::string libraryName = kGogoLibraryName;
  // Then, when `libraryName` is a plain name, by its path in this folder:
  // the folder the program's RUNPATH names, for when the usual search does
  // not see that RUNPATH (as under AddressSanitizer, whose dlopen comes from
  // its own runtime). Empty: the folders a program's RUNPATH names, from the
  // executable's place: "lib" beside its folder (the build tree), then the
  // installed tree's private folder (lib/<triplet>/mivo).
  std::string bundledFolder;
  // The registry file; empty: platform::Registry::DefaultPath().
  std::string registryPath;
};

// The loaded library and its entry points. Written only by LoadGogoDll and
// FreeGogoDll (on the main thread, before and after the window); read by
// EncodeMp3 on the worker thread.
struct GogoDll {
  platform::SharedLibrary library;
  MPGE_initializeWork_fn MPGE_initializeWork = nullptr;
  MPGE_setConfigure_fn MPGE_setConfigure = nullptr;
  MPGE_getConfigure_fn MPGE_getConfigure = nullptr;
  MPGE_detectConfigure_fn MPGE_detectConfigure = nullptr;
  MPGE_processFrame_fn MPGE_processFrame = nullptr;
  MPGE_closeCoder_fn MPGE_closeCoder = nullptr;
  MPGE_endCoder_fn MPGE_endCoder = nullptr;
  MPGE_getVersion_fn MPGE_getVersion = nullptr;
  MPGE_getUnitStates_fn MPGE_getUnitStates = nullptr;

  std::string strLoadedFrom;  // the name or path that loaded
  std::string strLoadError;   // why the last LoadGogoDll returned kGogoMissing

  bool Loaded() const { return library.IsOpen(); }
};

// Loads the library by its plain name, else from the bundled folder, else
// from the registry value
// INSTPATH (a plain string, REG_SZ, only: the library's folder, or the
// library file itself), and resolves all nine entry points. Returns
// kGogoLoaded, or kGogoMissing with the library released. When the library
// is already loaded, only the entry points are checked again.
int LoadGogoDll(GogoDll& dll, const GogoSearch& search = {});

// Releases the library and forgets its entry points. Returns 0.
int FreeGogoDll(GogoDll& dll);

// MPGE_getVersion with the caller's code and 260-byte text buffer.
std::uint32_t GetGogoVersion(const GogoDll& dll, std::uint32_t* code, char* text);

// The about box's encoder text: "No MP3 Encoder." without the library,
// "午後のこ～だ\r\ngetVersion() error" when its version query fails,
// otherwise "午後のこ～だ\r\n" and the version text.
std::string GogoEncoderInfo(const GogoDll& dll);

// The output format code sent with configuration id 26 for a stored
// m_GogoSetting.dwOutFmt: 0, 1 and 2 as they are, MP3 (0) for any other.
std::uint32_t GogoOutputFormatCode(std::int32_t dwOutFmt);

// Encodes `source` into `output` with the MP3 block of `settings`. Runs on
// the conversion worker's thread; the library must be loaded. A failed
// MPGE_initializeWork or input-file configuration shows an "ERROR" box
// through `host` and the encoding goes on. True when the encoder reached the
// normal end of its input. When `progress` reports Cancelled the job is
// ended early and the result is false (the library then removes its
// unfinished output). With a `log`, the library is also asked what it
// changed (a bit rate the output's MPEG version lacks, no channel mode
// chosen) and, when the job failed, for the system's error; each becomes a
// line of the log.
bool EncodeMp3(const GogoDll& dll, ui::IDialogHost& host, const std::string& source,
               const std::string& output, const RecorderSettings& settings, IProgress& progress,
               IStepLog* log = nullptr);

// What a result code of the library means, for the log.
std::string GogoErrorText(std::uint32_t code);

}  // namespace mivo
