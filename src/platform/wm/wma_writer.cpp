// The writer: profile inputs, sample buffers, and the codec module
// (libmivo_wma.so, see wma_codec.h) behind them, loaded when the first
// writer begins writing. Only the profile's audio stream is written. The
// file is written beside its name ("<name>.tmp"), synced, and renamed over
// the name at EndWriting: until then no file carries the name, and a writer
// released before EndWriting removes what it wrote.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "platform/files/files.h"
#include "platform/library/shared_library.h"
#include "platform/process/file_io.h"
#include "platform/process/unique_fd.h"
#include "platform/wm/wm.h"
#include "platform/wm/wma_codec.h"

namespace mivo::platform::wm {
namespace {

// KSDATAFORMAT_SUBTYPE_PCM, the subformat of a WAVE_FORMAT_EXTENSIBLE PCM input.
constexpr std::uint8_t kSubtypePcm[16] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                          0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

std::uint16_t Le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

// Accepts 16-bit PCM, plain or in the extensible form, mono or stereo.
bool ParsePcmType(const WM_MEDIA_TYPE& t, WmaPcmFormat* out) {
  if (!(t.majortype == WMMEDIATYPE_Audio) || !(t.subtype == WMMEDIASUBTYPE_PCM) ||
      !(t.formattype == WMFORMAT_WaveFormatEx) || t.pbFormat == nullptr || t.cbFormat < 16) {
    return false;
  }
  WAVEFORMATEX wfx{};
  std::memcpy(&wfx, t.pbFormat, std::min<std::size_t>(t.cbFormat, sizeof wfx));
  if (wfx.wFormatTag == WAVE_FORMAT_EXTENSIBLE) {
    const std::uint8_t* ext = t.pbFormat + sizeof(WAVEFORMATEX);
    if (t.cbFormat < 40 || wfx.cbSize < 22 || std::memcmp(ext + 6, kSubtypePcm, 16) != 0) return false;
    const std::uint16_t validBits = Le16(ext);
    if (validBits != 0 && validBits != 16) return false;
  } else if (wfx.wFormatTag != WAVE_FORMAT_PCM) {
    return false;
  }
  if (wfx.wBitsPerSample != 16 || (wfx.nChannels != 1 && wfx.nChannels != 2) || wfx.nSamplesPerSec == 0 ||
      wfx.nSamplesPerSec > 384000 || wfx.nBlockAlign != wfx.nChannels * 2) {
    return false;
  }
  *out = WmaPcmFormat{wfx.nChannels, wfx.nSamplesPerSec, wfx.nBlockAlign};
  return true;
}

// ---------------------------------------------------------------------------
// Sample buffers: allocated by the writer, filled in place by the caller.
// A released buffer's storage is kept for the next AllocateSample, so a
// steady stream of equal samples allocates nothing.

class BufferPool {
 public:
  std::vector<std::uint8_t> Take(std::size_t size) {
    std::vector<std::uint8_t> v;
    {
      std::lock_guard lock(m_mtx);
      v.swap(m_spare);
    }
    v.resize(size);
    return v;
  }
  void Give(std::vector<std::uint8_t>&& v) {
    std::lock_guard lock(m_mtx);
    if (v.capacity() > m_spare.capacity()) m_spare.swap(v);
  }

 private:
  std::mutex m_mtx;
  std::vector<std::uint8_t> m_spare;
};

class Sample final : public RefCounted<INSSBuffer> {
 public:
  Sample(std::shared_ptr<BufferPool> pool, std::vector<std::uint8_t> data)
      : m_pool(std::move(pool)), m_data(std::move(data)), m_length(static_cast<DWORD>(m_data.size())) {}
  ~Sample() override { m_pool->Give(std::move(m_data)); }

  HRESULT GetLength(DWORD* length) override {
    if (length == nullptr) return E_POINTER;
    *length = m_length;
    return S_OK;
  }
  HRESULT SetLength(DWORD length) override {
    if (length > m_data.size()) return E_FAIL;
    m_length = length;
    return S_OK;
  }
  HRESULT GetMaxLength(DWORD* length) override {
    if (length == nullptr) return E_POINTER;
    *length = static_cast<DWORD>(m_data.size());
    return S_OK;
  }
  HRESULT GetBufferAndLength(BYTE** buffer, DWORD* length) override {
    if (buffer == nullptr || length == nullptr) return E_POINTER;
    *buffer = m_data.data();
    *length = m_length;
    return S_OK;
  }

 private:
  std::shared_ptr<BufferPool> m_pool;
  std::vector<std::uint8_t> m_data;
  DWORD m_length;
};

// ---------------------------------------------------------------------------
// Input properties: the kind of one input and the media type given to it.

class InputProps final : public RefCounted<IWMInputMediaProps> {
 public:
  explicit InputProps(const GUID& kind) : m_kind(kind) {}

  HRESULT GetType(GUID* type) override {
    if (type == nullptr) return E_POINTER;
    *type = m_kind;
    return S_OK;
  }
  // An audio input takes 16-bit PCM only. A video input's type is kept
  // unchecked: nothing is ever written to it.
  HRESULT SetMediaType(const WM_MEDIA_TYPE* type) override {
    if (type == nullptr) return E_POINTER;
    if (m_kind == WMMEDIATYPE_Audio) {
      WmaPcmFormat pcm;
      if (!ParsePcmType(*type, &pcm)) return E_FAIL;
      m_pcm = pcm;
    }
    m_typed = true;
    return S_OK;
  }

  const GUID& Kind() const { return m_kind; }
  bool Typed() const { return m_typed; }
  const WmaPcmFormat& Pcm() const { return m_pcm; }

 private:
  GUID m_kind;
  bool m_typed = false;
  WmaPcmFormat m_pcm{};
};

// ---------------------------------------------------------------------------
// The codec module, loaded by the first writer that begins writing.

struct CodecModule {
  std::mutex mtx;
  SharedLibrary library;
  const WmaCodecApi* api = nullptr;
};

// Never destroyed: a writer on another thread may still use the module
// while the process ends.
CodecModule& TheCodecModule() {
  static CodecModule* const module = new CodecModule();
  return *module;
}

// One file being written, closed through the module that made it.
struct CodecCloser {
  const WmaCodecApi* api = nullptr;
  void operator()(WmaCodec* codec) const { api->close(codec); }
};
using CodecHandle = std::unique_ptr<WmaCodec, CodecCloser>;

// ---------------------------------------------------------------------------

// Syncs a closed file and renames it; then syncs its folder. False when the
// file may not survive a power cut: the track it was made from is kept then.
bool CommitFile(const std::string& temp, const std::string& path) {
  {
    UniqueFd fd(::open(temp.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd || ::fsync(fd.Get()) != 0) return false;
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) return false;
  return SyncFolderOf(path);
}

class Writer final : public RefCounted<IWMWriter> {
 public:
  ~Writer() override { Discard(); }

  // One input per kind of stream, in the order of the profile's streams.
  HRESULT SetProfile(IWMProfile* profile) override {
    if (profile == nullptr) return E_POINTER;
    if (m_state != State::Idle) return E_UNEXPECTED;
    DWORD count = 0;
    HRESULT hr = profile->GetStreamCount(&count);
    if (FAILED(hr)) return hr;
    std::vector<ComPtr<InputProps>> inputs;
    WmaTarget target{};
    bool haveAudio = false;
    for (DWORD i = 0; i < count; ++i) {
      WM_STREAM_DESC stream{};
      if (FAILED(hr = profile->GetStream(i, &stream))) return hr;
      if (stream.majortype == WMMEDIATYPE_Audio && !haveAudio) {
        if (stream.wFormatTag != WAVE_FORMAT_WMAUDIO2) return E_FAIL;
        target = WmaTarget{stream.nSamplesPerSec, stream.nChannels, stream.dwBitrate};
        haveAudio = true;
      }
      const bool known = std::any_of(inputs.begin(), inputs.end(),
                                     [&](const ComPtr<InputProps>& in) { return in->Kind() == stream.majortype; });
      if (known) continue;
      auto* props = new (std::nothrow) InputProps(stream.majortype);
      if (props == nullptr) return E_OUTOFMEMORY;
      inputs.emplace_back(props);
    }
    m_inputs = std::move(inputs);
    m_target = target;
    m_audioInput = -1;
    return S_OK;
  }

  HRESULT SetOutputFilename(const WCHAR* filename) override {
    if (filename == nullptr) return E_POINTER;
    if (m_state != State::Idle) return E_UNEXPECTED;
    m_path = WideCharToMultiByte(filename);
    return m_path.empty() ? E_FAIL : S_OK;
  }

  HRESULT GetInputCount(DWORD* count) override {
    if (count == nullptr) return E_POINTER;
    *count = static_cast<DWORD>(m_inputs.size());
    return S_OK;
  }

  // A fresh copy of the input's properties, as the platform hands them out.
  HRESULT GetInputProps(DWORD inputNum, IWMInputMediaProps** input) override {
    if (input == nullptr) return E_POINTER;
    *input = nullptr;
    if (inputNum >= m_inputs.size()) return E_FAIL;
    auto* props = new (std::nothrow) InputProps(m_inputs[inputNum]->Kind());
    if (props == nullptr) return E_OUTOFMEMORY;
    *input = props;
    return S_OK;
  }

  HRESULT SetInputProps(DWORD inputNum, IWMInputMediaProps* input) override {
    if (input == nullptr) return E_POINTER;
    if (inputNum >= m_inputs.size() || m_state != State::Idle) return E_UNEXPECTED;
    // Only properties this writer handed out carry a media type it can read.
    auto* props = dynamic_cast<InputProps*>(input);
    if (props == nullptr || !(props->Kind() == m_inputs[inputNum]->Kind()) || !props->Typed()) return E_FAIL;
    props->AddRef();
    m_inputs[inputNum] = ComPtr<InputProps>(props);
    if (props->Kind() == WMMEDIATYPE_Audio) m_audioInput = static_cast<int>(inputNum);
    return S_OK;
  }

  HRESULT BeginWriting() override {
    if (m_state != State::Idle || m_path.empty() || m_audioInput < 0) return E_UNEXPECTED;
    m_temp = m_path + ".tmp";
    ::unlink(m_temp.c_str());
    m_state = State::Writing;
    // Without its module the writer cannot encode: the writing fails as a
    // codec that cannot be opened does, and nothing is created.
    const WmaCodecApi* api = LoadWmaCodec();
    HRESULT hr = E_FAIL;
    if (api != nullptr) {
      WmaCodec* codec = nullptr;
      hr = api->open(m_temp.c_str(), &m_inputs[static_cast<std::size_t>(m_audioInput)]->Pcm(), &m_target, &codec);
      if (SUCCEEDED(hr)) m_encoder = CodecHandle(codec, CodecCloser{api});
    }
    if (FAILED(hr)) {
      Discard();
      m_state = State::Failed;
    }
    return hr;
  }

  HRESULT AllocateSample(DWORD size, INSSBuffer** sample) override {
    if (sample == nullptr) return E_POINTER;
    *sample = nullptr;
    auto* object = new (std::nothrow) Sample(m_pool, m_pool->Take(size));
    if (object == nullptr) return E_OUTOFMEMORY;
    *sample = object;
    return S_OK;
  }

  // The sample is encoded before this returns; the caller may release it
  // at once. A failure is kept and reported again by EndWriting, so a write
  // that went wrong can never end in a file that looks whole.
  HRESULT WriteSample(DWORD inputNum, QWORD /*sampleTime*/, DWORD /*flags*/, INSSBuffer* sample) override {
    if (sample == nullptr) return E_POINTER;
    if (m_state != State::Writing) return E_UNEXPECTED;
    if (static_cast<int>(inputNum) != m_audioInput) return E_FAIL;  // no other stream is written
    if (FAILED(m_writeStatus)) return m_writeStatus;
    BYTE* data = nullptr;
    DWORD length = 0;
    HRESULT hr = sample->GetBufferAndLength(&data, &length);
    if (SUCCEEDED(hr)) {
      const WmaPcmFormat& pcm = m_inputs[static_cast<std::size_t>(m_audioInput)]->Pcm();
      hr = length % pcm.blockAlign != 0
               ? E_FAIL
               : m_encoder.get_deleter().api->write(m_encoder.get(), data, length / pcm.blockAlign);
    }
    if (FAILED(hr)) m_writeStatus = hr;
    return hr;
  }

  HRESULT EndWriting() override {
    if (m_state != State::Writing) return E_UNEXPECTED;
    HRESULT hr = m_writeStatus;
    if (SUCCEEDED(hr)) hr = m_encoder.get_deleter().api->finish(m_encoder.get());
    m_encoder.reset();
    if (SUCCEEDED(hr) && !CommitFile(m_temp, m_path)) hr = E_FAIL;
    if (FAILED(hr)) {
      ::unlink(m_temp.c_str());
      m_state = State::Failed;
    } else {
      m_state = State::Ended;
    }
    m_temp.clear();
    return hr;
  }

 private:
  enum class State { Idle, Writing, Ended, Failed };

  // Drops an unfinished file.
  void Discard() {
    m_encoder.reset();
    if (!m_temp.empty()) ::unlink(m_temp.c_str());
    m_temp.clear();
  }

  State m_state = State::Idle;
  std::vector<ComPtr<InputProps>> m_inputs;
  int m_audioInput = -1;
  WmaTarget m_target{};
  std::string m_path;
  std::string m_temp;
  CodecHandle m_encoder;
  HRESULT m_writeStatus = S_OK;
  std::shared_ptr<BufferPool> m_pool = std::make_shared<BufferPool>();
};

}  // namespace

const WmaCodecApi* LoadWmaCodec(std::string* why) {
  CodecModule& module = TheCodecModule();
  std::lock_guard lock(module.mtx);
  if (module.api != nullptr) return module.api;
  // Tried again by the next writer when it fails: the module may have been
  // put in place since.
  std::string error;
  bool opened = module.library.Open(kWmaCodecLibraryName);
  if (!opened) {
    error = module.library.Error();
    if (const std::string bundled = BundledLibraryPath(kWmaCodecLibraryName); !bundled.empty()) {
      opened = module.library.Open(bundled);
      if (!opened) error += "; " + module.library.Error();
    }
  }
  if (opened) {
    auto entry = reinterpret_cast<WmaCodecApiFn>(module.library.Symbol(kWmaCodecEntryPoint, &error));
    const WmaCodecApi* api = entry != nullptr ? entry() : nullptr;
    if (api != nullptr && api->version == kWmaCodecApiVersion && api->open && api->write && api->finish &&
        api->close) {
      module.api = api;
      return api;
    }
    if (entry != nullptr) error = "it is not this program's version (another build's module?)";
    static_cast<void>(module.library.Close());
  }
  if (why != nullptr) *why = std::string(kWmaCodecLibraryName) + ": " + error;
  return nullptr;
}

HRESULT WMCreateWriter(IUnknown* /*reserved*/, IWMWriter** writer) {
  if (writer == nullptr) return E_POINTER;
  *writer = new (std::nothrow) Writer();
  return *writer != nullptr ? S_OK : E_OUTOFMEMORY;
}

}  // namespace mivo::platform::wm
