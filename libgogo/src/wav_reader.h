// The input of a job: a RIFF/WAVE file of 16-bit PCM samples.
#pragma once

#include <cstdint>
#include <string>

#include "file_handle.h"

namespace gogo {

class WavReader {
 public:
  // Opens the file and walks its chunks up to the sample data. Returns false
  // when the file cannot be read or is not 16-bit PCM WAVE with one or two
  // channels; Why() then says what was wrong.
  bool Open(const std::string& path);

  int Channels() const { return m_nChannels; }
  int SampleRate() const { return m_nSampleRate; }
  // Sample frames (one sample per channel) in the data chunk.
  std::uint64_t Frames() const { return m_nFrames; }
  std::uint64_t FramesLeft() const { return m_nFrames - m_nFramesRead; }

  // Reads up to `frames` frames of interleaved samples into `out` in host
  // order. Returns the frames read; fewer than asked only at the end of the
  // data, or on a read error (Failed()).
  std::size_t Read(std::int16_t* out, std::size_t frames);
  bool Failed() const { return m_bFailed; }

  const std::string& Why() const { return m_strWhy; }
  // The system's error number behind the failure, 0 when none was involved.
  int Error() const { return m_nError; }

  void Close() { m_file.reset(); }

 private:
  bool Fail(const char* why, int error = 0);

  FilePtr m_file;
  int m_nChannels = 0;
  int m_nSampleRate = 0;
  std::uint64_t m_nFrames = 0;
  std::uint64_t m_nFramesRead = 0;
  bool m_bFailed = false;
  std::string m_strWhy;
  int m_nError = 0;
};

}  // namespace gogo
