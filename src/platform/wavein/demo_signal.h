// The built-in demo signal, the input of a machine without any: short
// phrases of notes with harmonics and an envelope (the two channels differ
// in timbre and placement), each followed by two seconds of exact digital
// zeros, so that silence splitting finds them even at threshold 0. The same
// frame index gives the same samples on every run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/wavein/wave_backend.h"

namespace mivo::platform {

class DemoSignal {
 public:
  DemoSignal(std::uint32_t rate, std::uint16_t channels);

  // Frames [first, first + frames) as 16-bit little-endian PCM.
  void Render(std::uint64_t first, char* out, std::size_t frames) const;

  // The tones of one cycle, [begin, end) in frames; the signal is zero
  // outside them and repeats every CycleFrames() frames.
  struct Span {
    std::uint64_t begin = 0;
    std::uint64_t end = 0;
  };
  const std::vector<Span>& Tones() const { return m_tones; }
  std::uint64_t CycleFrames() const { return m_nCycle; }

  static constexpr double kSilenceSeconds = 2.0;

 private:
  void Frame(std::size_t phrase, std::uint64_t offset, double* left, double* right) const;

  std::uint32_t m_nRate;
  std::uint16_t m_nChannels;
  std::vector<Span> m_tones;
  std::uint64_t m_nCycle = 0;
};

std::unique_ptr<IWaveInBackend> CreateDemoBackend();

}  // namespace mivo::platform
