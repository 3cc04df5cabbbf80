// Finished tracks waiting for the conversion worker: five parallel columns,
// oldest entry first, under one mutex, with the worker's wake-up event.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/sync/event.h"

namespace mivo {

struct QueueEntry {
  std::string file;            // track path
  std::int32_t peak = 0;       // level used by automatic normalization
  std::int32_t startTime = 0;  // seconds since 1970 of the first audio buffer
  std::int32_t dcL = 0;        // signed channel means
  std::int32_t dcR = 0;
};

struct ConversionQueue {
  std::mutex m_mtxQueue;
  platform::AutoResetEvent m_evQueue;
  std::vector<std::string> m_arrQueueFile;
  std::vector<std::int32_t> m_arrQueuePeak;
  std::vector<std::int32_t> m_arrQueueStartTime;
  std::vector<std::int32_t> m_arrQueueDcL;
  std::vector<std::int32_t> m_arrQueueDcR;

  // Appends under the lock; pulses the event when the length becomes 1.
  // Returns the new length.
  std::size_t Append(const QueueEntry& entry);
  // The length, read under the lock.
  std::size_t Length();

  // Caller holds m_mtxQueue.
  bool EmptyLocked() const { return m_arrQueueFile.empty(); }
  QueueEntry FrontLocked() const;
  void PopFrontLocked();
};

}  // namespace mivo
