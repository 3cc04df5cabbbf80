// What the normalize settings dialog reads of the live input: the values
// the capture side measured on its last completed buffer. Read on the
// window thread, where capture updates them.
#pragma once

#include <cstdint>

namespace mivo {

class ILiveInputLevels {
 public:
  virtual ~ILiveInputLevels() = default;
  // The larger of the two channel spans (largest minus smallest sample) of
  // the last completed capture buffer: 0 … 65535.
  virtual std::uint32_t LastBufferLevel() const = 0;
  // The mean left and right sample of that buffer.
  virtual std::int32_t LastBufferMeanL() const = 0;
  virtual std::int32_t LastBufferMeanR() const = 0;
};

}  // namespace mivo
