#include "capture/capture_setup.h"

#include <cstdio>

namespace mivo {
namespace {

void Refuse(std::string& text, const char* key, long long value, long long used, const char* allowed) {
  char line[160];
  std::snprintf(line, sizeof line, "\r\n%s=%lld → %lld（%s）", key, value, used, allowed);
  text += line;
}

}  // namespace

int HeaderShortening(std::int32_t setting) { return setting == 2 ? 2 : 0; }

CaptureSetup BuildCaptureSetup(const RecorderSettings& s) {
  CaptureSetup setup;
  std::string lines;

  std::int32_t rate = s.RecSamplesPerSec;
  if (rate < kMinSampleRate || rate > kMaxSampleRate) {
    rate = 44100;
    Refuse(lines, "RecSamplesPerSec", s.RecSamplesPerSec, rate, "8000～192000 のみ");
  }
  std::int32_t frames = s.m_nWaveInBufSize;
  if (frames < kMinBufferFrames || frames > kMaxBufferFrames) {
    frames = 1024;
    Refuse(lines, "m_nWaveInBufSize", s.m_nWaveInBufSize, frames, "1024～65536 のみ");
  }
  if (s.RecChannels != 2) Refuse(lines, "RecChannels", s.RecChannels, 2, "2 のみ");
  if (s.RecBitsPerSample != 16) Refuse(lines, "RecBitsPerSample", s.RecBitsPerSample, 16, "16 のみ");
  if (s.m_nWavheaderShortening != 0 && s.m_nWavheaderShortening != 2) {
    Refuse(lines, "m_nWavheaderShortening", s.m_nWavheaderShortening, 0, "0 か 2 のみ");
  }

  setup.format.wFormatTag = 1;
  setup.format.nChannels = 2;
  setup.format.nSamplesPerSec = static_cast<std::uint32_t>(rate);
  setup.format.wBitsPerSample = 16;
  setup.format.nBlockAlign = 4;
  setup.format.nAvgBytesPerSec = 4u * setup.format.nSamplesPerSec;
  setup.format.cbSize = 0;
  setup.bufferFrames = static_cast<std::uint32_t>(frames);
  if (!lines.empty()) {
    setup.refusal =
        "設定ファイルに使えない録音設定があります。今回は既定値で録音します"
        "（設定ファイルの値はそのままです）。" +
        lines;
  }
  return setup;
}

}  // namespace mivo
