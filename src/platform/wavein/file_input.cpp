#include "platform/wavein/file_input.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "platform/process/regular_file.h"
#include "platform/process/unique_fd.h"
#include "platform/wavein/paced_device.h"

namespace mivo::platform {
namespace {

class FileSource final : public IPacedSource {
 public:
  FileSource(const WavFileInfo& info, UniqueFd fd) : m_info(info), m_fd(std::move(fd)) {}

  void Render(std::uint64_t first, char* out, std::size_t frames) override {
    const std::size_t want = frames * m_info.blockAlign;
    std::size_t got = 0;
    const std::uint64_t pos = first * m_info.blockAlign;
    if (pos < m_info.dataBytes) {
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(want, m_info.dataBytes - pos));
      while (got < n) {
        const ssize_t r = ::pread(m_fd.Get(), out + got, n - got,
                                  static_cast<off_t>(m_info.dataOffset + pos + got));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;  // the file shrank under us: silence from here
        got += static_cast<std::size_t>(r);
      }
    }
    // After the end of the file: digital silence.
    std::memset(out + got, 0, want - got);
  }

 private:
  const WavFileInfo m_info;
  UniqueFd m_fd;
};

class FileBackend final : public IWaveInBackend {
 public:
  explicit FileBackend(const WavFileInfo& info) : m_info(info) {
    WAVEINCAPS caps;
    caps.szPname = "ファイル: " + std::filesystem::path(info.path).filename().string();
    caps.bThisRunOnly = true;
    caps.wChannels = info.channels;
    m_caps.push_back(std::move(caps));
  }

  Presence Refresh() override { return Presence::Answered; }
  const std::vector<WAVEINCAPS>& Devices() const override { return m_caps; }
  bool HasPreferred() const override { return true; }

  MMRESULT Open(unsigned index, const WAVEFORMATEX& format, ui::IWindow* window,
                std::unique_ptr<WaveInDevice>* device) override {
    if (index != 0 && index != kPreferredDevice) return MMSYSERR_BADDEVICEID;
    if (!IsSupportedPcm16(format)) return WAVERR_BADFORMAT;
    if (format.nSamplesPerSec != m_info.rate || format.nChannels != m_info.channels) {
      std::fprintf(stderr,
                   "mivo: the input file %s is %u Hz with %u channel(s), but %u Hz with %u "
                   "channel(s) was asked for\n",
                   m_info.path.c_str(), static_cast<unsigned>(m_info.rate),
                   static_cast<unsigned>(m_info.channels),
                   static_cast<unsigned>(format.nSamplesPerSec),
                   static_cast<unsigned>(format.nChannels));
      return WAVERR_BADFORMAT;
    }
    // Opened again: refused when it is no longer a regular file.
    UniqueFd fd = OpenRegularFile(m_info.path, nullptr);
    if (!fd) return errno == ENOMEM ? MMSYSERR_NOMEM : MMSYSERR_NODRIVER;
    auto dev = std::make_unique<PacedDevice>(window, format, m_caps[0].szPname, false,
                                             std::make_unique<FileSource>(m_info, std::move(fd)));
    if (!dev->Launch()) return MMSYSERR_NOMEM;
    *device = std::move(dev);
    return MMSYSERR_NOERROR;
  }

 private:
  const WavFileInfo m_info;
  std::vector<WAVEINCAPS> m_caps;
};

}  // namespace

std::unique_ptr<IWaveInBackend> CreateFileBackend(const WavFileInfo& file) {
  return std::make_unique<FileBackend>(file);
}

}  // namespace mivo::platform
