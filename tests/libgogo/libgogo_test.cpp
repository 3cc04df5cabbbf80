// The real encoder library through the bridge: generated tones encoded at
// several settings and checked with ffprobe and by reading the frames back;
// the WAV and RMP containers; inputs and settings it must refuse.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "convert/progress.h"
#include "encode/gogo_dll.h"
#include "encode/recording_progress.h"
#include "platform/ui/headless/headless_host.h"
#include "settings/recorder_settings.h"
#include "support/probe.h"
#include "support/temp_folder.h"

namespace mivo {
namespace {

namespace fs = std::filesystem;
using testing::ProbeFields;
using testing::ReadBytes;
using testing::RecordingProgress;
using testing::Shell;
using testing::TempFolder;
using testing::WriteBytes;

// ---- inputs ----

void Put16(std::string& s, unsigned v) {
  s += static_cast<char>(v & 0xFF);
  s += static_cast<char>((v >> 8) & 0xFF);
}
void Put32(std::string& s, std::uint32_t v) {
  Put16(s, v & 0xFFFF);
  Put16(s, v >> 16);
}

struct Tone {
  int rate = 44100;
  int channels = 2;
  double seconds = 2.0;
  double freq = 0;  // 0: the test signal (tones with bursts of noise)
};

// 16-bit samples: left 440 Hz, right 660 Hz, with noise every other
// quarter second so that a variable bit rate varies; or one sine of `freq`.
std::string Samples(const Tone& t) {
  const auto frames = static_cast<std::size_t>(t.rate * t.seconds);
  std::string pcm;
  pcm.reserve(frames * static_cast<std::size_t>(t.channels) * 2);
  std::uint32_t seed = 12345;
  for (std::size_t i = 0; i < frames; ++i) {
    const double time = static_cast<double>(i) / t.rate;
    seed = seed * 1664525u + 1013904223u;
    const double noise = (static_cast<double>(seed >> 8) / (1u << 24) - 0.5) *
                         ((static_cast<int>(time * 4) % 2) != 0 ? 0.5 : 0.0);
    for (int c = 0; c < t.channels; ++c) {
      double v = t.freq > 0 ? 0.5 * std::sin(2 * M_PI * t.freq * time)
                            : 0.3 * std::sin(2 * M_PI * (c == 0 ? 440.0 : 660.0) * time) + noise;
      Put16(pcm, static_cast<std::uint16_t>(static_cast<std::int16_t>(std::lround(v * 32767))));
    }
  }
  return pcm;
}

// A WAVE file of the 46-byte (fmt chunk of 18) or 44-byte (16) form.
std::string Wav(const std::string& pcm, int rate, int channels, int form = 46, int bits = 16, int tag = 1) {
  const std::uint32_t fmtSize = form == 46 ? 18 : 16;
  std::string w = "RIFF";
  Put32(w, static_cast<std::uint32_t>(pcm.size() + 20 + fmtSize));
  w += "WAVEfmt ";
  Put32(w, fmtSize);
  Put16(w, static_cast<unsigned>(tag));
  Put16(w, static_cast<unsigned>(channels));
  Put32(w, static_cast<std::uint32_t>(rate));
  Put32(w, static_cast<std::uint32_t>(rate * channels * bits / 8));
  Put16(w, static_cast<unsigned>(channels * bits / 8));
  Put16(w, static_cast<unsigned>(bits));
  if (form == 46) Put16(w, 0);
  w += "data";
  Put32(w, static_cast<std::uint32_t>(pcm.size()));
  return w + pcm;
}

// ---- outputs ----

std::map<std::string, std::string> Probe(const std::string& path) {
  return ProbeFields(path, "stream=codec_name,sample_rate,channels,bit_rate,duration,start_time");
}

struct Frame {
  int version;  // 1, 2, or 25 (MPEG-2.5)
  int kbps, rate, mode, modeExt, emphasis, size;
  std::size_t offset;
};

// Every frame header of an MP3 stream, walking frame by frame from its start.
std::vector<Frame> Frames(const std::string& s) {
  static const int kRates[3][3] = {{44100, 48000, 32000}, {22050, 24000, 16000}, {11025, 12000, 8000}};
  static const int kV1[15] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
  static const int kV2[15] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160};
  std::vector<Frame> frames;
  std::size_t i = 0;
  while (i + 4 <= s.size()) {
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]); };
    if (b(0) != 0xFF || (b(1) & 0xE0) != 0xE0 || ((b(1) >> 1) & 3) != 1) break;  // layer III sync
    const int v = (b(1) >> 3) & 3;
    const int version = v == 3 ? 1 : v == 2 ? 2 : 25;
    const int bi = (b(2) >> 4) & 15, si = (b(2) >> 2) & 3;
    if (v == 1 || bi == 0 || bi == 15 || si == 3) break;
    Frame f;
    f.version = version;
    f.kbps = version == 1 ? kV1[bi] : kV2[bi];
    f.rate = kRates[version == 1 ? 0 : version == 2 ? 1 : 2][si];
    f.mode = b(3) >> 6;
    f.modeExt = (b(3) >> 4) & 3;
    f.emphasis = b(3) & 3;
    f.size = (version == 1 ? 144 : 72) * f.kbps * 1000 / f.rate + ((b(2) >> 1) & 1);
    f.offset = i;
    frames.push_back(f);
    i += static_cast<std::size_t>(f.size);
  }
  return frames;
}

std::string TagOf(const std::string& s, const Frame& f) {
  const std::string first = s.substr(f.offset, static_cast<std::size_t>(f.size));
  if (first.find("Xing") != std::string::npos) return "Xing";
  if (first.find("Info") != std::string::npos) return "Info";
  return "";
}

std::uint32_t Le32(const std::string& s, std::size_t at) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(s[at])) |
         static_cast<std::uint32_t>(static_cast<unsigned char>(s[at + 1])) << 8 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(s[at + 2])) << 16 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(s[at + 3])) << 24;
}
unsigned Le16(const std::string& s, std::size_t at) {
  return static_cast<unsigned>(static_cast<unsigned char>(s[at]) | static_cast<unsigned char>(s[at + 1]) << 8);
}

struct Chunk {
  std::string id;
  std::size_t offset;  // of the chunk's data
  std::uint32_t size;
};
std::vector<Chunk> RiffChunks(const std::string& s) {
  std::vector<Chunk> chunks;
  for (std::size_t at = 12; at + 8 <= s.size();) {
    const std::uint32_t size = Le32(s, at + 4);
    chunks.push_back(Chunk{s.substr(at, 4), at + 8, size});
    at += 8 + size + (size & 1u);
  }
  return chunks;
}

// Decoded 16-bit samples of a file, through ffmpeg.
std::vector<std::int16_t> Decode(const std::string& path) {
  const std::string raw = Shell("ffmpeg -v error -i '" + path + "' -f s16le -ac 1 - 2>/dev/null");
  std::vector<std::int16_t> samples(raw.size() / 2);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    samples[i] = static_cast<std::int16_t>(Le16(raw, 2 * i));
  }
  return samples;
}

double Rms(const std::vector<std::int16_t>& samples, std::size_t skip) {
  double sum = 0;
  std::size_t n = 0;
  for (std::size_t i = skip; i + skip < samples.size(); ++i, ++n) sum += double(samples[i]) * samples[i];
  return n ? std::sqrt(sum / n) : 0;
}

class LibgogoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_tmp.Ok());
    GogoSearch search;
    search.libraryName = MIVO_LIBGOGO_PATH;
    search.registryPath = m_tmp.PathOf("no-registry");
    ASSERT_EQ(LoadGogoDll(m_dll, search), kGogoLoaded) << m_dll.strLoadError;
  }
  void TearDown() override { FreeGogoDll(m_dll); }

  std::string Input(const Tone& t, int form = 46, const std::string& name = "music001.wav") {
    const std::string path = m_tmp.PathOf(name);
    WriteBytes(path, Wav(Samples(t), t.rate, t.channels, form));
    return path;
  }

  bool Encode(const std::string& in, const std::string& out, const RecorderSettings& s) {
    m_progress = RecordingProgress{};
    return EncodeMp3(m_dll, m_host, in, out, s, m_progress);
  }

  // Names in the temporary folder other than `keep`.
  std::set<std::string> Others(const std::set<std::string>& keep) {
    std::set<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(m_tmp.Dir())) {
      const std::string n = fs::relative(e.path(), m_tmp.Dir()).string();
      if (!keep.count(n)) names.insert(n);
    }
    return names;
  }

  TempFolder m_tmp;
  GogoDll m_dll;
  ui::HeadlessHost m_host;
  RecordingProgress m_progress;
};

TEST_F(LibgogoTest, EncodesTonesAsTheSettingsSay) {
  struct Case {
    const char* what;
    Tone tone;
    std::function<void(RecorderSettings&)> set;
    int rate, channels, mode, kbps, emphasis;  // header mode: 0 stereo, 1 joint, 2 dual, 3 mono; kbps 0 = VBR
  } cases[] = {
      {"defaults: joint stereo, 128", {}, [](RecorderSettings&) {}, 44100, 2, 1, 128, 0},
      {"mono 64", {}, [](RecorderSettings& s) { s.MC_ENCODEMODE = 0; s.MC_BITRATE = 64; }, 44100, 1, 3, 64, 0},
      {"stereo 192, 50/15 emphasis",
       {}, [](RecorderSettings& s) { s.MC_ENCODEMODE = 1; s.MC_BITRATE = 192; s.MC_EMPHASIS = 1; },
       44100, 2, 0, 192, 1},
      {"mid/side 160, CCITT emphasis",
       {}, [](RecorderSettings& s) { s.MC_ENCODEMODE = 3; s.MC_BITRATE = 160; s.MC_EMPHASIS = 2; },
       44100, 2, 1, 160, 3},
      {"dual channel 256", {}, [](RecorderSettings& s) { s.MC_ENCODEMODE = 4; s.MC_BITRATE = 256; }, 44100, 2, 2, 256, 0},
      {"VBR quality 2 with psychoacoustics",
       {}, [](RecorderSettings& s) { s.MC_BOOL_VBR = 1; s.MC_VBR = 2; s.MC_USEPSY = 1; }, 44100, 2, 1, 0, 0},
      {"forced 22050 Hz at 64", {},
       [](RecorderSettings& s) { s.MC_BOOL_OUTFREQ = 1; s.MC_OUTFREQ = 22050; s.MC_BITRATE = 64; }, 22050, 2, 1, 64, 0},
      {"48 kHz kept", {48000}, [](RecorderSettings&) {}, 48000, 2, 1, 128, 0},
      {"48 kHz forced to 44100", {48000},
       [](RecorderSettings& s) { s.MC_BOOL_OUTFREQ = 1; s.MC_OUTFREQ = 44100; }, 44100, 2, 1, 128, 0},
      {"mono input", {44100, 1}, [](RecorderSettings&) {}, 44100, 1, 3, 128, 0},
      {"forced rate ignored while not asked", {32000},
       [](RecorderSettings& s) { s.MC_BOOL_OUTFREQ = 0; s.MC_OUTFREQ = 8000; s.MC_BITRATE = 96; }, 32000, 2, 1, 96, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string in = Input(c.tone);
    const std::string out = m_tmp.PathOf("music001.mp3");
    RecorderSettings s;
    c.set(s);
    ASSERT_TRUE(Encode(in, out, s));
    EXPECT_TRUE(m_host.Boxes().empty());

    const auto probe = Probe(out);
    EXPECT_EQ(probe.at("codec_name"), "mp3");
    EXPECT_EQ(probe.at("sample_rate"), std::to_string(c.rate));
    EXPECT_EQ(probe.at("channels"), std::to_string(c.channels));
    if (c.kbps != 0) {
      EXPECT_EQ(probe.at("bit_rate"), std::to_string(c.kbps * 1000));
    }
    // The stream's length without the encoder's delay, within one frame.
    const double frameSeconds = (c.rate >= 32000 ? 1152.0 : 576.0) / c.rate;
    const double length = std::stod(probe.at("duration")) - std::stod(probe.at("start_time"));
    EXPECT_NEAR(length, c.tone.seconds, frameSeconds);

    const std::string bytes = ReadBytes(out);
    const auto frames = Frames(bytes);
    ASSERT_GT(frames.size(), 2u);
    EXPECT_EQ(frames.back().offset + static_cast<std::size_t>(frames.back().size), bytes.size()) << "no tail";
    EXPECT_EQ(TagOf(bytes, frames[0]), c.kbps == 0 ? "Xing" : "Info");
    // The job's frame count is what the file holds after its tag frame, and
    // the progress stage had one unit per frame.
    EXPECT_EQ(m_progress.stageUnits, static_cast<std::int64_t>(frames.size() - 1));
    EXPECT_EQ(m_progress.advances, m_progress.stageUnits);
    std::set<int> rates;
    for (std::size_t i = 1; i < frames.size(); ++i) {
      const Frame& f = frames[i];
      EXPECT_EQ(f.rate, c.rate);
      EXPECT_EQ(f.mode, c.mode);
      EXPECT_EQ(f.emphasis, c.emphasis);
      if (c.kbps != 0) {
        EXPECT_EQ(f.kbps, c.kbps);
      }
      rates.insert(f.kbps);
      if (std::string(c.what).rfind("mid/side", 0) == 0) {
        EXPECT_EQ(f.modeExt & 2, 2);
      }
    }
    if (c.kbps == 0) {
      EXPECT_GT(rates.size(), 1u);
    }
    EXPECT_EQ(Others({"music001.wav", "music001.mp3"}), std::set<std::string>{});
  }
}

TEST_F(LibgogoTest, LowPassOf16kHzRemovesAnAirTone) {
  Tone t;
  t.freq = 18000;
  t.seconds = 1.0;
  const std::string in = Input(t);
  RecorderSettings s;
  s.MC_BITRATE = 320;  // LAME's own low-pass lies near 20 kHz here
  std::map<int, double> rms;
  for (int lpf : {0, 1}) {
    s.MC_USELPF16 = lpf;
    const std::string out = m_tmp.PathOf("lpf" + std::to_string(lpf) + ".mp3");
    ASSERT_TRUE(Encode(in, out, s));
    rms[lpf] = Rms(Decode(out), 4096);
  }
  EXPECT_GT(rms[0], 5000.0);
  EXPECT_LT(rms[1], rms[0] * 0.05);
}

TEST_F(LibgogoTest, WavContainerHoldsTheStreamWithLayer3Format) {
  const std::string in = Input({});
  const std::string out = m_tmp.PathOf("music001.wav.out");
  RecorderSettings s;
  s.m_GogoSetting.dwOutFmt = 1;
  ASSERT_TRUE(Encode(in, out, s));
  const std::string w = ReadBytes(out);
  ASSERT_GE(w.size(), 70u);
  EXPECT_EQ(w.substr(0, 4), "RIFF");
  EXPECT_EQ(w.substr(8, 4), "WAVE");
  EXPECT_EQ(Le32(w, 4), w.size() - 8);
  const auto chunks = RiffChunks(w);
  ASSERT_EQ(chunks.size(), 3u);
  EXPECT_EQ(chunks[0].id, "fmt ");
  ASSERT_EQ(chunks[0].size, 30u);
  const std::size_t f = chunks[0].offset;
  EXPECT_EQ(Le16(w, f), 0x0055u);        // MPEG layer 3
  EXPECT_EQ(Le16(w, f + 2), 2u);          // channels
  EXPECT_EQ(Le32(w, f + 4), 44100u);      // rate
  EXPECT_EQ(Le32(w, f + 8), 16000u);      // bytes per second at 128 kbit/s
  EXPECT_EQ(Le16(w, f + 12), 1u);         // block alignment
  EXPECT_EQ(Le16(w, f + 16), 12u);        // extra size
  EXPECT_EQ(Le16(w, f + 18), 1u);         // MPEG id
  EXPECT_EQ(Le16(w, f + 24), 417u);       // frame size at 128 kbit/s, 44.1 kHz
  EXPECT_EQ(chunks[1].id, "fact");
  EXPECT_EQ(Le32(w, chunks[1].offset), 88200u);  // samples per channel
  EXPECT_EQ(chunks[2].id, "data");
  EXPECT_EQ(chunks[2].offset + chunks[2].size + (chunks[2].size & 1u), w.size());
  const std::string stream = w.substr(chunks[2].offset, chunks[2].size);
  const auto frames = Frames(stream);
  ASSERT_GT(frames.size(), 2u);
  EXPECT_EQ(TagOf(stream, frames[0]), "");  // no tag frame inside a WAV
  EXPECT_EQ(frames.back().offset + static_cast<std::size_t>(frames.back().size), stream.size());

  const auto probe = Probe(out);
  EXPECT_EQ(probe.at("codec_name"), "mp3");
  EXPECT_EQ(probe.at("sample_rate"), "44100");
  EXPECT_EQ(probe.at("channels"), "2");
}

TEST_F(LibgogoTest, RmpContainerHoldsTheMp3StreamInItsDataChunk) {
  const std::string in = Input({});
  const std::string out = m_tmp.PathOf("music001.rmp");
  RecorderSettings s;
  s.m_GogoSetting.dwOutFmt = 2;
  ASSERT_TRUE(Encode(in, out, s));
  const std::string r = ReadBytes(out);
  ASSERT_GE(r.size(), 20u);
  EXPECT_EQ(r.substr(0, 4), "RIFF");
  EXPECT_EQ(r.substr(8, 4), "RMP3");
  EXPECT_EQ(Le32(r, 4), r.size() - 8);
  const auto chunks = RiffChunks(r);
  ASSERT_EQ(chunks.size(), 1u);
  EXPECT_EQ(chunks[0].id, "data");
  EXPECT_EQ(chunks[0].offset + chunks[0].size + (chunks[0].size & 1u), r.size());

  const std::string mp3 = m_tmp.PathOf("extracted.mp3");
  WriteBytes(mp3, r.substr(chunks[0].offset, chunks[0].size));
  const auto frames = Frames(ReadBytes(mp3));
  ASSERT_GT(frames.size(), 2u);
  EXPECT_EQ(TagOf(ReadBytes(mp3), frames[0]), "Info");
  const auto probe = Probe(mp3);
  EXPECT_EQ(probe.at("codec_name"), "mp3");
  EXPECT_NEAR(std::stod(probe.at("duration")) - std::stod(probe.at("start_time")), 2.0, 1152.0 / 44100);
}

TEST_F(LibgogoTest, HeaderFormsChunksAndSizesGiveTheSameStream) {
  Tone t;
  t.seconds = 1.0;
  const std::string pcm = Samples(t);
  RecorderSettings s;
  std::vector<std::string> outputs;
  auto encode = [&](const std::string& wav) {
    const std::string in = m_tmp.PathOf("in.wav");
    const std::string out = m_tmp.PathOf("out" + std::to_string(outputs.size()) + ".mp3");
    WriteBytes(in, wav);
    EXPECT_TRUE(Encode(in, out, s));
    outputs.push_back(ReadBytes(out));
  };
  encode(Wav(pcm, 44100, 2, 46));
  encode(Wav(pcm, 44100, 2, 44));
  // An odd-sized chunk before fmt and a LIST chunk before data.
  std::string extra = Wav(pcm, 44100, 2, 44);
  extra.insert(12, std::string("junk\x03\x00\x00\x00xyz\x00", 12));
  extra.insert(12 + 12 + 24, std::string("LIST\x04\x00\x00\x00INFO", 12));
  encode(extra);
  // A data size beyond the end of the file (a file cut short): what is there.
  std::string longer = Wav(pcm, 44100, 2, 46);
  longer[44] = '\x7f';
  encode(longer);
  // Sizes never patched (0 and 0, as while recording): the samples are read.
  std::string unpatched = Wav(pcm, 44100, 2, 46);
  for (std::size_t at : {4u, 42u}) unpatched.replace(at, 4, std::string(4, '\0'));
  encode(unpatched);
  ASSERT_EQ(outputs.size(), 5u);
  EXPECT_GT(outputs[0].size(), 1000u);
  for (std::size_t i = 1; i < outputs.size(); ++i) EXPECT_TRUE(outputs[i] == outputs[0]) << i;
}

// Lines the bridge logs.
struct NoteLog : IStepLog {
  void Note(std::string_view line) override { lines.emplace_back(line); }
  std::vector<std::string> lines;
};

TEST_F(LibgogoTest, TakesTheNearestBitRateAndTheDefaultModeAndSaysWhatItChangedOrWhyItFailed) {
  Tone shortTone;
  shortTone.seconds = 0.3;
  const std::string in = Input(shortTone);
  const std::string out = m_tmp.PathOf("music001.mp3");
  // The MP3 dialog offers 192 to 320 kbit/s with every output rate; MPEG-2
  // rates go up to 160 kbit/s.
  for (int rate : {16000, 22050, 24000}) {
    for (int kbps : {192, 224, 256, 320}) {
      SCOPED_TRACE(std::to_string(kbps) + " kbit/s at " + std::to_string(rate) + " Hz");
      RecorderSettings s;
      s.MC_BITRATE = kbps;
      s.MC_BOOL_OUTFREQ = 1;
      s.MC_OUTFREQ = rate;
      NoteLog log;
      ASSERT_TRUE(EncodeMp3(m_dll, m_host, in, out, s, m_progress, &log));
      const auto frames = Frames(ReadBytes(out));
      ASSERT_GT(frames.size(), 2u);
      EXPECT_EQ(frames[1].kbps, 160);
      EXPECT_EQ(frames[1].rate, rate);
      EXPECT_EQ(log.lines, std::vector<std::string>{"MP3: " + std::to_string(kbps) + " kbit/s is not available at " +
                                                    std::to_string(rate) + " Hz; 160 kbit/s is used for " + out});
    }
  }
  // No channel mode chosen in the dialog (-1): the encoder's own, joint stereo.
  RecorderSettings s;
  s.MC_ENCODEMODE = -1;
  NoteLog log;
  ASSERT_TRUE(EncodeMp3(m_dll, m_host, in, out, s, m_progress, &log));
  EXPECT_EQ(Frames(ReadBytes(out))[1].mode, 1);
  EXPECT_EQ(log.lines, std::vector<std::string>{"MP3: no channel mode is chosen (MC_ENCODEMODE=-1); the encoder's "
                                                "default, joint stereo, is used for " + out});
  // A failure says what failed, the system's error and the files.
  log.lines.clear();
  const std::string nowhere = m_tmp.PathOf("no/such/folder/o.mp3");
  EXPECT_FALSE(EncodeMp3(m_dll, m_host, in, nowhere, RecorderSettings{}, m_progress, &log));
  EXPECT_EQ(log.lines, std::vector<std::string>{"MP3 encoding of " + in + " into " + nowhere +
                                                " failed: the output cannot be created, written or put in place: "
                                                "No such file or directory"});
  EXPECT_TRUE(m_host.Boxes().empty());
}

TEST_F(LibgogoTest, RefusedInputsAndSettingsLeaveNoOutput) {
  Tone shortTone;
  shortTone.seconds = 0.5;
  const std::string good = Input(shortTone, 46, "good.wav");
  const std::string pcm = Samples(shortTone);
  auto writeInput = [&](const std::string& name, const std::string& bytes) {
    WriteBytes(m_tmp.PathOf(name), bytes);
    return m_tmp.PathOf(name);
  };
  const std::string garbage = writeInput("garbage.wav", "this is not a wave file at all");
  const std::string eightBit = writeInput("8bit.wav", Wav(std::string(1000, '\x80'), 44100, 1, 46, 8));
  const std::string floats = writeInput("float.wav", Wav(pcm, 44100, 2, 46, 16, 3));
  const std::string noData = writeInput("nodata.wav", Wav(pcm, 44100, 2, 46).substr(0, 38));
  const std::string rate0 = writeInput("rate0.wav", Wav(pcm, 0, 2, 46));
  const std::string noFrames = writeInput("noframes.wav", Wav("", 44100, 2, 46));
  // A FIFO nobody writes to would block the job for ever.
  const std::string fifo = m_tmp.PathOf("fifo.wav");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

  struct Case {
    const char* what;
    std::string in;
    std::string out;
    std::function<void(RecorderSettings&)> set;
    std::size_t boxes;
  } cases[] = {
      {"missing input", m_tmp.PathOf("missing.wav"), m_tmp.PathOf("o.mp3"), [](RecorderSettings&) {}, 1},
      {"not a WAVE file", garbage, m_tmp.PathOf("o.mp3"), [](RecorderSettings&) {}, 0},
      {"8-bit samples", eightBit, m_tmp.PathOf("o.mp3"), [](RecorderSettings&) {}, 0},
      {"float samples", floats, m_tmp.PathOf("o.mp3"), [](RecorderSettings&) {}, 0},
      {"no data chunk", noData, m_tmp.PathOf("o.mp3"), [](RecorderSettings&) {}, 0},
      {"sample rate 0", rate0, m_tmp.PathOf("o.mp3"), [](RecorderSettings&) {}, 0},
      {"no frames", noFrames, m_tmp.PathOf("o.mp3"), [](RecorderSettings&) {}, 0},
      {"a FIFO", fifo, m_tmp.PathOf("o.mp3"), [](RecorderSettings&) {}, 0},
      {"output folder missing", good, m_tmp.PathOf("no/such/folder/o.mp3"), [](RecorderSettings&) {}, 0},
      {"output rate MP3 lacks", good, m_tmp.PathOf("o.mp3"),
       [](RecorderSettings& s) { s.MC_BOOL_OUTFREQ = 1; s.MC_OUTFREQ = 12345; }, 0},
      {"channel mode 5", good, m_tmp.PathOf("o.mp3"), [](RecorderSettings& s) { s.MC_ENCODEMODE = 5; }, 0},
      {"bit rate not in MP3", good, m_tmp.PathOf("o.mp3"), [](RecorderSettings& s) { s.MC_BITRATE = 100; }, 0},
      {"VBR quality 10", good, m_tmp.PathOf("o.mp3"), [](RecorderSettings& s) { s.MC_BOOL_VBR = 1; s.MC_VBR = 10; }, 0},
      {"emphasis 3", good, m_tmp.PathOf("o.mp3"), [](RecorderSettings& s) { s.MC_EMPHASIS = 3; }, 0},
      {"output is the input", good, good, [](RecorderSettings&) {}, 0},
  };
  const std::string goodBytes = ReadBytes(good);
  const std::set<std::string> inputs = {"good.wav",  "garbage.wav",  "8bit.wav", "float.wav",
                                        "nodata.wav", "rate0.wav", "noframes.wav", "fifo.wav"};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    m_host.ClearBoxes();
    RecorderSettings s;
    c.set(s);
    EXPECT_FALSE(Encode(c.in, c.out, s));
    EXPECT_EQ(m_host.Boxes().size(), c.boxes);
    EXPECT_EQ(Others(inputs), std::set<std::string>{});  // nothing written, no temporary file left
    EXPECT_EQ(ReadBytes(good), goodBytes);
  }

  // A failed job leaves an existing output as it was.
  const std::string existing = m_tmp.PathOf("kept.mp3");
  WriteBytes(existing, "an older file");
  EXPECT_FALSE(Encode(garbage, existing, RecorderSettings{}));
  EXPECT_EQ(ReadBytes(existing), "an older file");
  // And a good one replaces it.
  EXPECT_TRUE(Encode(good, existing, RecorderSettings{}));
  EXPECT_EQ(Probe(existing).at("codec_name"), "mp3");
}

TEST_F(LibgogoTest, EntryPointsOutsideTheBridgeOrder) {
  // No job: every job call fails and nothing is created.
  EXPECT_EQ(m_dll.MPGE_processFrame(), static_cast<std::uint32_t>(MPGE_ERR_NO_JOB));
  std::uint32_t frames = 7;
  EXPECT_EQ(m_dll.MPGE_getConfigure(MPGE_CFG_FRAME_COUNT, &frames), static_cast<std::uint32_t>(MPGE_ERR_NO_JOB));
  EXPECT_EQ(m_dll.MPGE_endCoder(), static_cast<std::uint32_t>(MPGE_ERR_NO_JOB));

  // A job given up before its end removes its partial output.
  const std::string in = Input({});
  const std::string out = m_tmp.PathOf("partial.mp3");
  ASSERT_EQ(m_dll.MPGE_initializeWork(), 0u);
  EXPECT_EQ(m_dll.MPGE_setConfigure(MPGE_CFG_INPUT_FILE, 0, reinterpret_cast<std::uintptr_t>(in.c_str())), 0u);
  EXPECT_EQ(m_dll.MPGE_setConfigure(MPGE_CFG_OUTPUT_FILE, 0, reinterpret_cast<std::uintptr_t>(out.c_str())), 0u);
  EXPECT_EQ(m_dll.MPGE_setConfigure(99, 1, 0), static_cast<std::uint32_t>(MPGE_ERR_UNKNOWN_ID));
  ASSERT_EQ(m_dll.MPGE_getConfigure(MPGE_CFG_FRAME_COUNT, &frames), 0u);
  EXPECT_GT(frames, 10u);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(m_dll.MPGE_processFrame(), 0u);
  // Too late for options: the job fails rather than ignore it.
  EXPECT_NE(m_dll.MPGE_setConfigure(MPGE_CFG_BITRATE, 64, 0), 0u);
  const std::uint32_t r = m_dll.MPGE_processFrame();
  EXPECT_NE(r, 0u);
  EXPECT_NE(r, 1u);
  EXPECT_EQ(m_dll.MPGE_closeCoder(), 0u);
  EXPECT_EQ(m_dll.MPGE_endCoder(), 0u);
  EXPECT_EQ(Others({"music001.wav"}), std::set<std::string>{});

  std::uint32_t code = 0;
  char text[MPGE_VERSION_TEXT_SIZE];
  ASSERT_EQ(GetGogoVersion(m_dll, &code, text), 0u);
  EXPECT_EQ(code, 0x0100u);
  EXPECT_EQ(std::string(text).rfind("libgogo 1.00 (LAME 3.", 0), 0u) << text;
  EXPECT_EQ(GogoEncoderInfo(m_dll), std::string("午後のこ～だ\r\n") + text);
  EXPECT_NE(m_dll.MPGE_getVersion(nullptr, text), 0u);
  std::uint32_t units = 0;
  EXPECT_EQ(m_dll.MPGE_getUnitStates(&units), 0u);
#if defined(__x86_64__)
  EXPECT_NE(units & MPGE_UNIT_SSE2, 0u);
#endif
}

TEST(LibgogoLibrary, ExportsExactlyTheNineEntryPointsAndIsFoundByName) {
  std::istringstream in(Shell(std::string("nm -D --defined-only '") + MIVO_LIBGOGO_PATH + "'"));
  std::set<std::string> names;
  for (std::string line; std::getline(in, line);) {
    const auto space = line.rfind(' ');
    if (space != std::string::npos) names.insert(line.substr(space + 1));
  }
  EXPECT_EQ(names, (std::set<std::string>{"MPGE_initializeWork", "MPGE_setConfigure", "MPGE_getConfigure",
                                          "MPGE_detectConfigure", "MPGE_processFrame", "MPGE_closeCoder",
                                          "MPGE_endCoder", "MPGE_getVersion", "MPGE_getUnitStates"}));

  // The plain name through the program's RUNPATH, as the recorder loads it.
  TempFolder tmp;
  GogoSearch search;
  search.registryPath = tmp.PathOf("registry");
  GogoDll dll;
  ASSERT_EQ(LoadGogoDll(dll, search), kGogoLoaded) << dll.strLoadError;
  // (Under AddressSanitizer the search misses the RUNPATH: then by its path in lib/ beside bin/.)
  const std::string bundled = std::filesystem::path(MIVO_LIBGOGO_PATH).lexically_normal().string();
  EXPECT_TRUE(dll.strLoadedFrom == "libgogo.so" || dll.strLoadedFrom == bundled) << dll.strLoadedFrom;
  FreeGogoDll(dll);
}

}  // namespace
}  // namespace mivo
