#include "convert/track_processor.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <thread>

#include "convert/sample_passes.h"
#include "convert/window_progress.h"
#include "platform/ui/dialog.h"

namespace mivo {
namespace {

// Failure messages as message boxes without an owner; each blocks only the
// worker until it is dismissed. Notes go to the debug log and to standard
// error.
class BoxReporter final : public IStepReporter {
 public:
  BoxReporter(IWorkerWindow& window, const std::string& track) : m_window(window), m_track(track) {}
  void StepFailed(std::string_view message) override {
    m_window.Host().MessageBox(message, ui::kDefaultCaption, ui::MB_OK | ui::MB_ICONEXCLAMATION);
  }
  void Note(std::string_view line) override {
    m_window.LogLine(line);
    std::fprintf(stderr, "mivo: %.*s\n", static_cast<int>(line.size()), line.data());
  }
  // The debug log only, after the track's path as its track line has it.
  void Detail(std::string_view line) override { m_window.LogLine(m_track + "  " + std::string(line)); }

 private:
  IWorkerWindow& m_window;
  const std::string& m_track;
};

std::string Mp3Extension(const GogoSetting& gogo) {
  if (gogo.bOutFileExp != 0) return std::string(gogo.pszOutFileExp, strnlen(gogo.pszOutFileExp, sizeof gogo.pszOutFileExp));
  switch (gogo.dwOutFmt) {
    case 1: return ".wav";
    case 2: return ".rmp";
    default: return ".mp3";
  }
}

// The folder RecFolder names + base name, with exactly one "/" between them.
std::string OutputStem(const std::string& track, const RecorderSettings& settings) {
  std::string base = TrackBaseName(track);
  const std::string folder = settings.FilesFolder(settings.RecFolder);
  const bool folderSlash = !folder.empty() && folder.back() == '/';
  const bool baseSlash = !base.empty() && base.front() == '/';
  if (folderSlash && baseSlash) return folder + base.substr(1);
  if (!folderSlash && !baseSlash && !folder.empty()) return folder + "/" + base;
  return folder + base;
}

}  // namespace

std::string TrackBaseName(const std::string& track) {
  const auto slash = track.rfind('/');
  const std::size_t from = slash == std::string::npos ? 0 : slash;
  const auto dot = track.rfind('.');
  const std::size_t to = (dot == std::string::npos || dot < from) ? track.size() : dot;
  return track.substr(from, to - from);
}

std::string Mp3OutputPath(const std::string& track, const RecorderSettings& settings) {
  return OutputStem(track, settings) + Mp3Extension(settings.m_GogoSetting);
}

std::string WmaOutputPath(const std::string& track, const RecorderSettings& settings) {
  return OutputStem(track, settings) + ".wma";
}

int WmaProfileNumber(const WmaSetting& wma) {
  if (wma.nProfileIndex != 0) return wma.nProfileIndex - 1;
  return wma.bUseWMA8 ? 22 : 9;
}

bool SetTrackTimestamp(const std::string& path, std::int64_t startTime) {
  static_assert(sizeof(std::time_t) >= 8, "time stamps after 2038 need a 64-bit time_t");
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;
  struct timespec times[2] {};
  times[0].tv_nsec = UTIME_OMIT;  // access time as it was
  times[1].tv_sec = static_cast<std::time_t>(startTime);
  times[1].tv_nsec = 0;
  return ::utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

std::int32_t NormalizeAutoLevel(const QueueEntry& entry, std::int32_t dcLeft, std::int32_t dcRight) {
  auto distance = [](ChannelRange r, std::int64_t offset) {
    return std::max<std::int64_t>(r.max - offset, offset - r.min);
  };
  const std::int64_t level = std::max(distance(entry.rangeL, dcLeft), distance(entry.rangeR, dcRight));
  return static_cast<std::int32_t>(std::min<std::int64_t>(level, INT32_MAX));
}

TrackResult TrackProcessor::ProcessTrack(const QueueEntry& entry, IWorkerWindow& window) {
  const RecorderSettings settings = window.SettingsSnapshot();
  WindowProgress progress(window.Window(), m_stop);
  BoxReporter reporter(window, entry.file);
  const TrackOutcome outcome = Process(entry, settings, progress, reporter);
  return TrackResult{outcome.outputFailed || outcome.cancelled};
}

void TrackProcessor::Pause(const RecorderSettings& settings, const IProgress& progress) const {
  if (settings.m_nSleepBeforProcess <= 0) return;
  const auto ms = static_cast<unsigned>(settings.m_nSleepBeforProcess) * 1000u;
  if (m_options.sleep) {
    m_options.sleep(ms);
    return;
  }
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!progress.Cancelled() && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

TrackOutcome TrackProcessor::Process(const QueueEntry& entry, const RecorderSettings& settings,
                                     IProgress& progress, IStepReporter& reporter,
                                     const TrackSource* source) const {
  TrackOutcome outcome;
  const std::string& track = entry.file;
  const bool resample = settings.Rec4844 && (settings.m_nConvKind == 0 || settings.m_nConvKind == 1);

  std::int32_t weights[5];
  int count = 0;
  for (bool on : {settings.RecNormalize, settings.RecDeEmphasis, resample, settings.RecMp3, settings.RecWma}) {
    if (on) weights[count++] = 256;
  }
  progress.BeginTrackProgress(weights, count);

  const int headerShortening = entry.headerShortening == 2 ? 2 : 0;
  PassContext ctx{progress, headerShortening, m_options.syncToDisk, m_options.fault};
  ctx.threads = m_options.preciseThreads;
  ctx.preciseTables = m_tables.get();
  ctx.log = &reporter;
  // Until a pass has written the track, the passes read the source.
  ctx.source = source;
  // A failed step is told and the next one runs; once the program is
  // ending, the rest of the track is left as it is, without messages.
  auto step = [&](bool ok, std::string_view message) {
    if (ok) {
      ctx.source = nullptr;
      return true;
    }
    if (progress.Cancelled()) {
      outcome.cancelled = true;
      return false;
    }
    ++outcome.failedSteps;
    reporter.StepFailed(message);
    return true;
  };
  auto pause = [&] {
    Pause(settings, progress);
    if (progress.Cancelled()) outcome.cancelled = true;
    return !outcome.cancelled;
  };

  if (settings.RecNormalize) {
    if (!pause()) return outcome;
    const std::int32_t dcL = settings.DcOffsetAuto ? entry.dcL : settings.DcOffsetLevelL;
    const std::int32_t dcR = settings.DcOffsetAuto ? entry.dcR : settings.DcOffsetLevelR;
    const std::int32_t level = settings.NormalizeAuto ? NormalizeAutoLevel(entry, dcL, dcR) : settings.NormalizeLevel2;
    if (!step(NormalizeWav(track, level, dcL, dcR, ctx), kNormalizeFailed)) return outcome;
  }
  if (settings.RecDeEmphasis) {
    if (!pause()) return outcome;
    // The filter's corner belongs to the rate the track was captured at.
    const DeEmphasisParams params{static_cast<double>(entry.sampleRate), settings.m_dblWavLim,
                                  settings.m_dblWavLimSet, settings.m_bOrgsave};
    if (!step(DeEmphasisWav(track, params, ctx), kDeEmphasisFailed)) return outcome;
  }
  if (settings.Rec4844) {
    if (!pause()) return outcome;
    if (settings.m_nConvKind == 0) {
      if (!step(Resample4844Linear(track, ctx), kResampleFailed)) return outcome;
    } else if (settings.m_nConvKind == 1) {
      const bool ok = Resample4844Precise(track, settings.m_nFs44Precision, 0.0, 0, 44100, ctx);
      if (!step(ok, kResampleFailed)) return outcome;
    }
  }

  if (ctx.source != nullptr) {
    // No pass wrote the track: it is the source as it is.
    if (!CopyTrackFromSource(track, ctx)) {
      if (progress.Cancelled()) {
        outcome.cancelled = true;
      } else {
        ++outcome.failedSteps;
        outcome.outputFailed = true;
        reporter.Note("cannot write " + track + " from " + ctx.source->path);
      }
      return outcome;
    }
    ctx.source = nullptr;
  }

  // An output step that fails leaves the track as the only complete copy of
  // the recording: it is kept, and the cause is noted.
  auto output = [&](bool ok, std::string_view message) {
    if (!ok && !progress.Cancelled()) outcome.outputFailed = true;
    return step(ok, message);
  };
  const std::string mp3Path = Mp3OutputPath(track, settings);
  const std::string wmaPath = WmaOutputPath(track, settings);
  if (settings.RecMp3) {
    if (!pause()) return outcome;
    outcome.mp3Path = mp3Path;
    if (!m_steps.mp3) reporter.Note("MP3 output of " + track + " failed: no MP3 encoder library is loaded");
    const bool ok = m_steps.mp3 && m_steps.mp3(track, mp3Path, settings, progress, reporter);
    if (!output(ok, kMp3Failed)) return outcome;
  }
  if (settings.RecWma) {
    if (!pause()) return outcome;
    outcome.wmaPath = wmaPath;
    if (!m_steps.wma) reporter.Note("WMA output of " + track + " failed: this build has no WMA encoder");
    const WmaSetting& wma = settings.m_WmaSetting;
    const bool ok = m_steps.wma && m_steps.wma(track, wmaPath, WmaProfileNumber(wma), wma.bUseWMA8,
                                               wma.bAddIndex, progress);
    if (!output(ok, kWmaFailed)) return outcome;
  }
  if (outcome.outputFailed && !settings.RecWav) {
    reporter.Note(track + " is kept although WAV output is off: an output step failed");
  }

  // A time stamp that cannot be set is not reported.
  if (settings.ChangeTimestamp) {
    const std::int64_t start = entry.startTime;
    if (settings.RecWav) static_cast<void>(SetTrackTimestamp(track, start));
    if (settings.RecMp3) static_cast<void>(SetTrackTimestamp(mp3Path, start));
    if (settings.RecWma) static_cast<void>(SetTrackTimestamp(wmaPath, start));
  }
  return outcome;
}

}  // namespace mivo
