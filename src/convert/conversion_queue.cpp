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
    length = m_arrQueueFile.size();
  }
  if (length == 1) m_evQueue.Pulse();
  return length;
}

std::size_t ConversionQueue::Length() {
  std::lock_guard lock(m_mtxQueue);
  return m_arrQueueFile.size();
}

QueueEntry ConversionQueue::FrontLocked() const {
  return QueueEntry{m_arrQueueFile.front(), m_arrQueuePeak.front(), m_arrQueueStartTime.front(),
                    m_arrQueueDcL.front(), m_arrQueueDcR.front()};
}

void ConversionQueue::PopFrontLocked() {
  m_arrQueueFile.erase(m_arrQueueFile.begin());
  m_arrQueuePeak.erase(m_arrQueuePeak.begin());
  m_arrQueueStartTime.erase(m_arrQueueStartTime.begin());
  m_arrQueueDcL.erase(m_arrQueueDcL.begin());
  m_arrQueueDcR.erase(m_arrQueueDcR.begin());
}

}  // namespace mivo
