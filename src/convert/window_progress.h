// The worker's progress shown in the recorder window: bar 1022 over the
// stages of the track, bar 1018 over the running stage (0 … 100 %) and the
// stage's name in static 1050. Called on the worker thread; the window
// applies the calls on its own thread in the order they were made.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "convert/progress.h"
#include "platform/ui/window.h"

namespace mivo {

class WindowProgress final : public IProgress {
 public:
  // `stop` (may be null) is the worker's stop request, seen as Cancelled().
  WindowProgress(ui::IWindow& window, const std::atomic<bool>* stop) : m_window(window), m_stop(stop) {}

  void SetStageLabel(std::string_view text) override;
  void BeginTrackProgress(const std::int32_t* weights, int count) override;
  void BeginStage(std::int64_t units) override;
  void SetStagePos(std::int64_t units) override;
  void AdvanceStage(std::int64_t units) override;
  bool Cancelled() const override { return m_stop != nullptr && m_stop->load(); }

 private:
  std::int64_t WeightOf(int index) const;

  ui::IWindow& m_window;
  const std::atomic<bool>* m_stop;
  std::vector<std::int32_t> m_weights;
  int m_nStage = -1;
  std::int64_t m_nDoneWeight = 0;
  std::int64_t m_nStageTotal = 1;
  std::int64_t m_nStagePos = 0;
  std::int64_t m_nLastPercent = 0;
};

}  // namespace mivo
