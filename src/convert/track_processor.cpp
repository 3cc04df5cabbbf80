#include "convert/track_processor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <thread>

#include "convert/journal_recovery.h"
#include "convert/sample_passes.h"
#include "convert/window_progress.h"
#include "platform/ui/dialog.h"

namespace mivo {
namespace {

// Failure messages as message boxes without an owner; each blocks only the
// worker until it is dismissed (or closes itself: see WorkerBoxes). Notes go to the debug log and to standard
// error.
class BoxReporter final : public IStepReporter {
 public:
  BoxReporter(IWorkerWindow& window, const std::string& track) : m_window(window), m_track(track) {}
  void StepFailed(std::string_view message) override {
    m_window.Host().MessageBox(message, ui::kAppTitle, ui::MB_OK | ui::MB_ICONEXCLAMATION);
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
  const TrackOutcome outcome = Process(entry, settings, progress, reporter, window.Ledger());
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

bool TrackProcessor::Fault(FaultPoint point) const { return m_options.fault && m_options.fault(point); }

bool TrackProcessor::WriteOutput(const QueueEntry& entry, TrackStep step, const std::string& target,
                                 const std::function<bool(const std::string&)>& encode, IStepLedger* ledger) const {
  if (ledger == nullptr) return encode(target);
  // With a journal the encoder writes beside the output, and its result is
  // renamed into place once the journal knows it (queue_journal.h).
  ReplaceIntent intent{target + ".tmp", target, {}, {}};
  RemoveLeftovers(intent.temp);
  ledger->OutputBegun(entry, step, intent);
  bool ok = encode(intent.temp);
  if (ok) {
    const platform::UniqueFd fd(::open(intent.temp.c_str(), O_RDONLY | O_CLOEXEC));
    ok = fd && (!m_options.syncToDisk || ::fsync(fd.Get()) == 0) && platform::FileIdOf(fd.Get(), &intent.tempId) &&
         !Fault(FaultPoint::BeforeReplace);
  }
  if (ok) {
    ledger->Replacing(entry, step, true, intent);
    ok = ::rename(intent.temp.c_str(), target.c_str()) == 0;
  }
  if (!ok) {
    RemoveLeftovers(intent.temp);
    return false;
  }
  // An output whose rename may not outlive a power cut does not count as
  // written: the track stays.
  if (m_options.syncToDisk && !platform::SyncFolderOf(target)) return false;
  static_cast<void>(Fault(FaultPoint::Replaced));
  return true;
}

TrackOutcome TrackProcessor::Process(const QueueEntry& entry, const RecorderSettings& settings, IProgress& progress,
                                     IStepReporter& reporter, IStepLedger* ledger,
                                     const TrackSource* source) const {
  TrackOutcome outcome;
  const std::string& track = entry.file;
  const StepsDone done = ledger != nullptr ? ledger->Done(entry) : StepsDone{};
  const int headerShortening = entry.headerShortening == 2 ? 2 : 0;
  const std::string mp3Path = Mp3OutputPath(track, settings);
  const std::string wmaPath = WmaOutputPath(track, settings);

  // The work of each step: a pass rewrites the track through its context,
  // an output writes the file it is given.
  auto normalize = [&](const PassContext& ctx) {
    const std::int32_t dcL = settings.DcOffsetAuto ? entry.dcL : settings.DcOffsetLevelL;
    const std::int32_t dcR = settings.DcOffsetAuto ? entry.dcR : settings.DcOffsetLevelR;
    const std::int32_t level = settings.NormalizeAuto ? NormalizeAutoLevel(entry, dcL, dcR) : settings.NormalizeLevel2;
    // A fixed level of 0 or less (a hand-edited file) would only remove the
    // offsets while the track passed for normalized.
    if (!settings.NormalizeAuto && level <= 0) {
      reporter.Note("normalization of " + track + " refused: NormalizeLevel2=" + std::to_string(level) +
                    " (a fixed level is 1 to 32768)");
      return false;
    }
    return NormalizeWav(track, level, dcL, dcR, ctx);
  };
  auto deEmphasis = [&](const PassContext& ctx) {
    // The filter's corner belongs to the rate the track was captured at.
    const DeEmphasisParams params{static_cast<double>(entry.sampleRate), settings.m_dblWavLim,
                                  settings.m_dblWavLimSet, settings.m_bOrgsave};
    return DeEmphasisWav(track, params, ctx);
  };
  auto resample = [&](const PassContext& ctx) {
    if (settings.m_nConvKind == 0) return Resample4844Linear(track, ctx);
    if (settings.m_nConvKind == 1) return Resample4844Precise(track, settings.m_nFs44Precision, 0.0, 0, 44100, ctx);
    return true;  // another kind converts nothing
  };
  auto mp3 = [&](const std::string& out) {
    if (!m_steps.mp3) reporter.Note("MP3 output of " + track + " failed: no MP3 encoder library is loaded");
    return m_steps.mp3 && m_steps.mp3(track, out, settings, progress, reporter);
  };
  auto wma = [&](const std::string& out) {
    if (!m_steps.wma) reporter.Note("WMA output of " + track + " failed: this build has no WMA encoder");
    const WmaSetting& w = settings.m_WmaSetting;
    return m_steps.wma && m_steps.wma(track, out, WmaProfileNumber(w), w.bUseWMA8, w.bAddIndex, progress, reporter);
  };

  // Every step in its order. A step of either kind is one line here.
  struct Step {
    TrackStep id;
    bool enabled;
    bool staged;  // has a stage on the track bar
    std::string_view failed;
    std::function<bool(const PassContext&)> pass;
    std::string* outputPath = nullptr;  // outputs: where outcome keeps their file
    std::string target;
    std::function<bool(const std::string&)> output;
  };
  const bool resampling = settings.m_nConvKind == 0 || settings.m_nConvKind == 1;
  const Step steps[] = {
      {TrackStep::Normalize, settings.RecNormalize, true, kNormalizeFailed, normalize},
      {TrackStep::DeEmphasis, settings.RecDeEmphasis, true, kDeEmphasisFailed, deEmphasis},
      {TrackStep::Resample, settings.Rec4844, resampling, kResampleFailed, resample},
      {TrackStep::Mp3, settings.RecMp3, true, kMp3Failed, {}, &outcome.mp3Path, mp3Path, mp3},
      {TrackStep::Wma, settings.RecWma, true, kWmaFailed, {}, &outcome.wmaPath, wmaPath, wma},
  };

  const Step* lastPass = nullptr;
  for (const Step& st : steps) {
    if (st.enabled && st.pass) lastPass = &st;
  }

  std::int32_t weights[std::size(steps)];
  int count = 0;
  for (const Step& st : steps) {
    if (st.enabled && st.staged && !done.Ended(st.id)) weights[count++] = 256;
    // An output that failed in an earlier run left the track the only copy.
    if (st.output && done.Failed(st.id)) outcome.outputFailed = true;
  }
  progress.BeginTrackProgress(weights, count);

  // Until a pass has written the track, the passes read the source.
  const TrackSource* pending = source;
  // No pass wrote the track: it is the source as it is, copied before the
  // encoders read it.
  auto materialize = [&] {
    if (pending == nullptr) return true;
    PassContext ctx{progress, headerShortening, m_options.syncToDisk, m_options.fault, {}};
    ctx.source = pending;
    if (!CopyTrackFromSource(track, ctx)) {
      if (progress.Cancelled()) {
        outcome.cancelled = true;
      } else {
        ++outcome.failedSteps;
        outcome.outputFailed = true;
        reporter.Note("cannot write " + track + " from " + pending->path);
      }
      return false;
    }
    pending = nullptr;
    return true;
  };

  for (const Step& st : steps) {
    if (!st.enabled) continue;
    if (st.output && !materialize()) return outcome;
    if (st.outputPath != nullptr) *st.outputPath = st.target;
    if (done.Ended(st.id)) continue;  // in an earlier run
    Pause(settings, progress);
    if (progress.Cancelled()) {
      outcome.cancelled = true;
      return outcome;
    }
    bool ok = false;
    if (st.output) {
      ok = WriteOutput(entry, st.id, st.target, st.output, ledger);
    } else {
      PassContext ctx{progress, headerShortening, m_options.syncToDisk, m_options.fault, {}};
      ctx.threads = m_options.preciseThreads;
      ctx.writeEarly = m_options.writeResultEarly && &st == lastPass;
      ctx.preciseTables = m_tables.get();
      ctx.log = &reporter;
      ctx.source = pending;
      if (ledger != nullptr) {
        ctx.beforeReplace = [&](const ReplaceIntent& intent) { ledger->Replacing(entry, st.id, false, intent); };
      }
      ok = st.pass(ctx);
      // The first pass that succeeds has written the track: the rest read it.
      if (ok) pending = nullptr;
    }
    // Once the program is ending, the rest of the track is left as it is,
    // without messages; a failed step is told and the next one runs.
    if (!ok && progress.Cancelled()) {
      outcome.cancelled = true;
      return outcome;
    }
    if (!ok) {
      ++outcome.failedSteps;
      // A failed output leaves the track as the only complete copy of the
      // recording: it is kept.
      if (st.output) outcome.outputFailed = true;
      reporter.StepFailed(st.failed);
    }
    if (ledger != nullptr) ledger->StepEnded(entry, st.id, !ok);
  }
  if (!materialize()) return outcome;
  // Made from a source, the track is a work file: the source stays.
  if (outcome.outputFailed && !settings.RecWav && source == nullptr) {
    reporter.Note(track + " is kept although WAV output is off: an output step failed");
  }

  // A time stamp that cannot be set is not reported.
  if (ledger != nullptr) ledger->Finishing(entry);
  if (settings.ChangeTimestamp) {
    const std::int64_t start = entry.startTime;
    if (settings.RecWav) static_cast<void>(SetTrackTimestamp(track, start));
    if (settings.RecMp3) static_cast<void>(SetTrackTimestamp(mp3Path, start));
    if (settings.RecWma) static_cast<void>(SetTrackTimestamp(wmaPath, start));
  }
  return outcome;
}

}  // namespace mivo
