#include "convert/track_processor.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "convert/sample_passes.h"
#include "convert/window_progress.h"
#include "platform/ui/dialog.h"

namespace mivo {
namespace {

// Failure messages as message boxes without an owner; each blocks only the
// worker until it is dismissed.
class BoxReporter final : public IStepReporter {
 public:
  explicit BoxReporter(ui::IDialogHost& host) : m_host(host) {}
  void StepFailed(std::string_view message) override {
    m_host.MessageBox(message, ui::kDefaultCaption, ui::MB_OK | ui::MB_ICONEXCLAMATION);
  }

 private:
  ui::IDialogHost& m_host;
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

bool SetTrackTimestamp(const std::string& path, std::time_t startTime) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;
  struct timespec times[2] {};
  times[0].tv_nsec = UTIME_OMIT;  // access time as it was
  times[1].tv_sec = startTime;
  times[1].tv_nsec = 0;
  return ::utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

void TrackProcessor::ProcessTrack(const QueueEntry& entry, int headerShortening, IWorkerWindow& window) {
  const RecorderSettings settings = window.SettingsSnapshot();
  WindowProgress progress(window.Window(), m_stop);
  BoxReporter reporter(window.Host());
  Process(entry, headerShortening, settings, progress, reporter);
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

TrackOutcome TrackProcessor::Process(const QueueEntry& entry, int headerShortening,
                                     const RecorderSettings& settings, IProgress& progress,
                                     IStepReporter& reporter) const {
  TrackOutcome outcome;
  const std::string& track = entry.file;
  const bool resample = settings.Rec4844 && (settings.m_nConvKind == 0 || settings.m_nConvKind == 1);

  std::int32_t weights[5];
  int count = 0;
  for (bool on : {settings.RecNormalize, settings.RecDeEmphasis, resample, settings.RecMp3, settings.RecWma}) {
    if (on) weights[count++] = 256;
  }
  progress.BeginTrackProgress(weights, count);

  const PassContext ctx{progress, headerShortening, m_options.syncToDisk, m_options.fault};
  // A failed step is told and the next one runs; once the program is
  // ending, the rest of the track is left as it is, without messages.
  auto step = [&](bool ok, std::string_view message) {
    if (ok) return true;
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
    const std::int32_t level = settings.NormalizeAuto ? entry.peak : settings.NormalizeLevel2;
    const std::int32_t dcL = settings.DcOffsetAuto ? entry.dcL : settings.DcOffsetLevelL;
    const std::int32_t dcR = settings.DcOffsetAuto ? entry.dcR : settings.DcOffsetLevelR;
    if (!step(NormalizeWav(track, level, dcL, dcR, ctx), kNormalizeFailed)) return outcome;
  }
  if (settings.RecDeEmphasis) {
    if (!pause()) return outcome;
    const DeEmphasisParams params{static_cast<double>(settings.RecSamplesPerSec), settings.m_dblWavLim,
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

  const std::string mp3Path = Mp3OutputPath(track, settings);
  const std::string wmaPath = WmaOutputPath(track, settings);
  if (settings.RecMp3) {
    if (!pause()) return outcome;
    outcome.mp3Path = mp3Path;
    const bool ok = m_steps.mp3 && m_steps.mp3(track, mp3Path, settings, progress);
    if (!step(ok, kMp3Failed)) return outcome;
  }
  if (settings.RecWma) {
    if (!pause()) return outcome;
    outcome.wmaPath = wmaPath;
    const WmaSetting& wma = settings.m_WmaSetting;
    const bool ok = m_steps.wma && m_steps.wma(track, wmaPath, WmaProfileNumber(wma), wma.bUseWMA8,
                                               wma.bAddIndex, progress);
    if (!step(ok, kWmaFailed)) return outcome;
  }

  // A time stamp that cannot be set is not reported.
  if (settings.ChangeTimestamp) {
    const std::time_t start = entry.startTime;
    if (settings.RecWav) static_cast<void>(SetTrackTimestamp(track, start));
    if (settings.RecMp3) static_cast<void>(SetTrackTimestamp(mp3Path, start));
    if (settings.RecWma) static_cast<void>(SetTrackTimestamp(wmaPath, start));
  }
  return outcome;
}

}  // namespace mivo
