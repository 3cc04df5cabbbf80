// The writer: profile inputs, sample buffers, and FFmpeg behind them.
//
// 16-bit PCM samples go through libswresample to the codec's sample format,
// rate and channels, are cut into the encoder's fixed frames (carried over
// from one writer sample to the next), encoded by libavcodec's WMA encoder
// and muxed by libavformat's ASF muxer. Only the profile's audio stream is
// written. The file is written beside its name ("<name>.tmp"), synced, and
// renamed over the name at EndWriting: until then no file carries the name,
// and a writer released before EndWriting removes what it wrote.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "platform/files/files.h"
#include "platform/process/file_io.h"
#include "platform/process/unique_fd.h"
#include "platform/wm/wm.h"

namespace mivo::platform::wm {
namespace {

// KSDATAFORMAT_SUBTYPE_PCM, the subformat of a WAVE_FORMAT_EXTENSIBLE PCM input.
constexpr std::uint8_t kSubtypePcm[16] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                          0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

HRESULT FromAv(int err) { return err == AVERROR(ENOMEM) ? E_OUTOFMEMORY : E_FAIL; }

std::uint16_t Le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

// The PCM format an audio input was given.
struct PcmFormat {
  std::uint16_t channels = 0;
  std::uint32_t rate = 0;
  std::uint16_t blockAlign = 0;
};

// Accepts 16-bit PCM, plain or in the extensible form, mono or stereo.
bool ParsePcmType(const WM_MEDIA_TYPE& t, PcmFormat* out) {
  if (!(t.majortype == WMMEDIATYPE_Audio) || !(t.subtype == WMMEDIASUBTYPE_PCM) ||
      !(t.formattype == WMFORMAT_WaveFormatEx) || t.pbFormat == nullptr || t.cbFormat < 16) {
    return false;
  }
  WAVEFORMATEX wfx{};
  std::memcpy(&wfx, t.pbFormat, std::min<std::size_t>(t.cbFormat, sizeof wfx));
  if (wfx.wFormatTag == WAVE_FORMAT_EXTENSIBLE) {
    const std::uint8_t* ext = t.pbFormat + sizeof(WAVEFORMATEX);
    if (t.cbFormat < 40 || wfx.cbSize < 22 || std::memcmp(ext + 6, kSubtypePcm, 16) != 0) return false;
    const std::uint16_t validBits = Le16(ext);
    if (validBits != 0 && validBits != 16) return false;
  } else if (wfx.wFormatTag != WAVE_FORMAT_PCM) {
    return false;
  }
  if (wfx.wBitsPerSample != 16 || (wfx.nChannels != 1 && wfx.nChannels != 2) || wfx.nSamplesPerSec == 0 ||
      wfx.nSamplesPerSec > 384000 || wfx.nBlockAlign != wfx.nChannels * 2) {
    return false;
  }
  *out = PcmFormat{wfx.nChannels, wfx.nSamplesPerSec, wfx.nBlockAlign};
  return true;
}

// ---------------------------------------------------------------------------
// Sample buffers: allocated by the writer, filled in place by the caller.
// A released buffer's storage is kept for the next AllocateSample, so a
// steady stream of equal samples allocates nothing.

class BufferPool {
 public:
  std::vector<std::uint8_t> Take(std::size_t size) {
    std::vector<std::uint8_t> v;
    {
      std::lock_guard lock(m_mtx);
      v.swap(m_spare);
    }
    v.resize(size);
    return v;
  }
  void Give(std::vector<std::uint8_t>&& v) {
    std::lock_guard lock(m_mtx);
    if (v.capacity() > m_spare.capacity()) m_spare.swap(v);
  }

 private:
  std::mutex m_mtx;
  std::vector<std::uint8_t> m_spare;
};

class Sample final : public RefCounted<INSSBuffer> {
 public:
  Sample(std::shared_ptr<BufferPool> pool, std::vector<std::uint8_t> data)
      : m_pool(std::move(pool)), m_data(std::move(data)), m_length(static_cast<DWORD>(m_data.size())) {}
  ~Sample() override { m_pool->Give(std::move(m_data)); }

  HRESULT GetLength(DWORD* length) override {
    if (length == nullptr) return E_POINTER;
    *length = m_length;
    return S_OK;
  }
  HRESULT SetLength(DWORD length) override {
    if (length > m_data.size()) return E_FAIL;
    m_length = length;
    return S_OK;
  }
  HRESULT GetMaxLength(DWORD* length) override {
    if (length == nullptr) return E_POINTER;
    *length = static_cast<DWORD>(m_data.size());
    return S_OK;
  }
  HRESULT GetBufferAndLength(BYTE** buffer, DWORD* length) override {
    if (buffer == nullptr || length == nullptr) return E_POINTER;
    *buffer = m_data.data();
    *length = m_length;
    return S_OK;
  }

 private:
  std::shared_ptr<BufferPool> m_pool;
  std::vector<std::uint8_t> m_data;
  DWORD m_length;
};

// ---------------------------------------------------------------------------
// Input properties: the kind of one input and the media type given to it.

class InputProps final : public RefCounted<IWMInputMediaProps> {
 public:
  explicit InputProps(const GUID& kind) : m_kind(kind) {}

  HRESULT GetType(GUID* type) override {
    if (type == nullptr) return E_POINTER;
    *type = m_kind;
    return S_OK;
  }
  // An audio input takes 16-bit PCM only. A video input's type is kept
  // unchecked: nothing is ever written to it.
  HRESULT SetMediaType(const WM_MEDIA_TYPE* type) override {
    if (type == nullptr) return E_POINTER;
    if (m_kind == WMMEDIATYPE_Audio) {
      PcmFormat pcm;
      if (!ParsePcmType(*type, &pcm)) return E_FAIL;
      m_pcm = pcm;
    }
    m_typed = true;
    return S_OK;
  }

  const GUID& Kind() const { return m_kind; }
  bool Typed() const { return m_typed; }
  const PcmFormat& Pcm() const { return m_pcm; }

 private:
  GUID m_kind;
  bool m_typed = false;
  PcmFormat m_pcm;
};

// ---------------------------------------------------------------------------
// FFmpeg: PCM in, WMA in ASF out.

struct FormatCloser {
  void operator()(AVFormatContext* f) const {
    if (f == nullptr) return;
    if (f->pb != nullptr) avio_closep(&f->pb);
    avformat_free_context(f);
  }
};
struct CodecCloser {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct SwrCloser {
  void operator()(SwrContext* s) const { swr_free(&s); }
};
struct FrameCloser {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketCloser {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};

struct AudioTarget {
  std::uint32_t rate = 0;
  std::uint16_t channels = 0;
  std::uint32_t bitrate = 0;
};

class AudioEncoder {
 public:
  HRESULT Open(const std::string& path, const PcmFormat& in, const AudioTarget& out);
  // Interleaved 16-bit frames of the input format.
  HRESULT Write(const std::uint8_t* pcm, std::size_t frames);
  // Flushes resampler and encoder and writes the file's trailer; the file
  // is closed afterwards, whatever the result.
  HRESULT Finish();

 private:
  HRESULT Convert(const std::uint8_t* pcm, int frames, int* converted);
  HRESULT Feed(int converted);
  HRESULT EncodeFrame(AVFrame* frame);
  HRESULT Drain();

  std::unique_ptr<AVFormatContext, FormatCloser> m_fmt;
  std::unique_ptr<AVCodecContext, CodecCloser> m_codec;
  std::unique_ptr<SwrContext, SwrCloser> m_swr;
  std::unique_ptr<AVFrame, FrameCloser> m_frame;
  std::unique_ptr<AVPacket, PacketCloser> m_packet;
  AVStream* m_stream = nullptr;
  int m_channels = 0;
  std::size_t m_inBlockAlign = 0;
  int m_frameSize = 0;
  int m_filled = 0;          // samples waiting in m_frame
  std::int64_t m_pts = 0;    // of the next frame, in samples
  // Converted samples of one piece, one plane per channel.
  std::vector<float> m_planes[2];
  int m_planeCapacity = 0;
};

HRESULT AudioEncoder::Open(const std::string& path, const PcmFormat& in, const AudioTarget& out) {
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_WMAV2);
  if (codec == nullptr) return E_FAIL;
  m_codec.reset(avcodec_alloc_context3(codec));
  m_frame.reset(av_frame_alloc());
  m_packet.reset(av_packet_alloc());
  if (!m_codec || !m_frame || !m_packet) return E_OUTOFMEMORY;
  m_channels = out.channels;
  m_inBlockAlign = in.blockAlign;
  m_codec->sample_fmt = AV_SAMPLE_FMT_FLTP;
  m_codec->sample_rate = static_cast<int>(out.rate);
  av_channel_layout_default(&m_codec->ch_layout, out.channels);
  m_codec->bit_rate = out.bitrate;
  m_codec->time_base = AVRational{1, static_cast<int>(out.rate)};
  m_codec->flags |= AV_CODEC_FLAG_BITEXACT;

  AVFormatContext* raw = nullptr;
  int err = avformat_alloc_output_context2(&raw, nullptr, "asf", nullptr);
  if (err < 0 || raw == nullptr) return FromAv(err);
  m_fmt.reset(raw);
  // No content attributes: not even the encoder's name.
  m_fmt->flags |= AVFMT_FLAG_BITEXACT;
  if (m_fmt->oformat->flags & AVFMT_GLOBALHEADER) m_codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  if ((err = avcodec_open2(m_codec.get(), codec, nullptr)) < 0) return FromAv(err);
  m_frameSize = m_codec->frame_size;
  if (m_frameSize <= 0) return E_FAIL;

  m_stream = avformat_new_stream(m_fmt.get(), nullptr);
  if (m_stream == nullptr) return E_OUTOFMEMORY;
  if ((err = avcodec_parameters_from_context(m_stream->codecpar, m_codec.get())) < 0) return FromAv(err);
  m_stream->time_base = m_codec->time_base;

  // Resampler: interleaved 16-bit in, the codec's planar float out. One
  // channel becomes two equal ones; two become their mean, which keeps a
  // centred sound's level and can never clip.
  AVChannelLayout inLayout{};
  av_channel_layout_default(&inLayout, in.channels);
  SwrContext* swr = nullptr;
  err = swr_alloc_set_opts2(&swr, &m_codec->ch_layout, AV_SAMPLE_FMT_FLTP, m_codec->sample_rate, &inLayout,
                            AV_SAMPLE_FMT_S16, static_cast<int>(in.rate), 0, nullptr);
  av_channel_layout_uninit(&inLayout);
  if (err < 0 || swr == nullptr) return FromAv(err);
  m_swr.reset(swr);
  if (in.channels != out.channels) {
    static const double kUpmix[2] = {1.0, 1.0};      // out L, out R from the one input
    static const double kDownmix[2] = {0.5, 0.5};    // the one output from in L, in R
    err = swr_set_matrix(m_swr.get(), in.channels == 1 ? kUpmix : kDownmix, in.channels);
    if (err < 0) return FromAv(err);
  }
  if ((err = swr_init(m_swr.get())) < 0) return FromAv(err);

  m_frame->format = AV_SAMPLE_FMT_FLTP;
  m_frame->sample_rate = m_codec->sample_rate;
  m_frame->nb_samples = m_frameSize;
  if ((err = av_channel_layout_copy(&m_frame->ch_layout, &m_codec->ch_layout)) < 0) return FromAv(err);
  if ((err = av_frame_get_buffer(m_frame.get(), 0)) < 0) return FromAv(err);

  if ((err = avio_open(&m_fmt->pb, path.c_str(), AVIO_FLAG_WRITE)) < 0) return FromAv(err);
  if ((err = avformat_write_header(m_fmt.get(), nullptr)) < 0) return FromAv(err);
  return S_OK;
}

HRESULT AudioEncoder::Write(const std::uint8_t* pcm, std::size_t frames) {
  // Pieces of at most 65536 frames keep the plane buffers bounded whatever
  // size a caller's sample has.
  constexpr std::size_t kPiece = 1 << 16;
  while (frames > 0) {
    const std::size_t n = std::min(frames, kPiece);
    int converted = 0;
    HRESULT hr = Convert(pcm, static_cast<int>(n), &converted);
    if (SUCCEEDED(hr)) hr = Feed(converted);
    if (FAILED(hr)) return hr;
    pcm += n * m_inBlockAlign;
    frames -= n;
  }
  return S_OK;
}

// Converts `frames` input frames (none: flushes the resampler) into the
// plane buffers.
HRESULT AudioEncoder::Convert(const std::uint8_t* pcm, int frames, int* converted) {
  const int needed = swr_get_out_samples(m_swr.get(), frames);
  if (needed < 0) return E_FAIL;
  if (needed > m_planeCapacity) {
    for (int c = 0; c < m_channels; ++c) m_planes[c].resize(static_cast<std::size_t>(needed));
    m_planeCapacity = needed;
  }
  std::uint8_t* out[2] = {reinterpret_cast<std::uint8_t*>(m_planes[0].data()),
                          reinterpret_cast<std::uint8_t*>(m_planes[m_channels - 1].data())};
  const std::uint8_t* in[1] = {pcm};
  const int n = swr_convert(m_swr.get(), out, m_planeCapacity, pcm != nullptr ? in : nullptr, frames);
  if (n < 0) return FromAv(n);
  *converted = n;
  return S_OK;
}

// Moves converted samples into the encoder's frames, encoding each full one.
HRESULT AudioEncoder::Feed(int converted) {
  int done = 0;
  while (done < converted) {
    if (m_filled == 0) {
      const int err = av_frame_make_writable(m_frame.get());
      if (err < 0) return FromAv(err);
    }
    const int n = std::min(converted - done, m_frameSize - m_filled);
    for (int c = 0; c < m_channels; ++c) {
      std::memcpy(reinterpret_cast<float*>(m_frame->extended_data[c]) + m_filled,
                  m_planes[c].data() + done, static_cast<std::size_t>(n) * sizeof(float));
    }
    m_filled += n;
    done += n;
    if (m_filled == m_frameSize) {
      const HRESULT hr = EncodeFrame(m_frame.get());
      if (FAILED(hr)) return hr;
    }
  }
  return S_OK;
}

HRESULT AudioEncoder::EncodeFrame(AVFrame* frame) {
  if (frame != nullptr) {
    frame->nb_samples = m_filled;
    frame->pts = m_pts;
    m_pts += m_filled;
    m_filled = 0;
  }
  int err = avcodec_send_frame(m_codec.get(), frame);
  if (frame != nullptr) frame->nb_samples = m_frameSize;
  if (err < 0) return FromAv(err);
  return Drain();
}

HRESULT AudioEncoder::Drain() {
  for (;;) {
    int err = avcodec_receive_packet(m_codec.get(), m_packet.get());
    if (err == AVERROR(EAGAIN) || err == AVERROR_EOF) return S_OK;
    if (err < 0) return FromAv(err);
    av_packet_rescale_ts(m_packet.get(), m_codec->time_base, m_stream->time_base);
    m_packet->stream_index = m_stream->index;
    err = av_write_frame(m_fmt.get(), m_packet.get());
    av_packet_unref(m_packet.get());
    if (err < 0) return FromAv(err);
  }
}

HRESULT AudioEncoder::Finish() {
  HRESULT hr = S_OK;
  // What the resampler still holds (its filter's delay), then the last,
  // shorter frame (the encoder pads it), then the encoder's own end.
  for (int converted = 1; SUCCEEDED(hr) && converted > 0;) {
    hr = Convert(nullptr, 0, &converted);
    if (SUCCEEDED(hr)) hr = Feed(converted);
  }
  if (SUCCEEDED(hr) && m_filled > 0) hr = EncodeFrame(m_frame.get());
  if (SUCCEEDED(hr)) hr = EncodeFrame(nullptr);
  if (SUCCEEDED(hr)) {
    const int err = av_write_trailer(m_fmt.get());
    if (err < 0) hr = FromAv(err);
  }
  if (SUCCEEDED(hr) && m_fmt->pb->error < 0) hr = FromAv(m_fmt->pb->error);
  const int closed = avio_closep(&m_fmt->pb);
  if (SUCCEEDED(hr) && closed < 0) hr = FromAv(closed);
  return hr;
}

// ---------------------------------------------------------------------------

// Syncs a closed file and renames it; then syncs its folder. False when the
// file may not survive a power cut: the track it was made from is kept then.
bool CommitFile(const std::string& temp, const std::string& path) {
  {
    UniqueFd fd(::open(temp.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd || ::fsync(fd.Get()) != 0) return false;
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) return false;
  return SyncFolderOf(path);
}

class Writer final : public RefCounted<IWMWriter> {
 public:
  ~Writer() override { Discard(); }

  // One input per kind of stream, in the order of the profile's streams.
  HRESULT SetProfile(IWMProfile* profile) override {
    if (profile == nullptr) return E_POINTER;
    if (m_state != State::Idle) return E_UNEXPECTED;
    DWORD count = 0;
    HRESULT hr = profile->GetStreamCount(&count);
    if (FAILED(hr)) return hr;
    std::vector<ComPtr<InputProps>> inputs;
    AudioTarget target;
    bool haveAudio = false;
    for (DWORD i = 0; i < count; ++i) {
      WM_STREAM_DESC stream{};
      if (FAILED(hr = profile->GetStream(i, &stream))) return hr;
      if (stream.majortype == WMMEDIATYPE_Audio && !haveAudio) {
        if (stream.wFormatTag != WAVE_FORMAT_WMAUDIO2) return E_FAIL;
        target = AudioTarget{stream.nSamplesPerSec, stream.nChannels, stream.dwBitrate};
        haveAudio = true;
      }
      const bool known = std::any_of(inputs.begin(), inputs.end(),
                                     [&](const ComPtr<InputProps>& in) { return in->Kind() == stream.majortype; });
      if (known) continue;
      auto* props = new (std::nothrow) InputProps(stream.majortype);
      if (props == nullptr) return E_OUTOFMEMORY;
      inputs.emplace_back(props);
    }
    m_inputs = std::move(inputs);
    m_target = target;
    m_audioInput = -1;
    return S_OK;
  }

  HRESULT SetOutputFilename(const WCHAR* filename) override {
    if (filename == nullptr) return E_POINTER;
    if (m_state != State::Idle) return E_UNEXPECTED;
    m_path = WideCharToMultiByte(filename);
    return m_path.empty() ? E_FAIL : S_OK;
  }

  HRESULT GetInputCount(DWORD* count) override {
    if (count == nullptr) return E_POINTER;
    *count = static_cast<DWORD>(m_inputs.size());
    return S_OK;
  }

  // A fresh copy of the input's properties, as the platform hands them out.
  HRESULT GetInputProps(DWORD inputNum, IWMInputMediaProps** input) override {
    if (input == nullptr) return E_POINTER;
    *input = nullptr;
    if (inputNum >= m_inputs.size()) return E_FAIL;
    auto* props = new (std::nothrow) InputProps(m_inputs[inputNum]->Kind());
    if (props == nullptr) return E_OUTOFMEMORY;
    *input = props;
    return S_OK;
  }

  HRESULT SetInputProps(DWORD inputNum, IWMInputMediaProps* input) override {
    if (input == nullptr) return E_POINTER;
    if (inputNum >= m_inputs.size() || m_state != State::Idle) return E_UNEXPECTED;
    // Only properties this writer handed out carry a media type it can read.
    auto* props = dynamic_cast<InputProps*>(input);
    if (props == nullptr || !(props->Kind() == m_inputs[inputNum]->Kind()) || !props->Typed()) return E_FAIL;
    props->AddRef();
    m_inputs[inputNum] = ComPtr<InputProps>(props);
    if (props->Kind() == WMMEDIATYPE_Audio) m_audioInput = static_cast<int>(inputNum);
    return S_OK;
  }

  HRESULT BeginWriting() override {
    if (m_state != State::Idle || m_path.empty() || m_audioInput < 0) return E_UNEXPECTED;
    m_temp = m_path + ".tmp";
    ::unlink(m_temp.c_str());
    m_encoder = std::make_unique<AudioEncoder>();
    m_state = State::Writing;
    const HRESULT hr = m_encoder->Open(m_temp, m_inputs[static_cast<std::size_t>(m_audioInput)]->Pcm(), m_target);
    if (FAILED(hr)) {
      Discard();
      m_state = State::Failed;
    }
    return hr;
  }

  HRESULT AllocateSample(DWORD size, INSSBuffer** sample) override {
    if (sample == nullptr) return E_POINTER;
    *sample = nullptr;
    auto* object = new (std::nothrow) Sample(m_pool, m_pool->Take(size));
    if (object == nullptr) return E_OUTOFMEMORY;
    *sample = object;
    return S_OK;
  }

  // The sample is encoded before this returns; the caller may release it
  // at once. A failure is kept and reported again by EndWriting, so a write
  // that went wrong can never end in a file that looks whole.
  HRESULT WriteSample(DWORD inputNum, QWORD /*sampleTime*/, DWORD /*flags*/, INSSBuffer* sample) override {
    if (sample == nullptr) return E_POINTER;
    if (m_state != State::Writing) return E_UNEXPECTED;
    if (static_cast<int>(inputNum) != m_audioInput) return E_FAIL;  // no other stream is written
    if (FAILED(m_writeStatus)) return m_writeStatus;
    BYTE* data = nullptr;
    DWORD length = 0;
    HRESULT hr = sample->GetBufferAndLength(&data, &length);
    if (SUCCEEDED(hr)) {
      const PcmFormat& pcm = m_inputs[static_cast<std::size_t>(m_audioInput)]->Pcm();
      hr = length % pcm.blockAlign != 0 ? E_FAIL : m_encoder->Write(data, length / pcm.blockAlign);
    }
    if (FAILED(hr)) m_writeStatus = hr;
    return hr;
  }

  HRESULT EndWriting() override {
    if (m_state != State::Writing) return E_UNEXPECTED;
    HRESULT hr = m_writeStatus;
    if (SUCCEEDED(hr)) hr = m_encoder->Finish();
    m_encoder.reset();
    if (SUCCEEDED(hr) && !CommitFile(m_temp, m_path)) hr = E_FAIL;
    if (FAILED(hr)) {
      ::unlink(m_temp.c_str());
      m_state = State::Failed;
    } else {
      m_state = State::Ended;
    }
    m_temp.clear();
    return hr;
  }

 private:
  enum class State { Idle, Writing, Ended, Failed };

  // Drops an unfinished file.
  void Discard() {
    m_encoder.reset();
    if (!m_temp.empty()) ::unlink(m_temp.c_str());
    m_temp.clear();
  }

  State m_state = State::Idle;
  std::vector<ComPtr<InputProps>> m_inputs;
  int m_audioInput = -1;
  AudioTarget m_target;
  std::string m_path;
  std::string m_temp;
  std::unique_ptr<AudioEncoder> m_encoder;
  HRESULT m_writeStatus = S_OK;
  std::shared_ptr<BufferPool> m_pool = std::make_shared<BufferPool>();
};

}  // namespace

HRESULT WMCreateWriter(IUnknown* /*reserved*/, IWMWriter** writer) {
  if (writer == nullptr) return E_POINTER;
  *writer = new (std::nothrow) Writer();
  return *writer != nullptr ? S_OK : E_OUTOFMEMORY;
}

}  // namespace mivo::platform::wm
