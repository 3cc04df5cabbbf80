// mivo-convert: the recorder's processing of a finished track, run on WAV
// files named on the command line, with the settings of mivo.ini.
//
// Each input is first checked and copied, as a track file, into a private
// temporary folder; its peak and channel means are measured on the way as
// the capture side measures them. The worker's processing then runs on the
// copy, and the results go to RecFolder (or -o DIR). The input itself is
// never written, renamed or deleted.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "convert/sample_passes.h"
#include "convert/track_processor.h"
#include "encode/gogo_dll.h"
#include "encode/wma_encoder.h"
#include "platform/process/paths.h"
#include "platform/process/regular_file.h"
#include "platform/process/signals.h"
#include "platform/process/unique_fd.h"
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

void Say(const std::string& text) { std::fprintf(stderr, "mivo-convert: %s\n", text.c_str()); }

std::string UsageText() {
  return "Usage: mivo-convert [--config FILE] [-o DIR] FILE.wav...\n"
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
         "  --help          show this help and exit\n"
         "  --version       show the version and exit\n"
         "\n"
         "An input already at 44100 Hz is not resampled; its other steps still run.\n"
         "A missing DIR is created.\n"
         "\n"
         "Exit status: 0 when every file was processed, 1 when any file failed\n"
         "or was refused, 2 for a usage error.\n";
}

struct Options {
  bool help = false;
  bool version = false;
  std::string config;
  std::string outDir;
  std::vector<std::string> inputs;
  std::string error;
};

Options ParseArgs(int argc, char** argv) {
  Options o;
  bool onlyFiles = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](std::string& into) {
      if (i + 1 >= argc) {
        o.error = arg + " needs a value";
        return;
      }
      into = argv[++i];
    };
    if (onlyFiles || arg.empty() || arg[0] != '-' || arg == "-") {
      o.inputs.push_back(arg);
    } else if (arg == "--") {
      onlyFiles = true;
    } else if (arg == "--help" || arg == "-h") {
      o.help = true;
    } else if (arg == "--version") {
      o.version = true;
    } else if (arg == "--config") {
      value(o.config);
    } else if (arg == "-o" || arg == "--output") {
      value(o.outDir);
    } else {
      o.error = "unknown option " + arg;
    }
    if (!o.error.empty()) return o;
  }
  if (!o.help && !o.version && o.inputs.empty()) o.error = "no input files";
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
// The copy in track form, with the capture side's measurements.

struct Measured {
  std::int32_t peak = 0;  // largest (level + 1) / 2 over 1024-frame buffers
  std::int32_t dcL = 0;   // channel means
  std::int32_t dcR = 0;
  ChannelRange rangeL;    // smallest and largest sample of each channel
  ChannelRange rangeR;
};

class Meter {
 public:
  void Add(const std::uint8_t* frames, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
      const auto l = static_cast<std::int16_t>(GetLe16(frames + 4 * i));
      const auto r = static_cast<std::int16_t>(GetLe16(frames + 4 * i + 2));
      if (m_frames == 0) {
        m_rangeL = ChannelRange{l, l};
        m_rangeR = ChannelRange{r, r};
      }
      m_rangeL = ChannelRange{std::min(m_rangeL.min, l), std::max(m_rangeL.max, l)};
      m_rangeR = ChannelRange{std::min(m_rangeR.min, r), std::max(m_rangeR.max, r)};
      if (m_inBuffer == 0) {
        m_minL = m_maxL = l;
        m_minR = m_maxR = r;
      }
      m_minL = std::min<std::int32_t>(m_minL, l);
      m_maxL = std::max<std::int32_t>(m_maxL, l);
      m_minR = std::min<std::int32_t>(m_minR, r);
      m_maxR = std::max<std::int32_t>(m_maxR, r);
      m_sumL += l;
      m_sumR += r;
      ++m_frames;
      if (++m_inBuffer == kMeasureFrames) EndBuffer();
    }
  }
  Measured Result() {
    if (m_inBuffer) EndBuffer();
    Measured m;
    m.peak = static_cast<std::int32_t>(m_peak);
    m.rangeL = m_rangeL;
    m.rangeR = m_rangeR;
    if (m_frames) {
      m.dcL = static_cast<std::int32_t>(m_sumL / static_cast<std::int64_t>(m_frames));
      m.dcR = static_cast<std::int32_t>(m_sumR / static_cast<std::int64_t>(m_frames));
    }
    return m;
  }

 private:
  void EndBuffer() {
    const std::uint32_t level = static_cast<std::uint32_t>(std::max(m_maxL - m_minL, m_maxR - m_minR));
    m_peak = std::max(m_peak, (level + 1) / 2);
    m_inBuffer = 0;
  }
  std::size_t m_inBuffer = 0;
  std::int32_t m_minL = 0, m_maxL = 0, m_minR = 0, m_maxR = 0;
  ChannelRange m_rangeL, m_rangeR;
  std::uint32_t m_peak = 0;
  std::int64_t m_sumL = 0, m_sumR = 0;
  std::uint64_t m_frames = 0;
};

bool WriteTrackCopy(int inFd, const WavInput& in, const std::string& path, Measured& measured) {
  platform::UniqueFd out(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!out) return false;
  const int s = in.headerShortening;
  std::uint8_t h[kTrackHeaderMax] = {};
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
  if (!platform::WriteAll(out.Get(), std::string_view(reinterpret_cast<const char*>(h), TrackHeaderSize(s)))) return false;

  Meter meter;
  std::vector<std::uint8_t> block(1 << 20);
  for (std::uint64_t done = 0; done < in.dataSize;) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), in.dataSize - done));
    if (!ReadInputAt(inFd, in.dataOffset + done, block.data(), n) ||
        !platform::WriteAll(out.Get(), std::string_view(reinterpret_cast<const char*>(block.data()), n))) {
      return false;
    }
    meter.Add(block.data(), n / 4);
    done += n;
  }
  measured = meter.Result();
  return ::close(out.Release()) == 0;
}

// Copies a finished result into the output folder: written beside its
// final name, synced, then renamed over it, so no half file ever carries it.
bool Deliver(const std::string& from, const std::string& to) {
  const std::string temp = to + ".tmp";
  platform::UniqueFd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
  if (!in) return false;
  if (::unlink(temp.c_str()) != 0 && errno != ENOENT) return false;
  platform::UniqueFd out(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
  if (!out) return false;
  std::vector<std::uint8_t> block(1 << 20);
  bool ok = true;
  for (;;) {
    const ssize_t n = ::read(in.Get(), block.data(), block.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    const std::string_view got(reinterpret_cast<const char*>(block.data()), static_cast<std::size_t>(n));
    if (!platform::WriteAll(out.Get(), got)) {
      ok = false;
      break;
    }
  }
  ok = ok && ::fsync(out.Get()) == 0;
  ok = ::close(out.Release()) == 0 && ok;
  ok = ok && ::rename(temp.c_str(), to.c_str()) == 0;
  if (!ok) static_cast<void>(::unlink(temp.c_str()));
  return ok;
}

// A private folder for the copies, removed with everything in it.
class ScratchFolder {
 public:
  ScratchFolder() {
    std::error_code ec;
    std::string pattern = (fs::temp_directory_path(ec) / "mivo-convert-XXXXXX").string();
    if (!ec && ::mkdtemp(pattern.data()) != nullptr) m_path = pattern;
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
// The terminal: a progress bar and the steps' failure messages.

class TerminalProgress final : public IProgress {
 public:
  TerminalProgress(std::string name, const std::atomic<bool>& stop)
      : m_name(std::move(name)), m_stop(stop), m_tty(::isatty(STDERR_FILENO) == 1) {}
  ~TerminalProgress() override { Finish(); }

  void SetStageLabel(std::string_view text) override {
    // Shown with the stage that follows it.
    m_label = std::string(text);
    if (!m_tty) std::fprintf(stderr, "%s: %s\n", m_name.c_str(), m_label.c_str());
  }
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

  // Ends the bar's line.
  void Finish() {
    if (m_tty && m_drawn) std::fputc('\n', stderr);
    m_drawn = false;
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
    if (m_tty) {
      constexpr int kWidth = 30;
      const int filled = static_cast<int>(percent * kWidth / 100);
      std::fprintf(stderr, "\r\033[K%s [%.*s%.*s] %3d%%  %s %3d%%", m_name.c_str(), filled,
                   "##############################", kWidth - filled, "------------------------------",
                   static_cast<int>(percent), m_label.c_str(), static_cast<int>(stagePercent));
      std::fflush(stderr);
      m_drawn = true;
    } else if (percent / 25 != m_lastPercent / 25 && percent > m_lastPercent) {
      std::fprintf(stderr, "%s: %d%%\n", m_name.c_str(), static_cast<int>(percent / 25 * 25));
    }
    m_lastPercent = percent;
    m_lastStagePercent = stagePercent;
  }

  std::string m_name;
  const std::atomic<bool>& m_stop;
  bool m_tty;
  bool m_drawn = false;
  std::string m_label;
  std::vector<std::int32_t> m_weights;
  std::int64_t m_total = 0, m_done = 0, m_stageTotal = 1, m_pos = 0;
  int m_stage = -1;
  std::int64_t m_lastPercent = -1, m_lastStagePercent = -1;
};

class TerminalReporter final : public IStepReporter {
 public:
  TerminalReporter(std::string name, TerminalProgress& progress) : m_name(std::move(name)), m_progress(progress) {}
  void StepFailed(std::string_view message) override {
    m_progress.Finish();
    Say(m_name + ": " + std::string(message));
    if (message != kMp3Failed && message != kWmaFailed) m_bPassFailed = true;
  }
  // A sample pass failed: what came after it was made from a track that is
  // not what the settings ask for.
  bool PassFailed() const { return m_bPassFailed; }
  // Why a step failed, what an encoder changed.
  void Note(std::string_view line) override {
    m_progress.Finish();
    Say(m_name + ": " + std::string(line));
  }

 private:
  std::string m_name;
  TerminalProgress& m_progress;
  bool m_bPassFailed = false;
};

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
                 IProgress& progress) { return EncodeWma(track, out, profile, useWma8, addIndex, progress); };
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

class Converter {
 public:
  Converter(RecorderSettings settings, std::string outDir, const std::atomic<bool>& stop, ToolLibraries& libraries)
      : m_settings(std::move(settings)), m_outDir(std::move(outDir)), m_stop(stop),
        m_steps(ToolEncoders(libraries)) {}

  // True when the input was processed without a failed step. `place` is
  // "n of m" in a batch, empty for a single file.
  bool Convert(const std::string& input, const std::string& place) {
    const std::string suffix = place.empty() ? std::string() : " (" + place + ")";
    const std::string name = fs::path(input).filename().string() + suffix;
    auto refuse = [&](const std::string& why) {
      Say(input + suffix + ": " + why);
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

    RecorderSettings s = m_settings;
    s.RecFolder = m_outDir;
    s.m_nSleepBeforProcess = 0;  // no capture to leave room for here
    std::string rateNote;
    if (auto why = CheckRate(in, s, rateNote)) return refuse(*why);

    if (!rateNote.empty()) Say(name + ": " + rateNote);

    // The copy is named like the input, so the outputs are too.
    const std::string stem = fs::path(input).stem().string();
    ScratchFolder scratch;
    if (scratch.Path().empty()) return refuse("cannot create a temporary folder");
    const std::string track = scratch.Path() + "/" + stem + ".wav";
    Paths out;
    if (s.RecWav) out.wav = (fs::path(m_outDir) / (stem + ".wav")).string();
    if (s.RecMp3) out.mp3 = Mp3OutputPath(track, s);
    if (s.RecWma) out.wma = WmaOutputPath(track, s);
    for (const std::string* p : {&out.wav, &out.mp3, &out.wma}) {
      if (p->empty()) continue;
      if (SameFile(*p, input)) return refuse("the result " + *p + " would overwrite the input; choose another folder with -o");
      std::error_code ec;
      const std::string key = fs::weakly_canonical(*p, ec).string();
      if (!m_written.insert(ec ? *p : key).second) {
        return refuse("the result " + *p + " would overwrite the result of an earlier input");
      }
    }
    if (out.wav.empty() && out.mp3.empty() && out.wma.empty()) return refuse("no output enabled (RecWav, RecMp3, RecWma)");

    Measured m;
    if (!WriteTrackCopy(fd.Get(), in, track, m)) return refuse("cannot copy the input to " + scratch.Path());
    fd.Reset();

    TerminalProgress progress(name, m_stop);
    TerminalReporter reporter(name, progress);
    const TrackProcessor processor(m_steps);
    const auto start = static_cast<std::int64_t>(st.st_mtim.tv_sec);
    const QueueEntry entry{track,   m.peak, start, m.dcL, m.dcR, static_cast<std::int32_t>(in.rate),
                           in.headerShortening, m.rangeL, m.rangeR};
    const Before before{out.mp3, out.wma};
    const TrackOutcome outcome = processor.Process(entry, s, progress, reporter);
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
      if (Deliver(track, out.wav)) {
        if (s.ChangeTimestamp) static_cast<void>(SetTrackTimestamp(out.wav, start));
        std::printf("%s\n", out.wav.c_str());
      } else {
        Say(input + ": cannot write " + out.wav + ": " + std::strerror(errno));
        ok = false;
      }
    }
    for (const std::string* p : {&out.mp3, &out.wma}) {
      std::error_code ec;
      if (!p->empty() && fs::exists(*p, ec)) std::printf("%s\n", p->c_str());
    }
    std::fflush(stdout);
    return ok;
  }

 private:
  RecorderSettings m_settings;
  std::string m_outDir;
  const std::atomic<bool>& m_stop;
  EncoderSteps m_steps;
  std::set<std::string> m_written;
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

  std::string config = o.config;
  if (config.empty()) config = platform::DefaultSettingsPath(platform::ExecutableFolder());
  std::error_code ec;
  if (!fs::exists(config, ec)) {
    if (!o.config.empty()) {
      Say("no settings file " + config);
      return kExitUsage;
    }
    Say("no settings file at " + config + "; using the default settings");
  }
  RecorderSettings settings;
  settings.Load(config);

  // A relative RecFolder lies where the settings file says; -o is taken
  // from the current folder.
  std::string outDir = o.outDir.empty() ? settings.FilesFolder(settings.RecFolder) : o.outDir;
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

  ToolLibraries libraries;
  Converter converter(settings, outDir, stop, libraries);
  int failed = 0;
  const std::size_t count = o.inputs.size();
  for (std::size_t i = 0; i < count; ++i) {
    if (stop.load()) break;
    const std::string place = count > 1 ? std::to_string(i + 1) + " of " + std::to_string(count) : std::string();
    if (!converter.Convert(o.inputs[i], place)) ++failed;
  }
  if (stop.load()) return kExitFailed;
  if (failed) Say(std::to_string(failed) + " of " + std::to_string(o.inputs.size()) + " files failed");
  return failed ? kExitFailed : kExitOk;
}

}  // namespace
}  // namespace mivo

int main(int argc, char** argv) { return mivo::Main(argc, argv); }
