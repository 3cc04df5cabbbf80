#include "encoder_job.h"

#include <lame/lame.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>

#include "gogo/gogo.h"

namespace gogo {
namespace {

// Rates of MPEG-1, 2 and 2.5 layer III.
constexpr int kMpegRates[] = {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000};
// Bit rates of any of the three versions, kbit/s.
constexpr int kMpegBitrates[] = {8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 192, 224, 256, 320};

// LAME's quality for psychoacoustic analysis on and off (see gogo.h).
constexpr int kQualityPsychoacoustic = 2;
constexpr int kQualityFast = 5;
constexpr int kLowpass16k = 16000;

template <std::size_t N>
bool OneOf(int value, const int (&table)[N]) {
  for (int v : table) {
    if (v == value) return true;
  }
  return false;
}

// LAME reports through these; a library has no console to write to.
void Quiet(const char* /*format*/, va_list /*args*/) {}

bool SameFile(const std::string& a, const std::string& b) {
  if (a == b) return true;
  struct stat sa{}, sb{};
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

}  // namespace

void LameCloser::operator()(lame_global_struct* gfp) const noexcept {
  // lame_close fails only for a handle that was not LAME's.
  static_cast<void>(lame_close(gfp));
}

std::uint32_t EncoderJob::Failed(std::uint32_t code, int error) {
  if (m_nError == 0) {
    m_nError = code;
    m_nSystemError = error;
  }
  m_output.Abandon();
  return m_nError;
}

bool EncoderJob::Fail(std::uint32_t code, int error) {
  Failed(code, error);
  return false;
}

std::uint32_t EncoderJob::Configure(std::uint32_t id, std::uintptr_t value1, std::uintptr_t value2) {
  // Options change the job only before it is prepared; a late change could
  // not be honoured, so it fails the job.
  if (m_bPrepared || m_bClosed) return Failed(MPGE_ERR_NO_JOB);
  const auto v = static_cast<std::int32_t>(static_cast<std::uint32_t>(value1));
  switch (id) {
    case MPGE_CFG_INPUT_FILE: {
      const char* path = reinterpret_cast<const char*>(value2);
      if (path == nullptr || *path == '\0') return Failed(MPGE_ERR_ARGUMENT);
      m_opt.input = path;
      // Checked here already so that the caller learns it early; the job
      // reads the file when it is prepared.
      // (Without blocking: a FIFO nobody writes to would hold the open.)
      const int probe = ::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
      if (probe < 0) return Failed(MPGE_ERR_INPUT, errno);
      ::close(probe);
      return MPGE_OK;
    }
    case MPGE_CFG_OUTPUT_FILE: {
      const char* path = reinterpret_cast<const char*>(value2);
      if (path == nullptr || *path == '\0') return Failed(MPGE_ERR_ARGUMENT);
      m_opt.output = path;
      return MPGE_OK;
    }
    case MPGE_CFG_CHANNEL_MODE:
      // -1 (no mode chosen) leaves the encoder's default.
      if (v < MPGE_MODE_DEFAULT || v > MPGE_MODE_DUAL) return Failed(MPGE_ERR_BAD_VALUE);
      m_opt.mode = v;
      return MPGE_OK;
    case MPGE_CFG_BITRATE:
      if (!OneOf(v, kMpegBitrates)) return Failed(MPGE_ERR_BAD_VALUE);
      m_opt.bitrate = v;
      return MPGE_OK;
    case MPGE_CFG_OUTPUT_RATE:
      if (!OneOf(v, kMpegRates)) return Failed(MPGE_ERR_BAD_VALUE);
      m_opt.outputRate = v;
      return MPGE_OK;
    case MPGE_CFG_PSYCHOACOUSTIC:
      m_opt.psychoacoustic = v != 0;
      return MPGE_OK;
    case MPGE_CFG_LOWPASS_16K:
      m_opt.lowpass16k = v != 0;
      return MPGE_OK;
    case MPGE_CFG_EMPHASIS:
      if (v < MPGE_EMPHASIS_NONE || v > MPGE_EMPHASIS_CCITT) return Failed(MPGE_ERR_BAD_VALUE);
      m_opt.emphasis = v;
      return MPGE_OK;
    case MPGE_CFG_VBR_QUALITY:
      if (v < 0 || v > 9) return Failed(MPGE_ERR_BAD_VALUE);
      m_opt.vbr = true;
      m_opt.vbrQuality = v;
      return MPGE_OK;
    case MPGE_CFG_OUTPUT_FORMAT:
      if (v < MPGE_FORMAT_MP3 || v > MPGE_FORMAT_RMP) return Failed(MPGE_ERR_BAD_VALUE);
      m_opt.format = v;
      return MPGE_OK;
    default:
      // An id this library does not know changes nothing.
      return MPGE_ERR_UNKNOWN_ID;
  }
}

std::uint32_t EncoderJob::Query(std::uint32_t id, std::uint32_t* result) {
  if (result == nullptr) return MPGE_ERR_ARGUMENT;
  auto give = [result](int value) {
    *result = static_cast<std::uint32_t>(value);
    return static_cast<std::uint32_t>(MPGE_OK);
  };
  switch (id) {
    case MPGE_CFG_FRAME_COUNT: {
      const std::uint32_t r = Prepare();
      *result = r == MPGE_OK ? m_nFrames : 0;
      return r;
    }
    case MPGE_CFG_CHANNEL_MODE: return give(m_opt.mode < 0 ? MPGE_MODE_JOINT : m_opt.mode);
    case MPGE_CFG_BITRATE: return give(m_nBitrateUsed != 0 ? m_nBitrateUsed : m_opt.bitrate);
    case MPGE_CFG_OUTPUT_RATE: return give(m_nOutputRateUsed != 0 ? m_nOutputRateUsed : m_opt.outputRate);
    case MPGE_CFG_SYSTEM_ERROR: return give(m_nSystemError);
    case MPGE_CFG_PSYCHOACOUSTIC: return give(m_opt.psychoacoustic ? 1 : 0);
    case MPGE_CFG_LOWPASS_16K: return give(m_opt.lowpass16k ? 1 : 0);
    case MPGE_CFG_EMPHASIS: return give(m_opt.emphasis);
    case MPGE_CFG_VBR_QUALITY: return give(m_opt.vbrQuality);
    case MPGE_CFG_OUTPUT_FORMAT: return give(m_opt.format);
    default: return MPGE_ERR_UNKNOWN_ID;
  }
}

std::uint32_t EncoderJob::SetUpEncoder() {
  m_lame.reset(lame_init());
  lame_t g = m_lame.get();
  if (g == nullptr) return Failed(MPGE_ERR_NO_MEMORY);
  // Every setter reports a value it refuses with a negative result.
  bool ok = lame_set_errorf(g, Quiet) == 0 && lame_set_debugf(g, Quiet) == 0 && lame_set_msgf(g, Quiet) == 0;
  const int channels = m_input.Channels();
  const int inRate = m_input.SampleRate();
  ok = ok && lame_set_num_channels(g, channels) == 0 && lame_set_in_samplerate(g, inRate) == 0 &&
       lame_set_num_samples(g, static_cast<unsigned long>(m_input.Frames())) == 0;

  MPEG_mode mode = JOINT_STEREO;
  bool forceMidSide = false;
  if (channels == 1) {
    mode = MONO;
  } else {
    switch (m_opt.mode) {
      case MPGE_MODE_MONO: mode = MONO; break;
      case MPGE_MODE_STEREO: mode = STEREO; break;
      case MPGE_MODE_MIDSIDE: forceMidSide = true; break;
      case MPGE_MODE_DUAL: mode = DUAL_CHANNEL; break;
      default: break;
    }
  }
  ok = ok && lame_set_mode(g, mode) == 0 && lame_set_force_ms(g, forceMidSide ? 1 : 0) == 0;
  ok = ok && lame_set_quality(g, m_opt.psychoacoustic ? kQualityPsychoacoustic : kQualityFast) == 0;
  if (m_opt.lowpass16k) ok = ok && lame_set_lowpassfreq(g, kLowpass16k) == 0;
  // The header's emphasis field: 1 is 50/15 us, 3 is CCITT J.17.
  const int emphasis = m_opt.emphasis == MPGE_EMPHASIS_CCITT ? 3 : m_opt.emphasis;
  ok = ok && lame_set_emphasis(g, emphasis) == 0;
  if (m_opt.vbr) {
    ok = ok && lame_set_VBR(g, vbr_default) == 0 && lame_set_VBR_q(g, m_opt.vbrQuality) == 0;
  } else {
    ok = ok && lame_set_VBR(g, vbr_off) == 0 && lame_set_brate(g, m_opt.bitrate) == 0;
  }
  int outRate = m_opt.outputRate;
  if (outRate == 0 && OneOf(inRate, kMpegRates)) outRate = inRate;
  if (outRate != 0) ok = ok && lame_set_out_samplerate(g, outRate) == 0;
  // The WAV container has its own length fields; a tag frame there would be
  // played as a frame of silence.
  ok = ok && lame_set_bWriteVbrTag(g, m_opt.format == MPGE_FORMAT_WAV ? 0 : 1) == 0;
  lame_set_write_id3tag_automatic(g, 0);
  if (!ok || lame_init_params(g) < 0) return Failed(MPGE_ERR_BAD_VALUE);
  // LAME moves a constant bit rate that the output's MPEG version lacks
  // (320 kbit/s at 22050 Hz, say) to the nearest one it has; the caller
  // learns which through MPGE_getConfigure. A forced output rate is kept.
  if (outRate != 0 && lame_get_out_samplerate(g) != outRate) return Failed(MPGE_ERR_BAD_VALUE);
  m_nBitrateUsed = m_opt.vbr ? m_opt.bitrate : lame_get_brate(g);
  m_nOutputRateUsed = lame_get_out_samplerate(g);
  return MPGE_OK;
}

std::uint32_t EncoderJob::Prepare() {
  if (m_bPrepared || m_bClosed) {
    if (m_nError != 0) return m_nError;
    return m_bClosed ? static_cast<std::uint32_t>(MPGE_ERR_NO_JOB) : static_cast<std::uint32_t>(MPGE_OK);
  }
  m_bPrepared = true;
  if (m_nError != 0) return m_nError;
  if (m_opt.input.empty() || m_opt.output.empty()) return Failed(MPGE_ERR_ARGUMENT);
  if (SameFile(m_opt.input, m_opt.output)) return Failed(MPGE_ERR_OUTPUT_IS_INPUT);
  if (!m_input.Open(m_opt.input)) return Failed(MPGE_ERR_INPUT, m_input.Error());
  if (const std::uint32_t r = SetUpEncoder(); r != MPGE_OK) return r;
  lame_t g = m_lame.get();

  const int outRate = lame_get_out_samplerate(g);
  const int frameSize = lame_get_framesize(g);
  const int totalFrames = lame_get_totalframes(g);
  if (outRate <= 0 || frameSize <= 0) return Failed(MPGE_ERR_ENCODER);
  m_nFrames = totalFrames > 0 ? static_cast<std::uint32_t>(totalFrames) : 1u;
  // One call takes the input of one output frame.
  const auto inRate = static_cast<std::uint64_t>(m_input.SampleRate());
  m_nFramesPerCall = static_cast<std::size_t>(
      (static_cast<std::uint64_t>(frameSize) * inRate + static_cast<std::uint64_t>(outRate) - 1) /
      static_cast<std::uint64_t>(outRate));
  m_nOutputSamples = (m_input.Frames() * static_cast<std::uint64_t>(outRate) + inRate / 2) / inRate;
  m_pcm.assign(m_nFramesPerCall * static_cast<std::size_t>(m_input.Channels()), 0);
  m_mp3.assign(m_nFramesPerCall * 5 / 4 + 7200, 0);

  StreamInfo info;
  info.channels = lame_get_mode(g) == MONO ? 1 : 2;
  info.sampleRate = outRate;
  info.bitrateKbps = m_opt.vbr ? 0 : lame_get_brate(g);
  info.samplesPerFrame = frameSize;
  info.codecDelay = lame_get_encoder_delay(g);
  const Container container = m_opt.format == MPGE_FORMAT_WAV   ? Container::Wav
                              : m_opt.format == MPGE_FORMAT_RMP ? Container::Rmp
                                                                : Container::Mp3;
  if (!m_output.Create(m_opt.output, container, info)) return Failed(MPGE_ERR_OUTPUT, m_output.Error());
  return MPGE_OK;
}

bool EncoderJob::Feed(std::size_t frames) {
  const std::size_t n = m_input.Read(m_pcm.data(), frames);
  if (m_input.Failed()) return Fail(MPGE_ERR_INPUT, m_input.Error());
  if (n == 0) return true;
  lame_t g = m_lame.get();
  auto* out = m_mp3.data();
  const int outSize = static_cast<int>(m_mp3.size());
  const int nSamples = static_cast<int>(n);
  const int bytes = m_input.Channels() == 2
                        ? lame_encode_buffer_interleaved(g, m_pcm.data(), nSamples, out, outSize)
                        : lame_encode_buffer(g, m_pcm.data(), m_pcm.data(), nSamples, out, outSize);
  if (bytes < 0) return Fail(MPGE_ERR_ENCODER);
  if (!m_output.Write(out, static_cast<std::size_t>(bytes))) return Fail(MPGE_ERR_OUTPUT, m_output.Error());
  return true;
}

bool EncoderJob::Flush() {
  m_bFlushed = true;
  const int bytes = lame_encode_flush(m_lame.get(), m_mp3.data(), static_cast<int>(m_mp3.size()));
  if (bytes < 0) return Fail(MPGE_ERR_ENCODER);
  if (!m_output.Write(m_mp3.data(), static_cast<std::size_t>(bytes))) return Fail(MPGE_ERR_OUTPUT, m_output.Error());
  return true;
}

std::uint32_t EncoderJob::Complete() {
  while (m_input.FramesLeft() > 0) {
    if (!Feed(m_nFramesPerCall)) return m_nError;
  }
  if (!m_bFlushed && !Flush()) return m_nError;
  lame_t g = m_lame.get();
  std::vector<unsigned char> tag;
  const std::size_t tagSize = lame_get_lametag_frame(g, nullptr, 0);
  if (tagSize != 0) {
    tag.resize(tagSize);
    if (lame_get_lametag_frame(g, tag.data(), tag.size()) != tagSize) return Failed(MPGE_ERR_ENCODER);
  }
  const int frames = lame_get_frameNum(g);
  if (!m_output.Finish(tag.data(), tag.size(), m_nOutputSamples,
                       frames > 0 ? static_cast<std::uint64_t>(frames) : 0)) {
    return Failed(MPGE_ERR_OUTPUT, m_output.Error());
  }
  m_bComplete = true;
  return MPGE_END;
}

std::uint32_t EncoderJob::ProcessFrame() {
  if (const std::uint32_t r = Prepare(); r != MPGE_OK) return r;
  if (m_bComplete) return MPGE_END;
  ++m_nCalls;
  if (m_nCalls < m_nFrames) {
    if (m_input.FramesLeft() > 0) {
      if (!Feed(m_nFramesPerCall)) return m_nError;
    } else if (!m_bFlushed) {
      if (!Flush()) return m_nError;
    }
    return MPGE_OK;
  }
  return Complete();
}

void EncoderJob::Close() {
  if (m_bClosed) return;
  m_bClosed = true;
  if (!m_bComplete) {
    m_output.Abandon();
    if (m_nError == 0) m_nError = MPGE_ERR_NO_JOB;
  }
  m_lame.reset();
  m_input.Close();
}

}  // namespace gogo
