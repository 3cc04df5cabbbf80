#include "capture/track_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "capture/capture_setup.h"
#include "settings/recorder_ids.h"

namespace mivo {
namespace {

constexpr std::size_t kZeroChunk = 65536;
const char kZeros[kZeroChunk] = {};

std::time_t SystemClock() { return std::time(nullptr); }

void Put16(unsigned char* p, std::uint32_t v) {
  p[0] = static_cast<unsigned char>(v & 0xFF);
  p[1] = static_cast<unsigned char>((v >> 8) & 0xFF);
}

void Put32(unsigned char* p, std::uint32_t v) {
  Put16(p, v & 0xFFFF);
  Put16(p + 2, v >> 16);
}

bool Exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace

std::string JoinFolder(const std::string& folder, const std::string& name) {
  // UTF-8 never puts a "/" byte inside a character, so a final "/" is
  // always the separator.
  if (!folder.empty() && folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

std::string Mp3Extension(const GogoSetting& gogo) {
  if (gogo.bOutFileExp) {
    return std::string(gogo.pszOutFileExp, ::strnlen(gogo.pszOutFileExp, sizeof gogo.pszOutFileExp));
  }
  if (gogo.dwOutFmt == 1) return ".wav";
  if (gogo.dwOutFmt == 2) return ".rmp";
  return ".mp3";
}

TrackNames MakeTrackNames(const RecorderSettings& s, int n) {
  char number[16];
  std::snprintf(number, sizeof number, "%03d", n);
  const std::string stem = s.RecFilePre + number;
  const std::string output = s.FilesFolder(s.RecFolder);
  return TrackNames{JoinFolder(s.FilesFolder(s.RecTempFolder), stem + ".wav"),
                    JoinFolder(output, stem + Mp3Extension(s.m_GogoSetting)), JoinFolder(output, stem + ".wma")};
}

int TrackNumberOf(const RecorderSettings& s, const std::string& path) {
  const std::string name = path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
  const std::string& pre = s.RecFilePre;
  if (name.size() <= pre.size() + 4 || name.compare(0, pre.size(), pre) != 0 ||
      name.compare(name.size() - 4, 4, ".wav") != 0) {
    return 0;
  }
  const std::string digits = name.substr(pre.size(), name.size() - pre.size() - 4);
  if (digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos) return 0;
  return std::stoi(digits);
}

QueueEntry MakeTrackEntry(const std::string& path, const TrackStats& stats, std::uint32_t audioBytes, bool gaps,
                          std::int64_t startTime, std::int32_t sampleRate, int headerShortening) {
  const std::int64_t frames = audioBytes / 4;
  QueueEntry entry;
  entry.file = path;
  entry.peak = static_cast<std::int32_t>(stats.peak);
  entry.startTime = startTime;
  entry.dcL = static_cast<std::int32_t>(stats.sumL / frames);
  entry.dcR = static_cast<std::int32_t>(stats.sumR / frames);
  entry.sampleRate = sampleRate;
  entry.headerShortening = headerShortening;
  entry.rangeL = stats.rangeL;
  entry.rangeR = stats.rangeR;
  if (gaps) {
    // The gaps' zero samples are part of the file the passes see.
    for (ChannelRange* r : {&entry.rangeL, &entry.rangeR}) {
      if (r->min > 0) r->min = 0;
      if (r->max < 0) r->max = 0;
    }
  }
  return entry;
}

TrackWriter::TrackWriter(RecorderSettings& settings, ConversionQueue& queue, DebugLog& log,
                         IRecorderControl& control)
    : m_settings(settings), m_queue(queue), m_log(log), m_control(control), m_clock(SystemClock) {}

TrackWriter::~TrackWriter() {
  // The controller closes its track before it goes; should one still be
  // open, leave it with sizes that describe what is on disk.
  if (m_fd.Valid()) {
    m_syncer.Detach();
    static_cast<void>(PatchSizes());
    static_cast<void>(CloseFile());
  }
}

void TrackWriter::SetFormat(const platform::WAVEFORMATEX& format, std::uint32_t bufferFrames) {
  m_wfx = format;
  m_nBufBytes = bufferFrames * 4;
}

bool TrackWriter::GapsFit(std::int32_t priGap, std::int32_t postGap, std::uint64_t bufferBytes,
                          std::uint64_t maxDataBytes) {
  const std::uint64_t gaps = (std::uint64_t{priGap > 0 ? static_cast<std::uint32_t>(priGap) : 0u} +
                              std::uint64_t{postGap > 0 ? static_cast<std::uint32_t>(postGap) : 0u}) *
                             4;
  return gaps + bufferBytes <= maxDataBytes;
}

std::uint32_t TrackWriter::GapBytes(std::int32_t frames, std::uint64_t room) const {
  if (frames <= 0) return 0;
  std::uint64_t bytes = static_cast<std::uint64_t>(frames) * 4;
  if (bytes > room) bytes = room & ~std::uint64_t{3};
  return static_cast<std::uint32_t>(bytes);
}

bool TrackWriter::WriteAt(std::uint64_t offset, const void* data, std::size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::pwrite(m_fd.Get(), p, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
    offset += static_cast<std::uint64_t>(n);
  }
  return true;
}

bool TrackWriter::WriteZerosAt(std::uint64_t offset, std::uint64_t size) {
  while (size > 0) {
    const std::size_t chunk = size < kZeroChunk ? static_cast<std::size_t>(size) : kZeroChunk;
    if (!WriteAt(offset, kZeros, chunk)) return false;
    offset += chunk;
    size -= chunk;
  }
  return true;
}

void TrackWriter::TruncateTo(std::uint64_t size) {
  // Cuts off what a failed write left behind. Should that fail too, the
  // patched sizes still describe only the whole part; the rest lies beyond
  // the data chunk, where readers do not look.
  while (::ftruncate(m_fd.Get(), static_cast<off_t>(size)) != 0 && errno == EINTR) {
  }
}

bool TrackWriter::PatchSizes() {
  unsigned char riff[4];
  unsigned char data[4];
  Put32(riff, m_dwTrackBytes + 38u - static_cast<std::uint32_t>(m_nShortening));
  Put32(data, m_dwTrackBytes);
  return WriteAt(4, riff, 4) && WriteAt(42u - static_cast<std::uint32_t>(m_nShortening), data, 4);
}

bool TrackWriter::CloseFile() {
  const int fd = m_fd.Release();
  // Linux frees the descriptor whatever close() reports; EINTR loses nothing.
  return ::close(fd) == 0 || errno == EINTR;
}

bool TrackWriter::RemoveTrackFile() {
  return ::unlink(m_strTrackPath.c_str()) == 0 || errno == ENOENT;
}

void TrackWriter::ShowStatus(const char* text) { m_control.Window().SetDlgItemText(IDC_STATUS, text); }

void TrackWriter::ShowWriteError() {
  m_control.Window().MessageBox(std::string(kTrackWriteFailed) + "\r\n" + m_strTrackPath, "ERROR",
                                ui::MB_OK | ui::MB_ICONEXCLAMATION);
}

bool TrackWriter::Open() {
  ui::IWindow& w = m_control.Window();

  // Naming: the lowest free number above the last one used.
  ++m_nTrackNo;
  if (!m_settings.RecTempFolder.empty() && m_settings.RecTempFolder.back() == '/') {
    m_settings.RecTempFolder.pop_back();
    w.SetDlgItemText(IDC_TEMPFOLDER, m_settings.RecTempFolder);
  }
  // The file is created exclusively: another recorder sharing the folder
  // may take a name between the look and the creation, and then this one
  // goes on to the next number instead of writing into that file.
  int fd = -1;
  for (;;) {
    TrackNames names = MakeTrackNames(m_settings, m_nTrackNo);
    while ((Exists(names.track) || Exists(names.mp3) || Exists(names.wma)) && m_nTrackNo < INT_MAX) {
      ++m_nTrackNo;
      names = MakeTrackNames(m_settings, m_nTrackNo);
    }
    m_strTrackPath = names.track;
    if (m_beforeCreate != nullptr) m_beforeCreate(m_strTrackPath);
    fd = ::open(m_strTrackPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST || m_nTrackNo == INT_MAX) break;
    ++m_nTrackNo;
  }
  if (fd < 0) {
    m_control.Stop();
    w.MessageBox(kCannotOpenTrack, "ERROR", ui::MB_OK | ui::MB_ICONEXCLAMATION);
    return false;
  }
  m_fd.Reset(fd);
  m_bFailed = false;
  if (!m_control.IsSkip()) w.SetDlgItemText(IDC_TRACKFILE, m_strTrackPath);

  m_nShortening = HeaderShortening(m_settings.m_nWavheaderShortening);
  std::array<unsigned char, 18> fmt{};
  Put16(&fmt[0], m_wfx.wFormatTag);
  Put16(&fmt[2], m_wfx.nChannels);
  Put32(&fmt[4], m_wfx.nSamplesPerSec);
  Put32(&fmt[8], m_wfx.nAvgBytesPerSec);
  Put16(&fmt[12], m_wfx.nBlockAlign);
  Put16(&fmt[14], m_wfx.wBitsPerSample);
  Put16(&fmt[16], m_wfx.cbSize);
  const std::uint32_t fmtBytes = 18u - static_cast<std::uint32_t>(m_nShortening);
  std::array<unsigned char, 46> header{};
  std::memcpy(&header[0], "RIFF", 4);
  std::memcpy(&header[8], "WAVE", 4);
  std::memcpy(&header[12], "fmt ", 4);
  Put32(&header[16], fmtBytes);
  std::memcpy(&header[20], fmt.data(), fmtBytes);
  std::memcpy(&header[20 + fmtBytes], "data", 4);

  m_stats = TrackStats{};
  m_dwTrackBytes = 0;
  m_dwPriGapBytes = 0;
  m_dwGapBytes = 0;
  if (!WriteAt(0, header.data(), HeaderBytes())) {
    // Not even a header: no file is left that could pass for a track.
    static_cast<void>(CloseFile());
    static_cast<void>(RemoveTrackFile());  // an empty file left behind is stepped over by the naming
    m_bFailed = true;
    m_control.Stop();
    ShowWriteError();
    return false;
  }

  // The lead gap leaves room for one buffer and a trailing gap of its size.
  const std::uint64_t room = m_qwMaxDataBytes > m_nBufBytes ? (m_qwMaxDataBytes - m_nBufBytes) / 2 : 0;
  const std::uint32_t gap = GapBytes(m_settings.PriGapLen, room);
  if (!WriteZerosAt(HeaderBytes(), gap)) {
    TruncateTo(HeaderBytes());
    m_bFailed = true;
    m_control.Stop();  // closes the track, which holds no audio and goes
    if (m_fd.Valid()) Close();
    ShowWriteError();
    return false;
  }
  m_dwTrackBytes = gap;
  m_dwPriGapBytes = gap;
  m_dwGapBytes = gap;

  // From now on the header follows the data, and a restart finds the track.
  if (std::string why; !m_syncer.Start(&why)) {
    // Recording goes on: the header gets its sizes when the track closes,
    // and after a crash the next start repairs them from the file's length.
    const std::string line = "no thread keeps the header of " + m_strTrackPath + " up to date (" + why +
                             "); recording goes on";
    m_log.Line(line);
    std::fprintf(stderr, "mivo: %s\n", line.c_str());
  }
  m_syncer.Attach(m_fd.Get(), m_nShortening, m_dwTrackBytes);
  if (m_journal != nullptr) {
    RecordingTrack rec;
    rec.file = m_strTrackPath;
    static_cast<void>(platform::FileIdOf(m_fd.Get(), &rec.id));
    rec.sampleRate = static_cast<std::int32_t>(m_wfx.nSamplesPerSec);
    rec.headerShortening = m_nShortening;
    rec.leadGapBytes = gap;
    rec.bufferFrames = m_nBufBytes / 4;
    m_journal->RecordingOpened(rec);
  }
  return true;
}

void TrackWriter::Write(const CapturedBuffer& buffer) {
  if (!m_fd.Valid()) return;

  // The sizes are 32-bit: a track that could not describe this buffer (and
  // its trailing gap) is closed and kept, and the buffer begins the next one.
  const std::uint64_t post = GapBytes(m_settings.PostGapLen, m_qwMaxDataBytes);
  if (HasAudio() && std::uint64_t{m_dwTrackBytes} + buffer.bytes + post > m_qwMaxDataBytes) {
    Close();
    if (!Open()) return;
  }

  const bool skip = m_control.IsSkip();
  const bool first = m_dwTrackBytes == m_dwPriGapBytes;
  if (first && !skip) {
    m_tTrackStart = m_clock();
    ShowStatus("録音中   0:00");
    if (m_journal != nullptr) m_journal->RecordingStarted(static_cast<std::int64_t>(m_tTrackStart));
  }

  const std::uint32_t old = m_dwTrackBytes;
  m_dwTrackBytes = old + buffer.bytes;
  const std::uint32_t avg = m_wfx.nAvgBytesPerSec;
  if (avg != 0 && old / avg != m_dwTrackBytes / avg && !skip) {
    const std::uint32_t seconds = m_dwTrackBytes / avg;
    char text[32];
    std::snprintf(text, sizeof text, "録音中 %3u:%02u", seconds / 60, seconds % 60);
    ShowStatus(text);
  }

  const TrackStats oldStats = m_stats;
  m_stats.Add(buffer);

  if (!WriteAt(std::uint64_t{HeaderBytes()} + old, buffer.data, buffer.bytes)) {
    // Keep exactly the whole buffers written before this one.
    TruncateTo(std::uint64_t{HeaderBytes()} + old);
    m_dwTrackBytes = old;
    m_stats = oldStats;
    m_bFailed = true;
    m_control.Stop();
    if (m_fd.Valid()) Close();
    ShowWriteError();
    return;
  }
  m_syncer.Publish(m_dwTrackBytes);
}

void TrackWriter::Close() {
  if (!m_fd.Valid()) return;
  // The sizes written below are the last: the syncer lets go of the file.
  m_syncer.Detach();

  bool failed = false;
  if (!m_bFailed) {
    const std::uint32_t post = GapBytes(m_settings.PostGapLen, m_qwMaxDataBytes - m_dwTrackBytes);
    if (WriteZerosAt(std::uint64_t{HeaderBytes()} + m_dwTrackBytes, post)) {
      m_dwTrackBytes += post;
      m_dwGapBytes += post;
    } else {
      TruncateTo(std::uint64_t{HeaderBytes()} + m_dwTrackBytes);
      failed = true;
    }
  }
  const bool patched = PatchSizes();
  platform::FileId version;
  const bool identified = platform::FileIdOf(m_fd.Get(), &version);
  const bool closed = CloseFile();
  const bool tell = (failed || !patched || !closed) && !m_bFailed;
  if (!patched || !closed) {
    // The file may not say what it holds: it stays on disk for the user
    // and is not converted.
    if (m_journal != nullptr) m_journal->RecordingDropped();
    if (tell) ShowWriteError();
    return;
  }

  const std::uint32_t audio = m_dwTrackBytes - m_dwGapBytes;
  const bool tooShort = m_settings.m_bDropWave && m_settings.m_dwDropWaveLen > 0 &&
                        std::uint64_t{audio} < static_cast<std::uint64_t>(m_settings.m_dwDropWaveLen) * 4;
  // A deleted track gives its number back; one that could not be removed
  // keeps it, and the naming steps over the file.
  if (tooShort || audio == 0) {
    if (RemoveTrackFile()) --m_nTrackNo;
    if (m_journal != nullptr) m_journal->RecordingDropped();
  } else if (m_control.IsSkip()) {
    if (RemoveTrackFile()) --m_nTrackNo;
    m_control.EndSkip();
    if (m_journal != nullptr) m_journal->RecordingDropped();
  } else {
    const QueueEntry entry =
        MakeTrackEntry(m_strTrackPath, m_stats, audio, m_dwGapBytes != 0, static_cast<std::int64_t>(m_tTrackStart),
                       static_cast<std::int32_t>(m_wfx.nSamplesPerSec), m_nShortening);
    // The journal has it before the worker can take it. Should the file not
    // be identified, a restart finds it changed and leaves it alone.
    if (m_journal != nullptr) m_journal->Queued(entry, identified ? version : platform::FileId{});
    const std::size_t length = m_queue.Append(entry);  // wakes the worker on 0 -> 1
    m_control.Window().SetDlgItemText(IDC_REMAINING, std::to_string(length));
    m_log.TrackLine(m_strTrackPath, entry.peak);
  }
  if (tell) ShowWriteError();
}

}  // namespace mivo
