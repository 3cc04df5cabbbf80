// The processing of one queued track: the sample passes and the encoders
// that are enabled, in their fixed order, with the progress of each and a
// message for each step that fails.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "convert/conversion_worker.h"
#include "convert/progress.h"
#include "convert/resample_precise.h"
#include "convert/step_ledger.h"
#include "convert/track_rewrite.h"
#include "settings/recorder_settings.h"

namespace mivo {

// The encoders, supplied by the application (they live in their own
// library). A step that is not there fails as an encoder error would.
struct EncoderSteps {
  // MP3 (or the encoder's WAV or RMP form): track → output path. What the
  // encoder changed, or why it failed, goes to `log`.
  std::function<bool(const std::string& track, const std::string& out, const RecorderSettings& settings,
                     IProgress& progress, IStepLog& log)>
      mp3;
  // WMA with the profile number and the two flags of the WMA settings. Why
  // it failed, when the encoder can tell, goes to `log`.
  std::function<bool(const std::string& track, const std::string& out, int profile, bool useWma8,
                     bool addIndex, IProgress& progress, IStepLog& log)>
      wma;
};

// Where a step's failure is told: a message box in the recorder, the
// terminal in mivo-convert. StepFailed returns once the user has seen it.
// Notes go to the recorder's debug log and standard error, or the terminal.
class IStepReporter : public IStepLog {
 public:
  virtual void StepFailed(std::string_view message) = 0;
};

// The messages of the failed steps.
inline constexpr std::string_view kNormalizeFailed = "WAV正規化中にエラーが発生しました";
inline constexpr std::string_view kDeEmphasisFailed = "ディエンファシス中にエラーが発生しました";
inline constexpr std::string_view kResampleFailed = "サンプリングレート変換中にエラーが発生しました";
inline constexpr std::string_view kMp3Failed = "エンコード中にエラーが発生しました";
inline constexpr std::string_view kWmaFailed = "WMAエンコード中にエラーが発生しました";

// What became of one track.
struct TrackOutcome {
  int failedSteps = 0;     // how many steps failed
  bool outputFailed = false;  // the MP3 or the WMA step failed: the track is the only copy
  bool cancelled = false;  // the stop request cut the track short
  std::string mp3Path;     // output paths of the encoders that ran
  std::string wmaPath;
};

// The part of the track path from its last "/" (included) to its last "."
// (excluded): "/music001" for ".../music001.wav".
std::string TrackBaseName(const std::string& track);
// RecFolder + base name + the extension of the MP3 encoder's output form.
std::string Mp3OutputPath(const std::string& track, const RecorderSettings& settings);
std::string WmaOutputPath(const std::string& track, const RecorderSettings& settings);

// Sets the file's modification time to `startTime`, leaving its access time
// as it was. False when the file cannot be found or changed.
bool SetTrackTimestamp(const std::string& path, std::int64_t startTime);

// The level of automatic normalization: the largest distance of any sample
// of the track from the offset removed from its channel, found from each
// channel's smallest and largest sample. Scaling it to full scale takes no
// sample of any waveform, symmetric or not, past full scale.
std::int32_t NormalizeAutoLevel(const QueueEntry& entry, std::int32_t dcLeft, std::int32_t dcRight);

struct TrackProcessorOptions {
  // The pause before each enabled step (m_nSleepBeforProcess seconds).
  // Unset: a real sleep that ends early on the stop request.
  std::function<void(unsigned ms)> sleep;
  bool syncToDisk = true;
  // The track is synced by the caller once processed: the last pass starts
  // writing it to the disk early (see PassContext::writeEarly).
  bool writeResultEarly = false;
  FaultHook fault;  // tests only
  // Threads of the high-precision conversion: 0 one per processor. They
  // run at the priority of the thread that processes the track.
  int preciseThreads = 0;
};

class TrackProcessor final : public ITrackProcessor {
 public:
  using Options = TrackProcessorOptions;

  TrackProcessor() : m_tables(std::make_shared<PreciseTableCache>()) {}
  explicit TrackProcessor(EncoderSteps steps, Options options = {})
      : m_steps(std::move(steps)), m_options(std::move(options)), m_tables(std::make_shared<PreciseTableCache>()) {}

  // The recorder's worker: the settings as the window last published them,
  // progress on the window's bars, failures in message boxes.
  // A track whose output step failed is kept whatever RecWav says.
  TrackResult ProcessTrack(const QueueEntry& entry, IWorkerWindow& window) override;
  void WatchStopRequest(const std::atomic<bool>* stop) override { m_stop = stop; }

  // The processing itself, for any front end. The track is read as the
  // entry says it was written (capture rate, header form). With a ledger,
  // the steps that ended in an earlier run are skipped and every step is
  // recorded as it goes (the recorder's queue journal). With a `source`
  // the track does not exist yet: the first sample pass that succeeds reads
  // the source and creates it, and when none does the source is copied to
  // it before the encoders run. The source is never changed.
  TrackOutcome Process(const QueueEntry& entry, const RecorderSettings& settings, IProgress& progress,
                       IStepReporter& reporter, IStepLedger* ledger = nullptr,
                       const TrackSource* source = nullptr) const;

 private:
  void Pause(const RecorderSettings& settings, const IProgress& progress) const;
  bool Fault(FaultPoint point) const;
  // Runs an output step: with a ledger through a temporary file put in
  // place by a recorded rename.
  bool WriteOutput(const QueueEntry& entry, TrackStep step, const std::string& target,
                   const std::function<bool(const std::string&)>& encode, IStepLedger* ledger) const;

  EncoderSteps m_steps;
  Options m_options;
  // The high-precision filter's tables, built once for all tracks.
  std::shared_ptr<PreciseTableCache> m_tables;
  const std::atomic<bool>* m_stop = nullptr;
};

}  // namespace mivo
