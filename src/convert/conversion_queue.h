// Finished tracks waiting for the conversion worker: parallel columns, one
// entry per track, oldest first, under one mutex, with the worker's wake-up
// event.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/sync/event.h"

namespace mivo {

// A channel's smallest and largest sample over the whole track.
struct ChannelRange {
  std::int16_t min = 0;
  std::int16_t max = 0;
};

struct QueueEntry {
  std::string file;            // track path
  std::int32_t peak = 0;       // largest (level + 1) / 2 of the track's buffers
  std::int64_t startTime = 0;  // seconds since 1970 of the first audio buffer
  std::int32_t dcL = 0;        // signed channel means
  std::int32_t dcR = 0;
  // How the track was written: the capture rate and the header form
  // (0: 46-byte header, 2: 44-byte header) in force when it was opened, so
  // that a setting changed while the track waits never misreads it.
  std::int32_t sampleRate = 44100;
  std::int32_t headerShortening = 0;
  ChannelRange rangeL;
  ChannelRange rangeR;
};

struct ConversionQueue {
  std::mutex m_mtxQueue;
  platform::AutoResetEvent m_evQueue;
  std::vector<std::string> m_arrQueueFile;
  std::vector<std::int32_t> m_arrQueuePeak;
  std::vector<std::int64_t> m_arrQueueStartTime;
  std::vector<std::int32_t> m_arrQueueDcL;
  std::vector<std::int32_t> m_arrQueueDcR;
  std::vector<std::int32_t> m_arrQueueSampleRate;
  std::vector<std::int32_t> m_arrQueueHeaderShortening;
  std::vector<ChannelRange> m_arrQueueRangeL;
  std::vector<ChannelRange> m_arrQueueRangeR;

  // Appends under the lock; pulses the event when the length becomes 1.
  // Returns the new length.
  std::size_t Append(const QueueEntry& entry);
  // The length, read under the lock.
  std::size_t Length();

  // Caller holds m_mtxQueue.
  bool EmptyLocked() const { return m_arrQueueFile.empty(); }
  QueueEntry EntryLocked(std::size_t index) const;
  QueueEntry FrontLocked() const { return EntryLocked(0); }
  void PopFrontLocked();
};

}  // namespace mivo
