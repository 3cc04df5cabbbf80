// The output of a job: the MP3 stream in one of the three containers,
// written to a temporary file beside the output path and renamed into place
// when complete.
#pragma once

#include <cstdint>
#include <string>

#include "file_handle.h"

namespace gogo {

enum class Container { Mp3, Wav, Rmp };

// What the WAV container's header says about the stream.
struct StreamInfo {
  int channels = 2;
  int sampleRate = 44100;      // of the output
  int bitrateKbps = 128;       // 0 for variable bit rate
  int samplesPerFrame = 1152;  // 1152 (MPEG-1) or 576 (MPEG-2 and 2.5)
  int codecDelay = 0;          // samples before the first real one
};

class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile() { Abandon(); }
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Creates the temporary file beside `path` and writes the container's
  // header with its sizes left open.
  bool Create(const std::string& path, Container container, const StreamInfo& info);
  // Appends bytes of the MP3 stream.
  bool Write(const unsigned char* data, std::size_t size);
  // Writes `tag` over the start of the stream (the LAME tag frame that took
  // its place when encoding began; none when size is 0), completes the
  // container's sizes (`samples`: samples per channel at the output rate),
  // flushes the file to disk and renames it to the output path.
  bool Finish(const unsigned char* tag, std::size_t tagSize, std::uint64_t samples, std::uint64_t frames);
  // Closes and removes the temporary file, if any.
  void Abandon();

  const std::string& Why() const { return m_strWhy; }
  // The system's error number behind the failure, 0 when none was involved.
  int Error() const { return m_nError; }

 private:
  bool Fail(const char* why, int error = 0);
  bool WriteAt(std::uint64_t offset, const void* data, std::size_t size);
  bool PatchWavHeader(std::uint64_t samples, std::uint64_t frames);

  FilePtr m_file;
  std::string m_strPath;
  std::string m_strTempPath;
  Container m_container = Container::Mp3;
  StreamInfo m_info;
  std::uint64_t m_nStreamStart = 0;  // offset of the MP3 stream in the file
  std::uint64_t m_nStreamBytes = 0;
  std::string m_strWhy;
  int m_nError = 0;
};

}  // namespace gogo
