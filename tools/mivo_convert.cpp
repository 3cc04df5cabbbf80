// mivo-convert: the recorder's processing of a finished track, run on WAV
// files named on the command line, with the settings of mivo.ini.
//
// Each input is checked and read in place: its peak, channel means and
// extremes are measured from it when automatic normalization needs them,
// and the first sample pass reads its samples (behind a track header made
// for them) and writes the track into a private folder inside the output
// folder. The worker's processing then runs on that track, and the results
// go to RecFolder (or -o DIR): the WAV result by a rename within the same
// file system, after the one sync of the conversion. The input itself is
// never written, renamed or deleted.
//
// Several files run at once in processes of their own (-j): the MP3
// encoder library has one job per process, as its interface has no handle.
// Each process is this program on one file, reporting its progress,
// messages and results to the first one through a pipe, one line each.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "convert/sample_passes.h"
#include "convert/track_processor.h"
#include "encode/gogo_dll.h"
#include "encode/wma_encoder.h"
#include "platform/process/child_process.h"
#include "platform/process/file_io.h"
#include "platform/process/paths.h"
#include "platform/process/regular_file.h"
#include "platform/process/signals.h"
#include "platform/process/unique_fd.h"
#include "platform/sync/thread.h"
#include "platform/ui/dialog.h"
#include "settings/recorder_settings.h"
#include "wav_input.h"

#ifndef MIVO_VERSION
#define MIVO_VERSION "0"
#endif

namespace mivo {
namespace {

namespace fs = std::filesystem;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr std::size_t kMeasureFrames = 1024;  // one capture buffer
constexpr int kMaxJobs = 256;

void Say(const std::string& text) { std::fprintf(stderr, "mivo-convert: %s\n", text.c_str()); }

std::string UsageText() {
  return "Usage: mivo-convert [--config FILE] [-o DIR] [-j N] [--threads N] [-v] FILE.wav...\n"
         "       mivo-convert --help | --version\n"
         "\n"
         "Runs the recorder's processing of a finished track on each WAV file:\n"
         "normalization, de-emphasis and 48 -> 44.1 kHz conversion as enabled in\n"
         "the settings, then the MP3 and WMA encoders when enabled. The level and\n"
         "DC offsets for automatic normalization are measured from the file.\n"
         "Inputs are never changed; the results are written to RecFolder (or DIR),\n"
         "named after the input: NAME.wav when RecWav is set, NAME.mp3, NAME.wma.\n"
         "A relative RecFolder lies in the settings file's folder, or in Mivo in the\n"
         "music folder for the settings in $XDG_CONFIG_HOME; DIR is taken from the\n"
         "current folder.\n"
         "\n"
         "Inputs must be 16-bit stereo PCM WAV files with a 16- or 18-byte format\n"
         "chunk (the 18-byte form gives the 46-byte track header, the 16-byte form\n"
         "the 44-byte one).\n"
         "\n"
         "Options:\n"
         "  --config FILE   use FILE as the settings file instead of mivo.ini\n"
         "                  beside the program (or $XDG_CONFIG_HOME/mivo/mivo.ini)\n"
         "  -o, --output DIR  write the results to DIR instead of RecFolder\n"
         "  -j, --jobs N    process up to N files at once, each in a process of its\n"
         "                  own (default: the number of processors)\n"
         "  --threads N     threads of each file's high-precision conversion\n"
         "                  (default: the processors divided by the files processed\n"
         "                  at once, at least 1, so that together they use each\n"
         "                  processor once)\n"
         "  -v, --verbose   also tell how the steps ran: the high-precision\n"
         "                  conversion's kernel and threads\n"
         "  --help          show this help and exit\n"
         "  --version       show the version and exit\n"
         "\n"
         "An input already at 44100 Hz is not resampled; its other steps still run.\n"
         "A missing DIR is created. While a file is converted, its work files are in\n"
         "a hidden folder (.mivo-convert-*) inside the output folder.\n"
         "With several files at once, one line shows the progress of all of them\n"
         "(on a terminal), and the result lines come in the order the files finish.\n"
         "\n"
         "Exit status: 0 when every file was processed, 1 when any file failed\n"
         "or was refused, 2 for a usage error.\n";
}

struct Options {
  bool help = false;
  bool version = false;
  bool verbose = false;
  std::string config;
  std::string outDir;
  int jobs = 0;     // 0: one per processor
  int threads = 0;  // 0: the processors divided by the jobs
  std::vector<std::string> inputs;
  std::string error;
  // A process of a batch: the file's place in it (1-based) and its size.
  int batchPlace = 0;
  int batchSize = 0;
};

// A whole number from `min` to `max`, or nothing.
std::optional<int> Number(const std::string& text, int min, int max) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
  const int n = std::atoi(text.c_str());
  if (n < min || n > max) return std::nullopt;
  return n;
}

Options ParseArgs(int argc, char** argv) {
  Options o;
  bool onlyFiles = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](std::string& into) {
      if (i + 1 >= argc) {
        o.error = arg + " needs a value";
        return false;
      }
      into = argv[++i];
      return true;
    };
    auto count = [&](int& into, int max) {
      std::string text;
      if (!value(text)) return;
      if (auto n = Number(text, 1, max)) {
        into = *n;
      } else {
        o.error = arg + " needs a number from 1 to " + std::to_string(max) + ", not \"" + text + "\"";
      }
    };
    if (onlyFiles || arg.empty() || arg[0] != '-' || arg == "-") {
      o.inputs.push_back(arg);
    } else if (arg == "--") {
      onlyFiles = true;
    } else if (arg == "--help" || arg == "-h") {
      o.help = true;
    } else if (arg == "--version") {
      o.version = true;
    } else if (arg == "-v" || arg == "--verbose") {
      o.verbose = true;
    } else if (arg == "--config") {
      value(o.config);
    } else if (arg == "-o" || arg == "--output") {
      value(o.outDir);
    } else if (arg == "-j" || arg == "--jobs") {
      count(o.jobs, kMaxJobs);
    } else if (arg == "--threads") {
      count(o.threads, 64);
    } else if (arg == "--batch-file") {
      // Internal: "PLACE SIZE", set by the first process for the ones it starts.
      std::string place, size;
      if (value(place) && value(size)) {
        const auto p = Number(place, 1, 1 << 30);
        const auto n = Number(size, 1, 1 << 30);
        if (!p || !n || *p > *n) o.error = "bad --batch-file";
        o.batchPlace = p.value_or(0);
        o.batchSize = n.value_or(0);
      }
    } else {
      o.error = "unknown option " + arg;
    }
    if (!o.error.empty()) return o;
  }
  if (!o.help && !o.version && o.inputs.empty()) o.error = "no input files";
  if (o.batchPlace != 0 && o.inputs.size() != 1) o.error = "--batch-file takes one file";
  return o;
}

// What the enabled steps need of the input's rate. An input already at
// 44.1 kHz needs no conversion to it: that step is left out for it (`note`
// says so) and the other steps still run.
std::optional<std::string> CheckRate(const WavInput& in, RecorderSettings& s, std::string& note) {
  const std::string rate = std::to_string(in.rate) + " Hz";
  if (s.RecDeEmphasis && !DeEmphasisRateSupported(in.rate)) return "de-emphasis is not defined at " + rate;
  if (s.Rec4844 && (s.m_nConvKind == 0 || s.m_nConvKind == 1) && in.rate == 44100) {
    s.Rec4844 = false;
    note = "already at 44100 Hz: not resampled";
    return std::nullopt;
  }
  if (s.Rec4844 && s.m_nConvKind == 0 && in.rate != 48000) {
    return "the linear 48 -> 44.1 kHz conversion takes 48000 Hz only, not " + rate;
  }
  if (s.Rec4844 && s.m_nConvKind == 1 && in.rate != 48000 && in.rate != 32000) {
    return "the high-precision conversion takes 48000 or 32000 Hz only, not " + rate;
  }
  return std::nullopt;
}

// ---------------------------------------------------------------------------
// The input seen as a track, with the capture side's measurements.

struct Measured {
  std::int32_t peak = 0;  // largest (level + 1) / 2 over 1024-frame buffers
  std::int32_t dcL = 0;   // channel means
  std::int32_t dcR = 0;
  ChannelRange rangeL;    // smallest and largest sample of each channel
  ChannelRange rangeR;
};

// The measurements, buffer by buffer: each 1024-frame buffer's span gives
// the peak, as the capture side finds it. A whole buffer is scanned by a
// loop of fixed length that the compiler turns into vector code.
class Meter {
 public:
  void Add(const std::uint8_t* bytes, std::size_t frames) {
    std::int16_t s[2 * kMeasureFrames];
    while (frames > 0) {
      const std::size_t n = std::min(frames, kMeasureFrames - m_inBuffer);
      std::memcpy(s, bytes, 4 * n);
      SamplesFromFile(s, 2 * n);
      if (n == kMeasureFrames) {
        Scan<kMeasureFrames>(s, kMeasureFrames);
      } else {
        Scan<0>(s, n);
      }
      bytes += 4 * n;
      frames -= n;
      m_frames += n;
      m_inBuffer += n;
      if (m_inBuffer == kMeasureFrames) EndBuffer();
    }
  }
  Measured Result() {
    if (m_inBuffer) EndBuffer();
    Measured m;
    m.peak = static_cast<std::int32_t>(m_peak);
    if (m_frames) {
      m.rangeL = ChannelRange{m_rangeMinL, m_rangeMaxL};
      m.rangeR = ChannelRange{m_rangeMinR, m_rangeMaxR};
      m.dcL = static_cast<std::int32_t>(m_sumL / static_cast<std::int64_t>(m_frames));
      m.dcR = static_cast<std::int32_t>(m_sumR / static_cast<std::int64_t>(m_frames));
    }
    return m;
  }

 private:
  // Frames of the current buffer (`Fixed` of them when not 0); the sums of
  // a buffer fit 32 bits.
  template <std::size_t Fixed>
  void Scan(const std::int16_t* s, std::size_t n) {
    std::int16_t minL = m_minL, maxL = m_maxL, minR = m_minR, maxR = m_maxR;
    std::int32_t sumL = 0, sumR = 0;
    for (std::size_t i = 0; i < (Fixed != 0 ? Fixed : n); ++i) {
      const std::int16_t l = s[2 * i], r = s[2 * i + 1];
      minL = std::min(minL, l);
      maxL = std::max(maxL, l);
      minR = std::min(minR, r);
      maxR = std::max(maxR, r);
      sumL += l;
      sumR += r;
    }
    m_minL = minL;
    m_maxL = maxL;
    m_minR = minR;
    m_maxR = maxR;
    m_sumL += sumL;
    m_sumR += sumR;
  }
  void EndBuffer() {
    const auto level = static_cast<std::uint32_t>(std::max(m_maxL - m_minL, m_maxR - m_minR));
    m_peak = std::max(m_peak, (level + 1) / 2);
    m_rangeMinL = std::min(m_rangeMinL, m_minL);
    m_rangeMaxL = std::max(m_rangeMaxL, m_maxL);
    m_rangeMinR = std::min(m_rangeMinR, m_minR);
    m_rangeMaxR = std::max(m_rangeMaxR, m_maxR);
    m_minL = m_minR = 32767;
    m_maxL = m_maxR = -32768;
    m_inBuffer = 0;
  }
  std::size_t m_inBuffer = 0;
  std::int16_t m_minL = 32767, m_maxL = -32768, m_minR = 32767, m_maxR = -32768;
  std::int16_t m_rangeMinL = 32767, m_rangeMaxL = -32768, m_rangeMinR = 32767, m_rangeMaxR = -32768;
  std::uint32_t m_peak = 0;
  std::int64_t m_sumL = 0, m_sumR = 0;
  std::uint64_t m_frames = 0;
};

// The track header the recorder would have written for the input's audio.
TrackSource SourceOf(const std::string& path, const WavInput& in) {
  TrackSource source;
  source.path = path;
  source.dataOffset = in.dataOffset;
  source.dataSize = in.dataSize;
  const int s = in.headerShortening;
  std::uint8_t* h = source.header;
  std::memcpy(h, "RIFF", 4);
  PutLe32(h + 4, in.dataSize + 38 - static_cast<std::uint32_t>(s));
  std::memcpy(h + 8, "WAVEfmt ", 8);
  PutLe32(h + 16, 18 - static_cast<std::uint32_t>(s));
  PutLe16(h + kFormatTagOffset, in.formatTag);
  PutLe16(h + kChannelsOffset, in.channels);
  PutLe32(h + kSampleRateOffset, in.rate);
  PutLe32(h + kByteRateOffset, in.byteRate);
  PutLe16(h + kBlockAlignOffset, in.blockAlign);
  PutLe16(h + kBitsOffset, in.bits);
  std::memcpy(h + 38 - s, "data", 4);
  PutLe32(h + DataSizeOffset(s), in.dataSize);
  return source;
}

// Only automatic normalization uses the measurements.
bool NeedsMeasurement(const RecorderSettings& s) { return s.RecNormalize && (s.NormalizeAuto || s.DcOffsetAuto); }

// Reads the input's samples once, measuring them.
bool Measure(int fd, const WavInput& in, Measured& measured) {
  Meter meter;
  std::vector<std::uint8_t> block(std::size_t{1} << 20);
  for (std::uint64_t done = 0; done < in.dataSize;) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), in.dataSize - done));
    if (!platform::ReadAt(fd, in.dataOffset + done, block.data(), n)) return false;
    meter.Add(block.data(), n / 4);
    done += n;
  }
  measured = meter.Result();
  return true;
}

// Puts the finished track in place under its final name in the same file
// system: the one sync of the conversion, then a rename, so no half file
// ever carries the name. The file gets the mode a new file of ours has.
bool Deliver(const std::string& track, const std::string& to, mode_t mode) {
  platform::UniqueFd fd(::open(track.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd || ::fchmod(fd.Get(), mode) != 0 || ::fsync(fd.Get()) != 0) return false;
  fd.Reset();
  if (::rename(track.c_str(), to.c_str()) != 0) return false;
  // The rename is done; a folder that cannot be synced does not undo it.
  const std::string folder = fs::path(to).parent_path().string();
  platform::UniqueFd dir(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir) static_cast<void>(::fsync(dir.Get()));
  return true;
}

// A private folder for the work files, inside the output folder so that the
// result is renamed into place, removed with everything in it.
class ScratchFolder {
 public:
  explicit ScratchFolder(const std::string& parent) {
    std::string pattern = (fs::path(parent) / ".mivo-convert-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) m_path = pattern;
  }
  ~ScratchFolder() {
    std::error_code ec;
    if (!m_path.empty()) fs::remove_all(m_path, ec);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const std::string& Path() const { return m_path; }

 private:
  std::string m_path;
};

// ---------------------------------------------------------------------------
// The terminal: the files' progress, their messages and their results.

// Where the processing of a file shows itself. `place` is the file's place
// in a batch (0 for a single file), `name` how it is called on the terminal.
class IConsole {
 public:
  virtual ~IConsole() = default;
  // The stage label, shown with the stage that follows it.
  virtual void Label(int place, const std::string& name, const std::string& label) = 0;
  // Percent of the whole file and of its stage.
  virtual void Progress(int place, const std::string& name, int percent, int stagePercent) = 0;
  // The file's progress is over.
  virtual void EndProgress(int place) = 0;
  // A line on standard error ("mivo-convert: " before it).
  virtual void Message(const std::string& text) = 0;
  // A result's path on standard output.
  virtual void Result(const std::string& path) = 0;
};

// Results are the first input's to claim: a later input may not overwrite
// the result of an earlier one.
class IOutputClaims {
 public:
  virtual ~IOutputClaims() = default;
  // -1 when `keys` (canonical result paths) are now this input's; the index
  // of the first one an earlier input holds; -2 when nobody answered.
  virtual int Claim(const std::vector<std::string>& keys) = 0;
};

class LocalClaims final : public IOutputClaims {
 public:
  int Claim(const std::vector<std::string>& keys) override {
    for (std::size_t i = 0; i < keys.size(); ++i) {
      if (m_taken.count(keys[i]) != 0) return static_cast<int>(i);
    }
    m_taken.insert(keys.begin(), keys.end());
    return -1;
  }

 private:
  std::set<std::string> m_taken;
};

// Terminal columns of UTF-8 text: two for the wide East Asian characters.
int Columns(char32_t c) {
  const bool wide = (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF) || (c >= 0xAC00 && c <= 0xD7A3) ||
                    (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
                    (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x20000 && c <= 0x3FFFD);
  return wide ? 2 : 1;
}

// The longest start of `text` that fits `width` columns, cut between
// characters.
std::string FitColumns(const std::string& text, int width) {
  int used = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t len = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    char32_t c = len == 1 ? lead : lead & (0x3F >> (len - 1));
    for (std::size_t k = 1; k < len && i + k < text.size(); ++k) c = (c << 6) | (text[i + k] & 0x3F);
    const int w = Columns(c);
    if (used + w > width) break;
    used += w;
    i += len;
  }
  return text.substr(0, i);
}

// The console of the terminal itself. A file at a time: a bar line per
// file (ended by its last state). Several at once: one line for all of
// them, redrawn in place. Without a terminal: the stage labels and each
// quarter of a file's progress as lines.
class TerminalConsole final : public IConsole {
 public:
  // `files`: how many files the combined line counts; 0 for a bar per file.
  explicit TerminalConsole(int files) : m_files(files), m_tty(::isatty(STDERR_FILENO) == 1) {}
  ~TerminalConsole() override {
    if (m_drawn) std::fputc('\n', stderr);
  }

  void Label(int place, const std::string& name, const std::string& label) override {
    State& f = File(place, name);
    f.label = label;
    if (!m_tty) std::fprintf(stderr, "%s: %s\n", name.c_str(), label.c_str());
  }
  void Progress(int place, const std::string& name, int percent, int stagePercent) override {
    State& f = File(place, name);
    f.percent = percent;
    f.stagePercent = stagePercent;
    f.active = true;
    if (m_tty) {
      Draw(&f);
    } else if (percent / 25 != f.lastPercent / 25 && percent > f.lastPercent) {
      std::fprintf(stderr, "%s: %d%%\n", name.c_str(), percent / 25 * 25);
    }
    f.lastPercent = percent;
  }
  void EndProgress(int place) override {
    State& f = File(place, std::string());
    if (!f.ended) ++m_ended;
    f.active = false;
    f.ended = true;
    if (m_files > 0) {
      if (m_tty) Draw(nullptr);
    } else {
      EndLine();
    }
  }
  void Message(const std::string& text) override {
    EndLine();
    Say(text);
    Redraw();
  }
  void Result(const std::string& path) override {
    EndLine();
    std::printf("%s\n", path.c_str());
    std::fflush(stdout);
    Redraw();
  }

 private:
  struct State {
    std::string name, label;
    int percent = 0, stagePercent = 0;
    int lastPercent = -1;
    bool active = false, ended = false;
  };

  State& File(int place, const std::string& name) {
    for (auto& [p, state] : m_states) {
      if (p == place) {
        if (!name.empty()) state.name = name;
        return state;
      }
    }
    m_states.push_back({place, State{}});
    m_states.back().second.name = name;
    return m_states.back().second;
  }

  // The bar line stops being redrawn in place: a bar of its own is ended
  // where it stands, the combined line is wiped (and drawn again after).
  void EndLine() {
    if (!m_drawn) return;
    std::fputs(m_files > 0 ? "\r\033[K" : "\n", stderr);
    m_drawn = false;
  }
  void Redraw() {
    if (m_files > 0 && m_tty && m_ended < m_files) Draw(nullptr);
  }

  // The bar of `f`, or the combined line.
  void Draw(const State* f) {
    std::string line;
    if (m_files == 0) {
      line = f->name + " " + Bar(f->percent, 30) + "  " + f->label + " " + Pad(f->stagePercent) + "%";
    } else {
      int sum = 0;
      for (const auto& [p, state] : m_states) sum += state.ended ? 100 : state.percent;
      const int percent = sum / m_files;
      line = Bar(percent, 20) + " (" + std::to_string(m_ended) + " of " + std::to_string(m_files) + " done)";
      for (const auto& [p, state] : m_states) {
        if (state.active) line += "  " + state.name + " " + state.label + " " + Pad(state.stagePercent) + "%";
      }
      line = FitColumns(line, TerminalWidth() - 1);
    }
    std::fprintf(stderr, "\r\033[K%s", line.c_str());
    std::fflush(stderr);
    m_drawn = true;
  }
  static std::string Pad(int percent) {
    std::string s = std::to_string(percent);
    return std::string(s.size() < 3 ? 3 - s.size() : 0, ' ') + s;
  }
  static std::string Bar(int percent, int width) {
    const int filled = percent * width / 100;
    return "[" + std::string(static_cast<std::size_t>(filled), '#') +
           std::string(static_cast<std::size_t>(width - filled), '-') + "] " + Pad(percent) + "%";
  }
  static int TerminalWidth() {
    winsize ws{};
    return ::ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 10 ? ws.ws_col : 80;
  }

  int m_files;
  bool m_tty;
  bool m_drawn = false;
  int m_ended = 0;
  std::vector<std::pair<int, State>> m_states;
};

// The file's progress as the recorder's worker computes it for its bars.
class TerminalProgress final : public IProgress {
 public:
  TerminalProgress(IConsole& console, int place, std::string name, const std::atomic<bool>& stop)
      : m_console(console), m_place(place), m_name(std::move(name)), m_stop(stop) {}
  ~TerminalProgress() override { Finish(); }

  void SetStageLabel(std::string_view text) override { m_console.Label(m_place, m_name, std::string(text)); }
  void BeginTrackProgress(const std::int32_t* weights, int count) override {
    m_weights.assign(weights, weights + std::max(count, 0));
    m_total = 0;
    for (std::int32_t w : m_weights) m_total += w;
    m_stage = -1;
    m_done = 0;
  }
  void BeginStage(std::int64_t units) override {
    if (m_stage >= 0) m_done += Weight(m_stage);
    ++m_stage;
    m_stageTotal = units > 0 ? units : 1;
    m_pos = 0;
    Draw(true);
  }
  void SetStagePos(std::int64_t units) override {
    m_pos = units;
    Draw(false);
  }
  void AdvanceStage(std::int64_t units) override { SetStagePos(m_pos + units); }
  bool Cancelled() const override { return m_stop.load(); }

  // The file's progress is over.
  void Finish() {
    if (m_shown) m_console.EndProgress(m_place);
    m_shown = false;
  }

 private:
  std::int64_t Weight(int i) const {
    return i >= 0 && i < static_cast<int>(m_weights.size()) ? m_weights[static_cast<std::size_t>(i)] : 0;
  }
  void Draw(bool force) {
    const std::int64_t stagePercent = std::min<std::int64_t>(100, m_pos * 100 / m_stageTotal);
    const std::int64_t track = m_done + std::min(m_pos, m_stageTotal) * Weight(m_stage) / m_stageTotal;
    const std::int64_t percent = m_total > 0 ? std::min<std::int64_t>(100, track * 100 / m_total) : 100;
    if (!force && percent == m_lastPercent && stagePercent == m_lastStagePercent) return;
    m_console.Progress(m_place, m_name, static_cast<int>(percent), static_cast<int>(stagePercent));
    m_shown = true;
    m_lastPercent = percent;
    m_lastStagePercent = stagePercent;
  }

  IConsole& m_console;
  int m_place;
  std::string m_name;
  const std::atomic<bool>& m_stop;
  bool m_shown = false;
  std::vector<std::int32_t> m_weights;
  std::int64_t m_total = 0, m_done = 0, m_stageTotal = 1, m_pos = 0;
  int m_stage = -1;
  std::int64_t m_lastPercent = -1, m_lastStagePercent = -1;
};

class TerminalReporter final : public IStepReporter {
 public:
  TerminalReporter(IConsole& console, std::string name, bool verbose)
      : m_console(console), m_name(std::move(name)), m_verbose(verbose) {}
  void StepFailed(std::string_view message) override {
    m_console.Message(m_name + ": " + std::string(message));
    if (message != kMp3Failed && message != kWmaFailed) m_bPassFailed = true;
  }
  // A sample pass failed: what came after it was made from a track that is
  // not what the settings ask for.
  bool PassFailed() const { return m_bPassFailed; }
  // Why a step failed, what an encoder changed.
  void Note(std::string_view line) override { m_console.Message(m_name + ": " + std::string(line)); }
  // How a step ran, with --verbose.
  void Detail(std::string_view line) override {
    if (m_verbose) m_console.Message(m_name + ": " + std::string(line));
  }

 private:
  IConsole& m_console;
  std::string m_name;
  bool m_verbose;
  bool m_bPassFailed = false;
};

// ---------------------------------------------------------------------------
// A batch: the first process and the ones it starts talk in lines of
// tab-separated fields, a tab, a newline and a backslash written as \t,
// \n and \\ inside a field.

std::string Escape(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

std::vector<std::string> Fields(std::string_view line) {
  std::vector<std::string> fields(1);
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '\t') {
      fields.emplace_back();
    } else if (c == '\\' && i + 1 < line.size()) {
      const char e = line[++i];
      fields.back() += e == 't' ? '\t' : e == 'n' ? '\n' : e;
    } else {
      fields.back() += c;
    }
  }
  return fields;
}

bool SendLine(int fd, const std::vector<std::string>& fields) {
  std::string line;
  for (const std::string& f : fields) line += (line.empty() ? "" : "\t") + Escape(f);
  line += '\n';
  return platform::WriteAll(fd, line);
}

// A file's process of a batch: everything goes to the first process over
// standard output, and the answers to its claims come on standard input.
class ParentLink final : public IConsole, public IOutputClaims {
 public:
  explicit ParentLink(const std::atomic<bool>& stop) : m_stop(stop) {}

  void Label(int place, const std::string& name, const std::string& label) override {
    Send({"L", std::to_string(place), name, label});
  }
  void Progress(int place, const std::string& name, int percent, int stagePercent) override {
    Send({"P", std::to_string(place), name, std::to_string(percent), std::to_string(stagePercent)});
  }
  void EndProgress(int place) override { Send({"E", std::to_string(place)}); }
  void Message(const std::string& text) override { Send({"M", text}); }
  void Result(const std::string& path) override { Send({"R", path}); }

  int Claim(const std::vector<std::string>& keys) override {
    std::vector<std::string> fields = {"C"};
    fields.insert(fields.end(), keys.begin(), keys.end());
    if (!SendLine(STDOUT_FILENO, fields)) return -2;
    // The answer comes once every earlier file has claimed its results.
    std::string answer;
    while (!m_stop.load()) {
      pollfd p{STDIN_FILENO, POLLIN, 0};
      const int r = ::poll(&p, 1, 100);
      if (r < 0 && errno != EINTR) return -2;
      if (r <= 0) continue;
      char c = 0;
      const ssize_t n = ::read(STDIN_FILENO, &c, 1);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return -2;
      if (c == '\n') {
        const auto index = Number(answer, 0, 1 << 20);
        return answer == "-1" ? -1 : index ? *index : -2;
      }
      answer += c;
    }
    return -2;
  }

 private:
  // A first process that is gone leaves nobody to tell: SIGPIPE ends this
  // one, as a stop would.
  void Send(const std::vector<std::string>& fields) { static_cast<void>(SendLine(STDOUT_FILENO, fields)); }

  const std::atomic<bool>& m_stop;
};

// ---------------------------------------------------------------------------
// The encoders.

// Message boxes of the encoders, told on the terminal instead.
class TerminalHost final : public ui::IDialogHost {
 public:
  int DoModal(ui::CDialog&, ui::IWindow*) override { return -1; }
  int MessageBox(std::string_view text, std::string_view caption, unsigned type) override {
    Say(std::string(caption) + ": " + std::string(text));
    return (type & ui::MB_TYPEMASK) == ui::MB_ABORTRETRYIGNORE ? ui::IDIGNORE : ui::IDOK;
  }
  std::optional<std::string> BrowseForFolder(ui::IWindow*, std::string_view, std::string_view) override {
    return std::nullopt;
  }
  void CancelModals() override {}
};

// The MP3 encoder library, loaded once for the run when it is there.
struct ToolLibraries {
  GogoDll gogo;
  bool gogoLoaded = false;
  TerminalHost host;
  ToolLibraries() { gogoLoaded = LoadGogoDll(gogo) == kGogoLoaded; }
  ~ToolLibraries() {
    if (gogoLoaded) FreeGogoDll(gogo);
  }
  ToolLibraries(const ToolLibraries&) = delete;
  ToolLibraries& operator=(const ToolLibraries&) = delete;
};

// The encoders of this build.
EncoderSteps ToolEncoders(ToolLibraries& libraries) {
  EncoderSteps steps;
  if (libraries.gogoLoaded) {
    steps.mp3 = [&libraries](const std::string& track, const std::string& out, const RecorderSettings& s,
                             IProgress& progress, IStepLog& log) {
      return EncodeMp3(libraries.gogo, libraries.host, track, out, s, progress, &log);
    };
  }
  steps.wma = [](const std::string& track, const std::string& out, int profile, bool useWma8, bool addIndex,
                 IProgress& progress, IStepLog& log) {
    return EncodeWma(track, out, profile, useWma8, addIndex, progress, {}, &log);
  };
  return steps;
}

// ---------------------------------------------------------------------------

struct Paths {
  std::string wav, mp3, wma;
};

bool SameFile(const std::string& a, const std::string& b) {
  std::error_code ec;
  if (fs::equivalent(a, b, ec) && !ec) return true;
  const fs::path ca = fs::weakly_canonical(a, ec);
  if (ec) return false;
  const fs::path cb = fs::weakly_canonical(b, ec);
  return !ec && ca == cb;
}

// The encoders' result files as they were before a file's processing, so
// that what the processing wrote can be taken back without touching a file
// it left alone.
class Before {
 public:
  Before(std::string mp3, std::string wma) {
    for (const std::string& path : {mp3, wma}) {
      if (path.empty()) continue;
      struct stat st {};
      const bool existed = ::stat(path.c_str(), &st) == 0;
      m_files.push_back(File{path, existed, st});
    }
  }
  void RemoveWritten() const {
    for (const File& f : m_files) {
      struct stat now {};
      if (::stat(f.path.c_str(), &now) != 0) continue;
      const bool same = f.existed && now.st_ino == f.st.st_ino && now.st_dev == f.st.st_dev &&
                        now.st_mtim.tv_sec == f.st.st_mtim.tv_sec && now.st_mtim.tv_nsec == f.st.st_mtim.tv_nsec &&
                        now.st_size == f.st.st_size;
      if (!same) static_cast<void>(::unlink(f.path.c_str()));
    }
  }

 private:
  struct File {
    std::string path;
    bool existed;
    struct stat st;
  };
  std::vector<File> m_files;
};

// What every file of a run shares.
struct RunSetup {
  RecorderSettings settings;
  std::string outDir;
  int threads = 1;        // of each file's high-precision conversion
  bool verbose = false;
  mode_t fileMode = 0644;  // of a new file: 0666 less the umask
};

class Converter {
 public:
  Converter(const RunSetup& setup, const std::atomic<bool>& stop, ToolLibraries& libraries, IConsole& console,
            IOutputClaims& claims)
      : m_setup(setup), m_stop(stop), m_console(console), m_claims(claims),
        m_processor(ToolEncoders(libraries), TrackProcessorOptions{.syncToDisk = false,
                                                                   .writeResultEarly = setup.settings.RecWav,
                                                                   .preciseThreads = setup.threads}) {}

  // True when the input was processed without a failed step. `place` is
  // its place in a batch of `count` files.
  bool Convert(const std::string& input, int place, int count) {
    const std::string suffix =
        count > 1 ? " (" + std::to_string(place) + " of " + std::to_string(count) + ")" : std::string();
    const std::string name = fs::path(input).filename().string() + suffix;
    auto refuse = [&](const std::string& why) {
      m_console.Message(input + suffix + ": " + why);
      return false;
    };
    // A FIFO or device would block the open or the reads for ever.
    std::string why;
    platform::UniqueFd fd = platform::OpenRegularFile(input, &why);
    if (!fd) return refuse(why == "not a regular file" ? why : "cannot open: " + why);
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0) return refuse(std::string("cannot open: ") + std::strerror(errno));
    WavInput in;
    if (auto why = Inspect(fd.Get(), static_cast<std::uint64_t>(st.st_size), in)) return refuse(*why);

    const std::string& outDir = m_setup.outDir;
    RecorderSettings s = m_setup.settings;
    s.RecFolder = outDir;
    s.m_nSleepBeforProcess = 0;  // no capture to leave room for here
    std::string rateNote;
    if (auto why = CheckRate(in, s, rateNote)) return refuse(*why);
    if (!rateNote.empty()) m_console.Message(name + ": " + rateNote);

    // The track is named like the input, so the outputs are too.
    const std::string stem = fs::path(input).stem().string();
    ScratchFolder scratch(outDir);
    if (scratch.Path().empty()) return refuse("cannot create a work folder in " + outDir + ": " + std::strerror(errno));
    const std::string track = scratch.Path() + "/" + stem + ".wav";
    Paths out;
    if (s.RecWav) out.wav = (fs::path(outDir) / (stem + ".wav")).string();
    if (s.RecMp3) out.mp3 = Mp3OutputPath(track, s);
    if (s.RecWma) out.wma = WmaOutputPath(track, s);
    std::vector<std::string> keys;
    std::vector<const std::string*> named;
    for (const std::string* p : {&out.wav, &out.mp3, &out.wma}) {
      if (p->empty()) continue;
      if (SameFile(*p, input)) return refuse("the result " + *p + " would overwrite the input; choose another folder with -o");
      std::error_code ec;
      const std::string key = fs::weakly_canonical(*p, ec).string();
      keys.push_back(ec ? *p : key);
      named.push_back(p);
    }
    const int taken = m_claims.Claim(keys);
    if (taken == -2) return refuse("interrupted; nothing more written");
    if (taken >= 0) return refuse("the result " + *named[static_cast<std::size_t>(taken)] +
                                  " would overwrite the result of an earlier input");
    if (out.wav.empty() && out.mp3.empty() && out.wma.empty()) return refuse("no output enabled (RecWav, RecMp3, RecWma)");

    // The first pass reads the input where it is.
    const TrackSource source = SourceOf(input, in);
    Measured m;
    if (NeedsMeasurement(s) && !Measure(fd.Get(), in, m)) return refuse(std::string("cannot read: ") + std::strerror(errno));
    fd.Reset();

    TerminalProgress progress(m_console, place, name, m_stop);
    TerminalReporter reporter(m_console, name, m_setup.verbose);
    const auto start = static_cast<std::int64_t>(st.st_mtim.tv_sec);
    const QueueEntry entry{track,   m.peak, start, m.dcL, m.dcR, static_cast<std::int32_t>(in.rate),
                           in.headerShortening, m.rangeL, m.rangeR};
    const Before before{out.mp3, out.wma};
    const TrackOutcome outcome = m_processor.Process(entry, s, progress, reporter, nullptr, &source);
    progress.Finish();
    if (outcome.cancelled || m_stop.load()) return refuse("interrupted; nothing more written");
    if (reporter.PassFailed()) {
      // The encoders took the track as it was before the failed pass: none
      // of it is the result asked for.
      before.RemoveWritten();
      return refuse("a processing step failed; no result written");
    }

    // A failed encoder has left no output of its own; the others are whole.

    bool ok = outcome.failedSteps == 0;
    if (!out.wav.empty()) {
      if (Deliver(track, out.wav, m_setup.fileMode)) {
        if (s.ChangeTimestamp) static_cast<void>(SetTrackTimestamp(out.wav, start));
        m_console.Result(out.wav);
      } else {
        m_console.Message(input + ": cannot write " + out.wav + ": " + std::strerror(errno));
        ok = false;
      }
    }
    for (const std::string* p : {&out.mp3, &out.wma}) {
      std::error_code ec;
      if (!p->empty() && fs::exists(*p, ec)) m_console.Result(*p);
    }
    return ok;
  }

 private:
  const RunSetup& m_setup;
  const std::atomic<bool>& m_stop;
  IConsole& m_console;
  IOutputClaims& m_claims;
  const TrackProcessor m_processor;
};

// ---------------------------------------------------------------------------
// The first process of a batch: one process per file, at most `jobs` at
// once, in the order of the inputs. It shows what they report and answers
// their claims in the order of the inputs.

class Batch {
 public:
  Batch(const Options& o, std::string config, const RunSetup& setup, int jobs, const std::atomic<bool>& stop)
      : m_o(o), m_config(std::move(config)), m_setup(setup), m_jobs(jobs), m_stop(stop),
        m_console(static_cast<int>(o.inputs.size())), m_files(o.inputs.size()) {}

  // The number of files that failed, or -1 when stopped.
  int Run() {
    const int count = static_cast<int>(m_o.inputs.size());
    int next = 0, running = 0, failed = 0;
    bool stopping = false;
    std::chrono::steady_clock::time_point killAt{};
    for (;;) {
      while (!stopping && running < m_jobs && next < count) {
        if (Start(next)) {
          ++running;
        } else {
          ++failed;
        }
        ++next;
      }
      AnswerClaims();
      if (running == 0 && (stopping || next == count)) break;
      if (m_stop.load() && !stopping) {
        // Each file's process stops between blocks and removes its work.
        stopping = true;
        killAt = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        for (File& f : m_files) f.child.Signal(SIGTERM);
      }
      if (stopping && std::chrono::steady_clock::now() > killAt) {
        for (File& f : m_files) f.child.Signal(SIGKILL);
      }
      std::vector<pollfd> watched;
      std::vector<File*> owners;
      for (File& f : m_files) {
        if (f.child.Running() && f.child.Output() >= 0) {
          watched.push_back(pollfd{f.child.Output(), POLLIN, 0});
          owners.push_back(&f);
        }
      }
      const int r = ::poll(watched.data(), watched.size(), 100);
      if (r < 0 && errno != EINTR) break;
      for (std::size_t i = 0; r > 0 && i < watched.size(); ++i) {
        if (watched[i].revents == 0) continue;
        if (Read(*owners[i])) continue;
        // Its output ended: the process is ending.
        File& f = *owners[i];
        f.child.CloseOutput();
        int status = 1;
        if (!f.child.WaitFor(std::chrono::seconds(10), status)) {
          f.child.Signal(SIGKILL);
          static_cast<void>(f.child.WaitFor(std::chrono::seconds(10), status));
        }
        f.ended = true;
        m_console.EndProgress(f.place);
        if (status != 0) ++failed;
        --running;
      }
    }
    return stopping ? -1 : failed;
  }

 private:
  struct File {
    int place = 0;
    platform::ChildProcess child;
    std::string received;  // an unfinished line
    bool started = false, ended = false, claimed = false;
    bool asks = false;  // waits for the answer to `claim`
    std::vector<std::string> claim;
  };

  bool Start(int index) {
    File& f = m_files[static_cast<std::size_t>(index)];
    f.place = index + 1;
    f.started = true;
    const std::string& input = m_o.inputs[static_cast<std::size_t>(index)];
    std::vector<std::string> args = {"mivo-convert"};
    std::error_code ec;
    if (fs::exists(m_config, ec)) args.insert(args.end(), {"--config", m_config});
    args.insert(args.end(), {"-o", m_setup.outDir, "--threads", std::to_string(m_setup.threads), "--batch-file",
                             std::to_string(f.place), std::to_string(m_o.inputs.size())});
    if (m_setup.verbose) args.push_back("-v");
    args.insert(args.end(), {"--", input});
    std::string why;
    if (f.child.Start("/proc/self/exe", args, &why)) return true;
    m_console.Message(input + ": cannot start a process for it: " + why);
    f.ended = true;
    m_console.EndProgress(f.place);
    return false;
  }

  // Takes what the file's process wrote; false at its end.
  bool Read(File& f) {
    char buffer[4096];
    const ssize_t n = ::read(f.child.Output(), buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
    if (n <= 0) return false;
    f.received.append(buffer, static_cast<std::size_t>(n));
    std::size_t end;
    while ((end = f.received.find('\n')) != std::string::npos) {
      Dispatch(f, Fields(std::string_view(f.received).substr(0, end)));
      f.received.erase(0, end + 1);
    }
    return true;
  }

  void Dispatch(File& f, const std::vector<std::string>& m) {
    const std::string& kind = m[0];
    auto number = [&](std::size_t i) { return i < m.size() ? Number(m[i], 0, 1 << 30).value_or(0) : 0; };
    auto text = [&](std::size_t i) { return i < m.size() ? m[i] : std::string(); };
    if (kind == "L") {
      m_console.Label(f.place, text(2), text(3));
    } else if (kind == "P") {
      m_console.Progress(f.place, text(2), number(3), number(4));
    } else if (kind == "E") {
      m_console.EndProgress(f.place);
    } else if (kind == "M") {
      m_console.Message(text(1));
    } else if (kind == "R") {
      m_console.Result(text(1));
    } else if (kind == "C") {
      f.claim.assign(m.begin() + 1, m.end());
      f.asks = true;
    }
  }

  // The claims in the order of the inputs: a file's answer waits until
  // every earlier file has claimed or ended.
  void AnswerClaims() {
    while (m_nextClaim < m_files.size()) {
      File& f = m_files[m_nextClaim];
      if (!f.started) return;
      if (f.asks) {
        const std::string answer = std::to_string(m_claims.Claim(f.claim)) + "\n";
        static_cast<void>(platform::WriteAll(f.child.Input(), answer));
        f.asks = false;
        f.claimed = true;
      } else if (!f.ended && !f.claimed) {
        return;
      }
      ++m_nextClaim;
    }
  }

  const Options& m_o;
  std::string m_config;
  const RunSetup& m_setup;
  int m_jobs;
  const std::atomic<bool>& m_stop;
  TerminalConsole m_console;
  LocalClaims m_claims;
  std::vector<File> m_files;
  std::size_t m_nextClaim = 0;
};

int Main(int argc, char** argv) {
  // Ctrl-C and SIGTERM stop the work between blocks, so that no temporary
  // file is left behind; taken on a thread of their own.
  // A second signal ends the program at once, wherever it waits (a
  // terminal or pipe that takes no more output, a file system that hangs).
  std::atomic<bool> stop{false};
  platform::TerminationWatcher watcher;
  static_cast<void>(watcher.Start([&stop](int signo) {
    if (stop.exchange(true)) {
      static const char kText[] = "mivo-convert: stopped at once by a second signal\n";
      static_cast<void>(::write(STDERR_FILENO, kText, sizeof kText - 1));
      ::_exit(128 + signo);
    }
  }));

  const Options o = ParseArgs(argc, argv);
  if (!o.error.empty()) {
    Say(o.error);
    std::fputs("Try 'mivo-convert --help'.\n", stderr);
    return kExitUsage;
  }
  if (o.help) {
    std::fputs(UsageText().c_str(), stdout);
    return kExitOk;
  }
  if (o.version) {
    std::printf("mivo-convert (Mivo) %s\n", MIVO_VERSION);
    return kExitOk;
  }
  const bool batchFile = o.batchPlace != 0;
  // A file's process of a batch ends with the first process.
  if (batchFile) static_cast<void>(::prctl(PR_SET_PDEATHSIG, SIGTERM));

  std::string config = o.config;
  if (config.empty()) config = platform::DefaultSettingsPath(platform::ExecutableFolder());
  std::error_code ec;
  if (!fs::exists(config, ec)) {
    if (!o.config.empty()) {
      Say("no settings file " + config);
      return kExitUsage;
    }
    if (!batchFile) Say("no settings file at " + config + "; using the default settings");
  }
  RunSetup setup;
  setup.settings.Load(config);
  setup.verbose = o.verbose;
  const mode_t mask = ::umask(0);
  ::umask(mask);
  setup.fileMode = 0666 & ~mask;

  // A relative RecFolder lies where the settings file says; -o is taken
  // from the current folder.
  std::string outDir = o.outDir.empty() ? setup.settings.FilesFolder(setup.settings.RecFolder) : o.outDir;
  if (const fs::path absolute = fs::absolute(outDir, ec); !ec) outDir = absolute.string();
  if (!o.outDir.empty() && !fs::exists(outDir, ec)) {
    // A folder named with -o is made, with the folders above it.
    fs::create_directories(outDir, ec);
    if (ec) {
      Say("cannot create the output folder " + outDir + ": " + ec.message());
      return kExitFailed;
    }
    Say("created the output folder " + outDir);
  }
  if (!fs::is_directory(outDir, ec)) {
    Say("the output folder " + outDir + " does not exist");
    return kExitUsage;
  }
  setup.outDir = outDir;

  // Files at once, and the processors each file's high-precision
  // conversion gets: together they use each processor once.
  const int count = static_cast<int>(o.inputs.size());
  const int processors = platform::ProcessorCount();
  const int jobs = batchFile ? 1 : std::min(o.jobs > 0 ? o.jobs : processors, count);
  setup.threads = o.threads > 0 ? o.threads : std::max(1, processors / jobs);

  if (jobs > 1) {
    // Writing to a file's process that has ended must not end this one.
    static_cast<void>(::signal(SIGPIPE, SIG_IGN));
    Batch batch(o, config, setup, jobs, stop);
    const int failed = batch.Run();
    if (failed < 0 || stop.load()) return kExitFailed;
    if (failed) Say(std::to_string(failed) + " of " + std::to_string(count) + " files failed");
    return failed ? kExitFailed : kExitOk;
  }

  ToolLibraries libraries;
  if (batchFile) {
    ParentLink link(stop);
    Converter converter(setup, stop, libraries, link, link);
    const bool ok = converter.Convert(o.inputs[0], o.batchPlace, o.batchSize);
    return ok && !stop.load() ? kExitOk : kExitFailed;
  }
  TerminalConsole console(0);
  LocalClaims claims;
  Converter converter(setup, stop, libraries, console, claims);
  int failed = 0;
  for (int i = 0; i < count; ++i) {
    if (stop.load()) break;
    if (!converter.Convert(o.inputs[static_cast<std::size_t>(i)], i + 1, count)) ++failed;
  }
  if (stop.load()) return kExitFailed;
  if (failed) Say(std::to_string(failed) + " of " + std::to_string(count) + " files failed");
  return failed ? kExitFailed : kExitOk;
}

}  // namespace
}  // namespace mivo

int main(int argc, char** argv) { return mivo::Main(argc, argv); }
