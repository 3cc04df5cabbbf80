// WMA encoding: one finished WAV track into one WMA file, with a system
// profile of the Windows Media layer, read through AVIFile, and indexed
// afterwards when asked.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/com/com.h"
#include "platform/sync/event.h"
#include "platform/wm/wm.h"

namespace mivo {

class IProgress;
class IStepLog;

using platform::HRESULT;

// The Windows Media entry points the encoder uses; tests replace them to
// play failures.
struct WmaPlatform {
  std::function<HRESULT(platform::wm::IWMProfileManager**)> createProfileManager = platform::wm::WMCreateProfileManager;
  std::function<HRESULT(platform::IUnknown*, platform::wm::IWMWriter**)> createWriter = platform::wm::WMCreateWriter;
  std::function<HRESULT(platform::wm::IWMIndexer**)> createIndexer = platform::wm::WMCreateIndexer;
  // How long to wait for the indexer; unset: IndexWaitBound of the file.
  std::optional<std::chrono::milliseconds> indexWait;
};

// The wait for an indexer that never reports that it is done: two minutes,
// and a second more for every megabyte of the file (indexing reads the
// file once and writes it once).
std::chrono::milliseconds IndexWaitBound(std::uint64_t fileBytes);

// The state of one writing job. Owns everything it holds; Close (or the
// destructor) releases it all.
class CWmaWriter {
 public:
  explicit CWmaWriter(IProgress* progress = nullptr, const WmaPlatform& platform = {});
  ~CWmaWriter();
  CWmaWriter(const CWmaWriter&) = delete;
  CWmaWriter& operator=(const CWmaWriter&) = delete;

  // Prepares a writer with `profile` and names its output file.
  HRESULT Open(const std::string& source, const std::string& output, platform::wm::IWMProfile* profile);
  // Reads the whole source in one-second samples and writes it. The status
  // of EndWriting, or of the first step that failed (a source without an
  // audio stream, a read that gives nothing before the end, the program
  // ending: E_FAIL).
  HRESULT Transcode();
  HRESULT Close();

 private:
  IProgress* m_progress;
  WmaPlatform m_platform;
  std::string m_strSource;
  platform::ComPtr<platform::wm::IWMWriter> m_pWriter;
  platform::ComPtr<platform::wm::IWMInputMediaProps> m_pAudioInput;
  platform::ComPtr<platform::wm::IWMInputMediaProps> m_pVideoInput;
  std::uint32_t m_dwAudioInput = 0;
  std::uint32_t m_dwVideoInput = 0;
};

// The indexer's status callback: shows the indexing stage and sets the
// job's event (manual reset, one per job) at WMT_CLOSED. It owns its share of the event, so a report
// that comes after the wait has ended finds it still there; Detach stops it
// from touching the progress once the worker has moved on.
class CIndexStatusCallback final : public platform::RefCounted<platform::wm::IWMStatusCallback> {
 public:
  CIndexStatusCallback(IProgress* progress, std::shared_ptr<platform::ManualResetEvent> event)
      : m_progress(progress), m_event(std::move(event)) {}

  HRESULT QueryInterface(const platform::IID& iid, void** object) override;
  HRESULT OnStatus(platform::wm::WMT_STATUS status, HRESULT result, platform::wm::WMT_ATTR_DATATYPE type,
                   platform::wm::BYTE* value, void* context) override;
  // After this returns the callback calls no progress method any more.
  void Detach();

 private:
  std::mutex m_mtx;
  IProgress* m_progress;
  std::shared_ptr<platform::ManualResetEvent> m_event;
};

// Indexes the finished file and waits for the indexer, at most the bound
// (or until the program is ending). An indexer that cannot be created or
// started, or that does not finish in time, leaves the file unindexed and
// returns success; only a path that cannot be converted fails.
HRESULT IndexWmaFile(const std::string& path, IProgress* progress = nullptr, const WmaPlatform& platform = {});

// One track into one WMA file with system profile `profileNumber` of the
// version-7.0 set (WMA8 flag) or the version-4.0 set; indexed afterwards
// when `addIndex` is set. True when every step succeeded. A writer that
// failed because the codec module cannot be loaded is told to `log`, with
// the reason. Runs on the conversion worker's thread.
bool EncodeWma(const std::string& source, const std::string& output, int profileNumber, bool useWma8,
               bool addIndex, IProgress& progress, const WmaPlatform& platform = {}, IStepLog* log = nullptr);

}  // namespace mivo
