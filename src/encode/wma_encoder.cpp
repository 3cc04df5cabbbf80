#include "encode/wma_encoder.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "convert/progress.h"
#include "platform/avifile/avifile.h"
#include "platform/wm/wma_codec.h"

namespace mivo {

namespace avi = platform::avi;
namespace wm = platform::wm;
using platform::ComPtr;
using platform::E_FAIL;
using platform::E_OUTOFMEMORY;
using platform::E_UNEXPECTED;
using platform::FAILED;
using platform::S_OK;
using platform::SUCCEEDED;

namespace {

constexpr std::size_t kWaveFormatExSize = sizeof(wm::WAVEFORMATEX);  // 18

// AVIFile's objects, released on every path.
struct AviSession {
  AviSession() { avi::AVIFileInit(); }
  ~AviSession() { avi::AVIFileExit(); }
  AviSession(const AviSession&) = delete;
  AviSession& operator=(const AviSession&) = delete;
};
struct AviFileCloser {
  void operator()(avi::AviFile* f) const { avi::AVIFileRelease(f); }
};
struct AviStreamCloser {
  void operator()(avi::AviStream* s) const { avi::AVIStreamRelease(s); }
};

}  // namespace

std::chrono::milliseconds IndexWaitBound(std::uint64_t fileBytes) {
  return std::chrono::minutes(2) + std::chrono::seconds(fileBytes >> 20);
}

// ---------------------------------------------------------------------------
// CWmaWriter

CWmaWriter::CWmaWriter(IProgress* progress, const WmaPlatform& platform)
    : m_progress(progress), m_platform(platform) {}

CWmaWriter::~CWmaWriter() { Close(); }

HRESULT CWmaWriter::Open(const std::string& source, const std::string& output, wm::IWMProfile* profile) {
  // The standard library reports a failed allocation by throwing.
  try {
    m_strSource = source;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  HRESULT hr = m_platform.createWriter(nullptr, m_pWriter.Put());
  if (FAILED(hr)) return hr;
  if (!m_pWriter) return E_FAIL;
  if (FAILED(hr = m_pWriter->SetProfile(profile))) return hr;

  wm::DWORD inputs = 0;
  if (FAILED(hr = m_pWriter->GetInputCount(&inputs))) return hr;
  for (wm::DWORD i = 0; i < inputs; ++i) {
    ComPtr<wm::IWMInputMediaProps> props;
    if (FAILED(hr = m_pWriter->GetInputProps(i, props.Put()))) return hr;
    platform::GUID type{};
    if (FAILED(hr = props->GetType(&type))) return hr;
    if (type == wm::WMMEDIATYPE_Audio) {
      m_pAudioInput = std::move(props);
      m_dwAudioInput = i;
    } else if (type == wm::WMMEDIATYPE_Video) {
      // Kept as the profile has it; a WAV track has no pictures to send.
      m_pVideoInput = std::move(props);
      m_dwVideoInput = i;
    } else {
      return E_FAIL;
    }
  }
  if (!m_pAudioInput) return E_FAIL;

  std::u16string wide;
  if (!platform::MultiByteToWideChar(output, &wide)) return E_UNEXPECTED;
  return m_pWriter->SetOutputFilename(wide.c_str());
}

HRESULT CWmaWriter::Transcode() {
  if (!m_pWriter || !m_pAudioInput) return E_UNEXPECTED;
  const AviSession session;
  avi::PAVIFILE rawFile = nullptr;
  HRESULT hr = avi::AVIFileOpenA(&rawFile, m_strSource.c_str(), avi::OF_SHARE_DENY_WRITE, nullptr);
  if (FAILED(hr)) return hr;
  const std::unique_ptr<avi::AviFile, AviFileCloser> file(rawFile);

  // The audio stream; a source without one fails.
  avi::PAVISTREAM rawStream = nullptr;
  hr = avi::AVIFileGetStream(file.get(), &rawStream, avi::streamtypeAUDIO, 0);
  const std::unique_ptr<avi::AviStream, AviStreamCloser> stream(rawStream);
  if (FAILED(hr)) return hr;
  if (!stream) return E_FAIL;

  std::int32_t formatSize = 0;
  if (FAILED(hr = avi::AVIStreamReadFormat(stream.get(), 0, nullptr, &formatSize))) return hr;
  formatSize = std::max<std::int32_t>(formatSize, static_cast<std::int32_t>(kWaveFormatExSize));
  const std::unique_ptr<std::uint8_t[]> format(new (std::nothrow) std::uint8_t[static_cast<std::size_t>(formatSize)]());
  if (!format) return E_OUTOFMEMORY;
  std::int32_t got = formatSize;
  if (FAILED(hr = avi::AVIStreamReadFormat(stream.get(), 0, format.get(), &got))) return hr;
  wm::WAVEFORMATEX wfx{};
  std::memcpy(&wfx, format.get(), kWaveFormatExSize);
  if (wfx.wFormatTag == wm::WAVE_FORMAT_PCM) {
    wfx.cbSize = 0;
    std::memcpy(format.get(), &wfx, kWaveFormatExSize);
  }
  // The format must hold what its size field claims.
  if (kWaveFormatExSize + wfx.cbSize > static_cast<std::size_t>(formatSize)) return E_FAIL;

  avi::AVISTREAMINFOA info{};
  if (FAILED(hr = avi::AVIStreamInfoA(stream.get(), &info, sizeof info))) return hr;

  const wm::WM_MEDIA_TYPE type{wm::WMMEDIATYPE_Audio,
                               wm::WMMEDIASUBTYPE_PCM,
                               1,
                               0,
                               info.dwSampleSize,
                               wm::WMFORMAT_WaveFormatEx,
                               nullptr,
                               static_cast<std::uint32_t>(kWaveFormatExSize + wfx.cbSize),
                               format.get()};
  if (FAILED(hr = m_pAudioInput->SetMediaType(&type))) return hr;
  if (FAILED(hr = m_pWriter->SetInputProps(m_dwAudioInput, m_pAudioInput.Get()))) return hr;

  // One second of sample frames per read.
  const std::uint32_t bitsPerFrame = static_cast<std::uint32_t>(wfx.wBitsPerSample) * wfx.nChannels;
  const std::uint32_t samplesPerRead = bitsPerFrame == 0 ? 0 : wfx.nAvgBytesPerSec * 8u / bitsPerFrame;
  if (samplesPerRead == 0 || samplesPerRead > 0x7FFFFFFFu) return E_FAIL;

  std::int32_t position = avi::AVIStreamStart(stream.get());
  const std::int32_t end = avi::AVIStreamLength(stream.get()) + position;
  if (position < 0 || end < position) return E_FAIL;

  if (FAILED(hr = m_pWriter->BeginWriting())) return hr;
  if (m_progress) {
    m_progress->SetStageLabel("WMA");
    m_progress->BeginStage(100);
  }

  std::int64_t timeMs = 0;
  while (position < end) {
    // The program is ending: stop; the unfinished file goes with the writer.
    if (m_progress && m_progress->Cancelled()) return E_FAIL;
    std::int32_t bytes = 0, samples = 0;
    if (FAILED(hr = avi::AVIStreamRead(stream.get(), position, static_cast<std::int32_t>(samplesPerRead), nullptr, 0,
                                       &bytes, &samples))) {
      return hr;
    }
    ComPtr<wm::INSSBuffer> sample;
    if (FAILED(hr = m_pWriter->AllocateSample(static_cast<wm::DWORD>(bytes), sample.Put()))) return hr;
    wm::BYTE* buffer = nullptr;
    wm::DWORD length = 0;
    if (FAILED(hr = sample->GetBufferAndLength(&buffer, &length))) return hr;
    std::int32_t bytesRead = 0, samplesRead = 0;
    if (FAILED(hr = avi::AVIStreamRead(stream.get(), position, static_cast<std::int32_t>(samplesPerRead), buffer,
                                       static_cast<std::int32_t>(length), &bytesRead, &samplesRead))) {
      return hr;
    }
    // A source that gives nothing before its end (it became shorter) would
    // never reach it.
    if (samplesRead <= 0) return E_FAIL;
    if (FAILED(hr = sample->SetLength(static_cast<wm::DWORD>(bytesRead)))) return hr;
    // Not checked here: the writer keeps a failure for EndWriting.
    static_cast<void>(m_pWriter->WriteSample(m_dwAudioInput, static_cast<std::uint64_t>(timeMs) * 10000u, 0,
                                             sample.Get()));
    timeMs += platform::MulDiv(static_cast<std::int32_t>(length), 1000, static_cast<std::int32_t>(wfx.nAvgBytesPerSec));
    position += samplesRead;
    sample.Reset();
    if (m_progress) m_progress->SetStagePos(static_cast<std::int64_t>(position) * 100 / end);
  }
  if (m_progress) m_progress->SetStagePos(100);
  return m_pWriter->EndWriting();
}

HRESULT CWmaWriter::Close() {
  m_pAudioInput.Reset();
  m_pVideoInput.Reset();
  m_pWriter.Reset();
  m_strSource.clear();
  m_dwAudioInput = 0;
  m_dwVideoInput = 0;
  return S_OK;
}

// ---------------------------------------------------------------------------
// Indexing

HRESULT CIndexStatusCallback::QueryInterface(const platform::IID& iid, void** object) {
  return QueryInterfaceFor(iid, wm::IID_IWMStatusCallback, object);
}

HRESULT CIndexStatusCallback::OnStatus(wm::WMT_STATUS status, HRESULT /*result*/, wm::WMT_ATTR_DATATYPE /*type*/,
                                       wm::BYTE* value, void* /*context*/) {
  switch (status) {
    case wm::WMT_STARTED: {
      std::lock_guard lock(m_mtx);
      if (m_progress) {
        m_progress->SetStageLabel("WMA(i)");
        m_progress->BeginStage(100);
      }
      break;
    }
    case wm::WMT_INDEX_PROGRESS: {
      std::lock_guard lock(m_mtx);
      if (m_progress && value != nullptr) m_progress->SetStagePos(value[0]);
      break;
    }
    case wm::WMT_CLOSED: {
      {
        std::lock_guard lock(m_mtx);
        if (m_progress) m_progress->SetStagePos(100);
      }
      m_event->Set();
      break;
    }
    default: break;
  }
  return S_OK;
}

void CIndexStatusCallback::Detach() {
  std::lock_guard lock(m_mtx);
  m_progress = nullptr;
}

HRESULT IndexWmaFile(const std::string& path, IProgress* progress, const WmaPlatform& platform) {
  ComPtr<wm::IWMIndexer> indexer;
  if (FAILED(platform.createIndexer(indexer.Put())) || !indexer) return S_OK;  // stays unindexed
  // Each job has an event of its own.
  std::shared_ptr<platform::ManualResetEvent> event(new (std::nothrow) platform::ManualResetEvent());
  if (!event) return S_OK;
  ComPtr<CIndexStatusCallback> callback(new (std::nothrow) CIndexStatusCallback(progress, event));
  if (!callback) return S_OK;

  std::u16string wide;
  if (!platform::MultiByteToWideChar(path, &wide)) {
    callback->Detach();
    return E_UNEXPECTED;
  }
  // The callback holds the event itself, so no context is handed over.
  if (SUCCEEDED(indexer->StartIndexing(wide.c_str(), callback.Get(), nullptr))) {
    std::chrono::milliseconds bound{0};
    if (platform.indexWait) {
      bound = *platform.indexWait;
    } else {
      struct stat st {};
      bound = IndexWaitBound(::stat(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0);
    }
    // Looks at the program's end request every tenth of a second.
    const auto deadline = std::chrono::steady_clock::now() + bound;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      if (event->WaitFor(std::min(left, std::chrono::milliseconds(100)))) break;
      if (progress && progress->Cancelled()) break;
    }
  }
  // From here on a late report touches nothing of the worker's; releasing
  // the indexer stops a job that is still running.
  callback->Detach();
  callback.Reset();
  indexer.Reset();
  event.reset();
  return S_OK;
}

// ---------------------------------------------------------------------------

bool EncodeWma(const std::string& source, const std::string& output, int profileNumber, bool useWma8,
               bool addIndex, IProgress& progress, const WmaPlatform& platform, IStepLog* log) {
  CWmaWriter writer(&progress, platform);
  if (FAILED(platform::CoInitialize(nullptr))) return false;

  ComPtr<wm::IWMProfileManager> manager;
  ComPtr<wm::IWMProfile> profile;
  HRESULT hr = platform.createProfileManager(manager.Put());
  if (SUCCEEDED(hr) && !manager) hr = E_FAIL;
  if (SUCCEEDED(hr)) {
    ComPtr<wm::IWMProfileManager2> manager2;
    if (SUCCEEDED(manager->QueryInterface(wm::IID_IWMProfileManager2, manager2.PutVoid())) && manager2) {
      static_cast<void>(manager2->SetSystemProfileVersion(useWma8 ? wm::WMT_VER_7_0 : wm::WMT_VER_4_0));
    }
    manager2.Reset();
    hr = manager->LoadSystemProfile(static_cast<wm::DWORD>(profileNumber), profile.Put());
  }
  if (SUCCEEDED(hr)) hr = writer.Open(source, output, profile.Get());
  if (SUCCEEDED(hr)) hr = writer.Transcode();
  writer.Close();
  manager.Reset();
  profile.Reset();
  if (FAILED(hr) && log != nullptr) {
    // The writer has tried the module already; asking again gives the reason.
    std::string why;
    if (wm::LoadWmaCodec(&why) == nullptr) {
      log->Note("WMA output of " + source + " failed: the WMA encoder module cannot be loaded (" + why + ")");
    }
  }

  if (SUCCEEDED(hr) && addIndex) hr = IndexWmaFile(output, &progress, platform);
  platform::CoUninitialize();
  return SUCCEEDED(hr);
}

}  // namespace mivo
