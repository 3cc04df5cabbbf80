#include "convert/window_progress.h"

#include "settings/recorder_ids.h"

namespace mivo {
namespace {

// A bar position; the bar shows anything beyond its range at its end.
int BarPos(std::int64_t v) {
  constexpr std::int64_t kMax = 0x7FFFFFFF;
  return static_cast<int>(v > kMax ? kMax : (v < -kMax ? -kMax : v));
}

}  // namespace

void WindowProgress::SetStageLabel(std::string_view text) { m_window.SetDlgItemText(IDC_STAGE_LABEL, text); }

void WindowProgress::BeginTrackProgress(const std::int32_t* weights, int count) {
  m_weights.assign(weights, weights + (count > 0 ? count : 0));
  std::int64_t sum = 0;
  for (std::int32_t w : m_weights) sum += w;
  // The bar's range is a 16-bit value, as the window's control takes it.
  const int high = static_cast<int>(static_cast<std::uint64_t>(sum) & 0xFFFFu);
  m_window.SetProgressPos(IDC_TRACK_PROGRESS, 0);
  m_window.SetProgressRange(IDC_TRACK_PROGRESS, 0, high);
  m_nStage = -1;
  m_nDoneWeight = 0;
}

std::int64_t WindowProgress::WeightOf(int index) const {
  if (index < 0 || index >= static_cast<int>(m_weights.size())) return 0;
  return m_weights[static_cast<std::size_t>(index)];
}

void WindowProgress::BeginStage(std::int64_t units) {
  m_nStageTotal = units > 0 ? units : 1;
  ++m_nStage;
  m_nStagePos = 0;
  m_nLastPercent = 0;
  m_window.SetProgressPos(IDC_STAGE_PROGRESS, 0);
  m_nDoneWeight = m_nStage == 0 ? 0 : m_nDoneWeight + WeightOf(m_nStage - 1);
}

void WindowProgress::SetStagePos(std::int64_t units) {
  // 64-bit products: units are frames or blocks of a track of any length.
  const std::int64_t percent = units * 100 / m_nStageTotal;
  const std::int64_t weighted = units * WeightOf(m_nStage) / m_nStageTotal;
  if (percent != m_nLastPercent) {
    m_window.SetProgressPos(IDC_STAGE_PROGRESS, BarPos(percent));
    m_nLastPercent = percent;
    m_window.SetProgressPos(IDC_TRACK_PROGRESS, BarPos(m_nDoneWeight + weighted));
  }
  m_nStagePos = units;
}

void WindowProgress::AdvanceStage(std::int64_t units) { SetStagePos(m_nStagePos + units); }

}  // namespace mivo
