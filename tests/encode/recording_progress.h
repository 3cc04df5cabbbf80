// A progress sink that records what an encoder reports.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "convert/progress.h"

namespace mivo::testing {

class RecordingProgress final : public IProgress {
 public:
  void SetStageLabel(std::string_view text) override { events.push_back("label " + std::string(text)); }
  void BeginTrackProgress(const std::int32_t* /*weights*/, int /*count*/) override {}
  void BeginStage(std::int64_t units) override {
    stageUnits = units;
    events.push_back("begin " + std::to_string(units));
  }
  void SetStagePos(std::int64_t /*units*/) override {}
  void AdvanceStage(std::int64_t units) override {
    advanced += units;
    ++advances;
  }
  bool Cancelled() const override { return cancelAfter >= 0 && advances >= cancelAfter; }

  std::vector<std::string> events;  // labels and stage starts, in order
  std::int64_t stageUnits = -1;
  std::int64_t advanced = 0;
  int advances = 0;
  int cancelAfter = -1;  // report Cancelled after this many advances
};

}  // namespace mivo::testing
