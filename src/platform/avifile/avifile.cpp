#include "platform/avifile/avifile.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <string>

#include "platform/process/unique_fd.h"
#include "platform/wavein/wav_file.h"

namespace mivo::platform::avi {

struct AviFile {
  WavFileInfo info;
  UniqueFd fd;
  std::atomic<std::uint32_t> refs{1};
};

struct AviStream {
  AviFile* file = nullptr;  // holds a reference
  std::atomic<std::uint32_t> refs{1};
};

namespace {

std::atomic<int> g_inits{0};

std::int32_t Frames(const AviFile& f) { return static_cast<std::int32_t>(f.info.dataBytes / f.info.blockAlign); }

}  // namespace

void AVIFileInit() { ++g_inits; }

void AVIFileExit() {
  int n = g_inits.load();
  while (n > 0 && !g_inits.compare_exchange_weak(n, n - 1)) {
  }
}

HRESULT AVIFileOpenA(PAVIFILE* file, const char* path, std::uint32_t /*mode*/, const void* /*handler*/) {
  if (file == nullptr || path == nullptr) return E_POINTER;
  *file = nullptr;
  std::optional<WavFileInfo> info = ReadWavFileInfo(path, nullptr);
  if (!info) return E_FAIL;
  // Positions are 32-bit sample numbers.
  if (info->dataBytes / info->blockAlign > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) {
    return E_FAIL;
  }
  auto* f = new (std::nothrow) AviFile();
  if (f == nullptr) return E_OUTOFMEMORY;
  f->info = std::move(*info);
  f->fd.Reset(::open(path, O_RDONLY | O_CLOEXEC));
  if (!f->fd) {
    delete f;
    return E_FAIL;
  }
  *file = f;
  return S_OK;
}

HRESULT AVIFileGetStream(PAVIFILE file, PAVISTREAM* stream, std::uint32_t type, std::int32_t number) {
  if (file == nullptr || stream == nullptr) return E_POINTER;
  *stream = nullptr;
  if (type != streamtypeAUDIO || number != 0) return E_FAIL;
  auto* s = new (std::nothrow) AviStream();
  if (s == nullptr) return E_OUTOFMEMORY;
  ++file->refs;
  s->file = file;
  *stream = s;
  return S_OK;
}

HRESULT AVIStreamReadFormat(PAVISTREAM stream, std::int32_t /*pos*/, void* format, std::int32_t* size) {
  if (stream == nullptr || size == nullptr) return E_POINTER;
  const WavFileInfo& info = stream->file->info;
  if (format == nullptr) {
    *size = info.formatBytes;
    return S_OK;
  }
  if (*size < 0) return E_FAIL;
  const auto n = std::min<std::int32_t>(*size, info.formatBytes);
  std::memcpy(format, info.format, static_cast<std::size_t>(n));
  *size = n;
  return S_OK;
}

HRESULT AVIStreamInfoA(PAVISTREAM stream, AVISTREAMINFOA* info, std::int32_t size) {
  if (stream == nullptr || info == nullptr) return E_POINTER;
  if (size < static_cast<std::int32_t>(sizeof(AVISTREAMINFOA))) return E_FAIL;
  const WavFileInfo& w = stream->file->info;
  *info = AVISTREAMINFOA{};
  info->fccType = streamtypeAUDIO;
  info->dwScale = w.blockAlign;
  info->dwRate = w.rate * w.blockAlign;
  info->dwStart = 0;
  info->dwLength = static_cast<std::uint32_t>(Frames(*stream->file));
  info->dwSuggestedBufferSize = w.rate * w.blockAlign;
  info->dwQuality = 0xFFFFFFFFu;
  info->dwSampleSize = w.blockAlign;
  std::strncpy(info->szName, "Sound", sizeof info->szName - 1);
  return S_OK;
}

std::int32_t AVIStreamStart(PAVISTREAM stream) { return stream == nullptr ? -1 : 0; }

std::int32_t AVIStreamLength(PAVISTREAM stream) { return stream == nullptr ? -1 : Frames(*stream->file); }

HRESULT AVIStreamRead(PAVISTREAM stream, std::int32_t start, std::int32_t samples, void* buffer,
                      std::int32_t bufferSize, std::int32_t* bytesRead, std::int32_t* samplesRead) {
  if (stream == nullptr) return E_POINTER;
  const AviFile& f = *stream->file;
  const std::int32_t align = f.info.blockAlign;
  const std::int32_t length = Frames(f);
  if (start < 0 || start > length) return E_FAIL;
  std::int32_t want = length - start;
  if (samples == AVISTREAMREAD_CONVENIENT) {
    if (buffer != nullptr) want = std::min(want, bufferSize / align);
  } else if (samples >= 0) {
    want = std::min(want, samples);
  } else {
    return E_FAIL;
  }
  if (buffer != nullptr) {
    if (bufferSize < align && want > 0) return E_FAIL;
    want = std::min(want, bufferSize / align);
  }
  std::int32_t got = want;
  if (buffer != nullptr && want > 0) {
    // Whole frames only; a file that has become shorter gives what is left.
    auto* p = static_cast<std::uint8_t*>(buffer);
    std::size_t bytes = static_cast<std::size_t>(want) * static_cast<std::size_t>(align);
    std::uint64_t offset = f.info.dataOffset + static_cast<std::uint64_t>(start) * static_cast<std::uint64_t>(align);
    std::size_t done = 0;
    while (done < bytes) {
      const ssize_t r = ::pread(f.fd.Get(), p + done, bytes - done, static_cast<off_t>(offset + done));
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) return E_FAIL;
      if (r == 0) break;
      done += static_cast<std::size_t>(r);
    }
    got = static_cast<std::int32_t>(done / static_cast<std::size_t>(align));
  }
  if (bytesRead != nullptr) *bytesRead = got * align;
  if (samplesRead != nullptr) *samplesRead = got;
  return S_OK;
}

std::uint32_t AVIStreamRelease(PAVISTREAM stream) {
  if (stream == nullptr) return 0;
  const std::uint32_t left = --stream->refs;
  if (left == 0) {
    AVIFileRelease(stream->file);
    delete stream;
  }
  return left;
}

std::uint32_t AVIFileRelease(PAVIFILE file) {
  if (file == nullptr) return 0;
  const std::uint32_t left = --file->refs;
  if (left == 0) delete file;
  return left;
}

}  // namespace mivo::platform::avi
