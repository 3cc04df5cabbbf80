// One encoding job: its configuration, the LAME encoder, the input and the
// output. The entry points drive one job at a time (gogo.cpp); the class
// itself holds no shared state, so each instance is independent.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "output_file.h"
#include "wav_reader.h"

struct lame_global_struct;

namespace gogo {

struct LameCloser {
  void operator()(lame_global_struct* gfp) const noexcept;
};
using LamePtr = std::unique_ptr<lame_global_struct, LameCloser>;

class EncoderJob {
 public:
  EncoderJob() = default;
  ~EncoderJob() = default;
  EncoderJob(const EncoderJob&) = delete;
  EncoderJob& operator=(const EncoderJob&) = delete;

  std::uint32_t Configure(std::uint32_t id, std::uintptr_t value1, std::uintptr_t value2);
  std::uint32_t Query(std::uint32_t id, std::uint32_t* result);
  std::uint32_t Prepare();
  std::uint32_t ProcessFrame();
  // Ends the encoder and closes the files; an output that is not complete
  // is removed.
  void Close();

 private:
  struct Options {
    std::string input;
    std::string output;
    int mode = -1;  // -1: joint stereo for stereo input
    int bitrate = 128;
    bool psychoacoustic = false;
    bool lowpass16k = false;
    int emphasis = 0;
    bool vbr = false;
    int vbrQuality = 4;
    int outputRate = 0;  // 0: not forced
    int format = 0;
  };

  // Records the job's first failure (with the system's error number behind
  // it, if any) and drops the output; returns the recorded code (Fail: false).
  std::uint32_t Failed(std::uint32_t code, int error = 0);
  bool Fail(std::uint32_t code, int error = 0);
  std::uint32_t SetUpEncoder();
  bool Feed(std::size_t frames);
  bool Flush();
  std::uint32_t Complete();

  Options m_opt;
  // What the prepared encoder uses: the bit rate may be the nearest one the
  // output's MPEG version has, the output rate the one LAME chose.
  int m_nBitrateUsed = 0;
  int m_nOutputRateUsed = 0;
  std::uint32_t m_nError = 0;  // the first failure, reported from then on
  int m_nSystemError = 0;      // errno behind that failure, 0 when none
  bool m_bPrepared = false;
  bool m_bFlushed = false;
  bool m_bComplete = false;
  bool m_bClosed = false;

  WavReader m_input;
  LamePtr m_lame;
  OutputFile m_output;
  std::uint32_t m_nFrames = 0;     // processFrame calls of the job
  std::uint32_t m_nCalls = 0;
  std::size_t m_nFramesPerCall = 0;  // input frames fed per call
  std::uint64_t m_nOutputSamples = 0;
  std::vector<std::int16_t> m_pcm;
  std::vector<unsigned char> m_mp3;
};

}  // namespace gogo
