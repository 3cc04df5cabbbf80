#include "convert/conversion_queue.h"

namespace mivo {

std::size_t ConversionQueue::Append(const QueueEntry& entry) {
  std::size_t length = 0;
  {
    std::lock_guard lock(m_mtxQueue);
    m_arrQueueFile.push_back(entry.file);
    m_arrQueuePeak.push_back(entry.peak);
    m_arrQueueStartTime.push_back(entry.startTime);
    m_arrQueueDcL.push_back(entry.dcL);
    m_arrQueueDcR.push_back(entry.dcR);
    m_arrQueueSampleRate.push_back(entry.sampleRate);
    m_arrQueueHeaderShortening.push_back(entry.headerShortening);
    m_arrQueueRangeL.push_back(entry.rangeL);
    m_arrQueueRangeR.push_back(entry.rangeR);
    length = m_arrQueueFile.size();
  }
  if (length == 1) m_evQueue.Pulse();
  return length;
}

std::size_t ConversionQueue::Length() {
  std::lock_guard lock(m_mtxQueue);
  return m_arrQueueFile.size();
}

QueueEntry ConversionQueue::EntryLocked(std::size_t i) const {
  return QueueEntry{m_arrQueueFile.at(i),          m_arrQueuePeak.at(i),     m_arrQueueStartTime.at(i),
                    m_arrQueueDcL.at(i),           m_arrQueueDcR.at(i),      m_arrQueueSampleRate.at(i),
                    m_arrQueueHeaderShortening.at(i), m_arrQueueRangeL.at(i), m_arrQueueRangeR.at(i)};
}

void ConversionQueue::PopFrontLocked() {
  m_arrQueueFile.erase(m_arrQueueFile.begin());
  m_arrQueuePeak.erase(m_arrQueuePeak.begin());
  m_arrQueueStartTime.erase(m_arrQueueStartTime.begin());
  m_arrQueueDcL.erase(m_arrQueueDcL.begin());
  m_arrQueueDcR.erase(m_arrQueueDcR.begin());
  m_arrQueueSampleRate.erase(m_arrQueueSampleRate.begin());
  m_arrQueueHeaderShortening.erase(m_arrQueueHeaderShortening.begin());
  m_arrQueueRangeL.erase(m_arrQueueRangeL.begin());
  m_arrQueueRangeR.erase(m_arrQueueRangeR.begin());
}

}  // namespace mivo
