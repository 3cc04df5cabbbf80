// libmivo_wma.so: PCM in, WMA in ASF out, through FFmpeg.
//
// 16-bit PCM samples go through libswresample to the codec's sample format,
// rate and channels, are cut into the encoder's fixed frames (carried over
// from one write to the next), encoded by libavcodec's WMA encoder and muxed
// by libavformat's ASF muxer. Only this file sees FFmpeg; the writer loads
// the module when it begins writing.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "platform/wm/wma_codec.h"

namespace mivo::platform::wm {
namespace {

HRESULT FromAv(int err) { return err == AVERROR(ENOMEM) ? E_OUTOFMEMORY : E_FAIL; }

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

class AudioEncoder {
 public:
  HRESULT Open(const char* path, const WmaPcmFormat& in, const WmaTarget& out);
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

HRESULT AudioEncoder::Open(const char* path, const WmaPcmFormat& in, const WmaTarget& out) {
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

  if ((err = avio_open(&m_fmt->pb, path, AVIO_FLAG_WRITE)) < 0) return FromAv(err);
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

}  // namespace

// The table's entry points.
struct WmaCodec {
  AudioEncoder encoder;
};

namespace {

HRESULT Open(const char* path, const WmaPcmFormat* in, const WmaTarget* out, WmaCodec** codec) {
  if (codec == nullptr) return E_POINTER;
  *codec = nullptr;
  if (path == nullptr || in == nullptr || out == nullptr) return E_POINTER;
  std::unique_ptr<WmaCodec> made(new (std::nothrow) WmaCodec());
  if (!made) return E_OUTOFMEMORY;
  const HRESULT hr = made->encoder.Open(path, *in, *out);
  if (SUCCEEDED(hr)) *codec = made.release();
  return hr;
}

HRESULT Write(WmaCodec* codec, const std::uint8_t* pcm, std::size_t frames) {
  if (codec == nullptr || (pcm == nullptr && frames > 0)) return E_POINTER;
  // The standard library reports a failed allocation by throwing; it never
  // leaves the module.
  try {
    return codec->encoder.Write(pcm, frames);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT Finish(WmaCodec* codec) {
  if (codec == nullptr) return E_POINTER;
  try {
    return codec->encoder.Finish();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

void Close(WmaCodec* codec) { delete codec; }

constexpr WmaCodecApi kApi = {kWmaCodecApiVersion, Open, Write, Finish, Close};

}  // namespace
}  // namespace mivo::platform::wm

extern "C" __attribute__((visibility("default"))) const mivo::platform::wm::WmaCodecApi* mivo_wma_codec_api() {
  return &mivo::platform::wm::kApi;
}
