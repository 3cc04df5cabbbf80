// The indexer: indexes a closed file on a thread of its own and reports to
// the caller's status callback from there.
//
// The indexer owns the thread: Cancel stops the job at its next step (a
// block of the file read or copied), and from then on the job can no longer
// replace the file (the stop and the replacement take the same lock).
// Releasing the indexer cancels the job and waits for its thread, so that
// nothing of the job runs once its caller has given up and gone on. The
// callback still receives WMT_CLOSED, with the job's result.
#include <fcntl.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "platform/process/unique_fd.h"
#include "platform/sync/thread.h"
#include "platform/wm/asf_index.h"
#include "platform/wm/wm.h"

namespace mivo::platform::wm {
namespace {

struct Job {
  std::string path;
  ComPtr<IWMStatusCallback> callback;
  void* context = nullptr;
  std::mutex mtx;
  bool cancelled = false;

  bool Cancelled() {
    std::lock_guard lock(mtx);
    return cancelled;
  }
  void Cancel() {
    std::lock_guard lock(mtx);
    cancelled = true;
  }
};

void Report(Job& job, WMT_STATUS status, HRESULT result, DWORD value) {
  BYTE bytes[4] = {static_cast<BYTE>(value), static_cast<BYTE>(value >> 8), static_cast<BYTE>(value >> 16),
                   static_cast<BYTE>(value >> 24)};
  static_cast<void>(job.callback->OnStatus(status, result, WMT_TYPE_DWORD, bytes, job.context));
}

void Run(const std::shared_ptr<Job>& job) {
  Report(*job, WMT_STARTED, S_OK, 0);
  AsfIndexHooks hooks;
  hooks.progress = [&job](int percent) {
    if (job->Cancelled()) return false;
    Report(*job, WMT_INDEX_PROGRESS, S_OK, static_cast<DWORD>(percent));
    return true;
  };
  hooks.replace = [&job](const std::string& temp, const std::string& path) {
    std::lock_guard lock(job->mtx);
    return !job->cancelled && ::rename(temp.c_str(), path.c_str()) == 0;
  };
  const HRESULT hr = IndexAsfFile(job->path, hooks);
  Report(*job, WMT_CLOSED, hr, 0);
  job->callback.Reset();
}

class Indexer final : public RefCounted<IWMIndexer> {
 public:
  ~Indexer() override {
    static_cast<void>(Cancel());
    m_thread.Join();
  }

  HRESULT StartIndexing(const WCHAR* url, IWMStatusCallback* callback, void* context) override {
    if (url == nullptr || callback == nullptr) return E_POINTER;
    if (m_job) return E_UNEXPECTED;  // one file per indexer
    auto job = std::shared_ptr<Job>(new (std::nothrow) Job());
    if (!job) return E_OUTOFMEMORY;
    job->path = WideCharToMultiByte(url);
    // A file that cannot be opened fails here, before any status is sent.
    UniqueFd fd(::open(job->path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return E_FAIL;
    callback->AddRef();
    job->callback = ComPtr<IWMStatusCallback>(callback);
    job->context = context;
    // A thread the system refuses fails the job here, before any status is
    // sent: the caller does not wait for it.
    if (!m_thread.Start([job] { Run(job); })) return E_OUTOFMEMORY;
    m_job = std::move(job);
    return S_OK;
  }

  HRESULT Cancel() override {
    if (m_job) m_job->Cancel();
    return S_OK;
  }

 private:
  std::shared_ptr<Job> m_job;
  Thread m_thread;  // last: joined before the job is let go
};

}  // namespace

HRESULT WMCreateIndexer(IWMIndexer** indexer) {
  if (indexer == nullptr) return E_POINTER;
  *indexer = new (std::nothrow) Indexer();
  return *indexer != nullptr ? S_OK : E_OUTOFMEMORY;
}

}  // namespace mivo::platform::wm
