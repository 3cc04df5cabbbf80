// Progress of the track being converted: a track bar over all its stages
// and a stage bar, with the stage's name. Used on the worker thread by the
// worker, the sample passes and the encoders.
#pragma once

#include <cstdint>
#include <string_view>

namespace mivo {

class IProgress {
 public:
  virtual ~IProgress() = default;
  virtual void SetStageLabel(std::string_view text) = 0;
  virtual void BeginTrackProgress(const std::int32_t* weights, int count) = 0;
  virtual void BeginStage(std::int64_t units) = 0;
  virtual void SetStagePos(std::int64_t units) = 0;
  virtual void AdvanceStage(std::int64_t units) = 0;
  // True when the program is ending: a long step should stop, leaving its
  // input as it was, and report failure.
  virtual bool Cancelled() const { return false; }
};

// Lines for the record beside the progress: what a step changed on its own
// (an encoder taking the nearest value it allows) and why a step failed
// (the system's error, the file). Called on the worker thread.
class IStepLog {
 public:
  virtual ~IStepLog() = default;
  virtual void Note(std::string_view line) = 0;
  // How a step ran (the kernel and threads it chose): for the debug log
  // and a verbose terminal only, nowhere else.
  virtual void Detail(std::string_view line) { static_cast<void>(line); }
};

}  // namespace mivo
