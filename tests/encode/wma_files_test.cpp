// Real WMA files: generated tracks encoded with representative profiles,
// checked with ffprobe and decoded back with ffmpeg; and the seek index,
// read back and used by ffmpeg.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "convert/track_files.h"
#include "encode/wma_encoder.h"
#include "support/probe.h"
#include "support/temp_folder.h"

namespace mivo {
namespace {

using testing::ProbeFields;
using testing::RecordingProgress;
using testing::Shell;
using testing::TempFolder;

// A tone whose level moves slowly, the same in both channels.
double Tone(double t) { return 0.35 * std::sin(2 * M_PI * 440 * t) * (0.7 + 0.3 * std::sin(2 * M_PI * 1.3 * t)); }

std::vector<std::int16_t> ToneFrames(std::uint32_t rate, std::uint16_t channels, double seconds) {
  const auto frames = static_cast<std::size_t>(rate * seconds);
  std::vector<std::int16_t> s;
  for (std::size_t i = 0; i < frames; ++i) {
    const auto v = static_cast<std::int16_t>(std::lround(Tone(static_cast<double>(i) / rate) * 32767));
    for (int c = 0; c < channels; ++c) s.push_back(v);
  }
  return s;
}

void WriteTone(const std::string& path, std::uint32_t rate, std::uint16_t channels, double seconds) {
  testing::WriteBytes(path, testing::TrackBytes(ToneFrames(rate, channels, seconds),
                                                testing::TrackSpec{0, rate, channels}));
}

std::vector<std::int16_t> Decode(const std::string& path, std::uint32_t rate, const std::string& seek = "") {
  const std::string raw = Shell("ffmpeg -v error " + seek + " -i '" + path + "' -f s16le -ac 1 -ar " +
                                std::to_string(rate) + " - 2>/dev/null");
  std::vector<std::int16_t> s(raw.size() / 2);
  std::memcpy(s.data(), raw.data(), s.size() * 2);
  return s;
}

// The lag (b later than a) in [from, to] at which b best matches a over
// `n` samples from `at`, by normalized correlation on every fourth sample.
int BestLag(const std::vector<std::int16_t>& a, const std::vector<std::int16_t>& b, std::size_t at, std::size_t n,
            int from, int to) {
  int best = from;
  double bestValue = -2;
  for (int lag = from; lag <= to; ++lag) {
    double ab = 0, aa = 0, bb = 0;
    for (std::size_t i = at; i < at + n; i += 4) {
      const long j = static_cast<long>(i) + lag;
      if (j < 0 || static_cast<std::size_t>(j) >= b.size() || i >= a.size()) continue;
      ab += static_cast<double>(a[i]) * b[static_cast<std::size_t>(j)];
      aa += static_cast<double>(a[i]) * a[i];
      bb += static_cast<double>(b[static_cast<std::size_t>(j)]) * b[static_cast<std::size_t>(j)];
    }
    const double value = aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : -1;
    if (value > bestValue) {
      bestValue = value;
      best = lag;
    }
  }
  return best;
}

struct Match {
  double correlation = 0;
  double levelDb = 0;  // b's level over a's
};

Match Compare(const std::vector<std::int16_t>& a, const std::vector<std::int16_t>& b, std::size_t at,
              std::size_t n, int lag) {
  double ab = 0, aa = 0, bb = 0;
  for (std::size_t i = at; i < at + n && i < a.size(); ++i) {
    const long j = static_cast<long>(i) + lag;
    if (j < 0 || static_cast<std::size_t>(j) >= b.size()) break;
    ab += static_cast<double>(a[i]) * b[static_cast<std::size_t>(j)];
    aa += static_cast<double>(a[i]) * a[i];
    bb += static_cast<double>(b[static_cast<std::size_t>(j)]) * b[static_cast<std::size_t>(j)];
  }
  if (aa <= 0 || bb <= 0) return {};
  return Match{ab / std::sqrt(aa * bb), 10 * std::log10(bb / aa)};
}

double Number(const std::map<std::string, std::string>& fields, const std::string& key) {
  const auto it = fields.find(key);
  return it == fields.end() ? -1 : std::atof(it->second.c_str());
}

// ---- profiles ----

struct ProfileCase {
  const char* what;
  int profile;
  bool wma8;
  std::uint32_t sourceRate;
  std::uint16_t sourceChannels;
  int rate, channels, bitrate;
};

TEST(WmaFiles, RepresentativeProfilesGiveWhatTheyNameAndSoundLikeTheSource) {
  const ProfileCase cases[] = {
      {"default of version 4.0", 9, false, 44100, 2, 44100, 2, 96000},
      {"default of version 7.0", 22, true, 44100, 2, 44100, 2, 96000},
      {"mono (FM radio, 7.0)", 17, true, 44100, 2, 22050, 1, 24000},
      {"low rate (voice, 7.0)", 16, true, 44100, 2, 8000, 1, 24000},
      {"video, sound only (4.0; 16 is voice in 7.0)", 16, false, 44100, 2, 22050, 2, 32000},
      {"48 kHz source", 22, true, 48000, 2, 44100, 2, 96000},
      {"32 kHz mono source", 22, true, 32000, 1, 44100, 2, 96000},
  };
  constexpr double kSeconds = 3.0;
  for (const ProfileCase& c : cases) {
    SCOPED_TRACE(c.what);
    TempFolder tmp;
    const std::string track = tmp.PathOf("music001.wav");
    const std::string out = tmp.PathOf("music001.wma");
    WriteTone(track, c.sourceRate, c.sourceChannels, kSeconds);
    RecordingProgress progress;
    ASSERT_TRUE(EncodeWma(track, out, c.profile, c.wma8, false, progress));

    const auto stream = ProbeFields(out, "stream=codec_name,sample_rate,channels,bit_rate");
    EXPECT_EQ(stream.at("codec_name"), "wmav2");
    EXPECT_EQ(Number(stream, "sample_rate"), c.rate);
    EXPECT_EQ(Number(stream, "channels"), c.channels);
    EXPECT_NEAR(Number(stream, "bit_rate"), c.bitrate, c.bitrate * 0.02);
    EXPECT_EQ(Number(ProbeFields(out, "format=nb_streams", ""), "nb_streams"), 1);
    // The decoder gives its first frame after a few packets.
    const double frame = Number(ProbeFields(out, "frame=nb_samples", "-select_streams a:0 -read_intervals %+#8"),
                                "nb_samples") / c.rate;
    ASSERT_GT(frame, 0);
    EXPECT_NEAR(Number(ProbeFields(out, "format=duration", ""), "duration"), kSeconds, frame);

    // Back at the source's rate: the tone, delayed by the codec's few
    // frames, at the source's level.
    const auto source = ToneFrames(c.sourceRate, 1, kSeconds);
    const auto decoded = Decode(out, c.sourceRate);
    const std::size_t window = c.sourceRate / 4;
    const int maxLag = static_cast<int>(4 * frame * c.sourceRate);
    const int lag = BestLag(source, decoded, c.sourceRate / 2, window, -maxLag, maxLag);
    const Match m = Compare(source, decoded, c.sourceRate / 2, c.sourceRate * 2, lag);
    EXPECT_GT(m.correlation, 0.95) << "lag " << lag;
    EXPECT_NEAR(m.levelDb, 0.0, 1.0);
  }
}

// ---- the index ----

std::uint32_t Le32(const std::string& s, std::size_t at) { return testing::Get32(s, at); }
std::uint64_t Le64(const std::string& s, std::size_t at) {
  return Le32(s, at) | (static_cast<std::uint64_t>(Le32(s, at + 4)) << 32);
}
std::string GuidBytes(const char* hex) {
  std::string b;
  for (int i = 0; i < 16; ++i) b.push_back(static_cast<char>(std::stoi(std::string(hex + 2 * i, 2), nullptr, 16)));
  return b;
}

struct IndexedFile {
  std::uint64_t sizeField = 0, preroll = 0, dataStart = 0;
  std::uint32_t flags = 0, packetSize = 0;
  std::uint64_t interval = 0;
  std::vector<std::pair<std::uint32_t, std::uint16_t>> entries;  // packet, count
  bool haveIndex = false;
};

IndexedFile ReadIndexed(const std::string& bytes) {
  IndexedFile f;
  const std::string fileProperties = GuidBytes("a1dcab8c47a9cf118ee400c00c205365");
  const std::string simpleIndex = GuidBytes("90080033b1e5cf1189f400a0c90349cb");
  const std::uint64_t headerSize = Le64(bytes, 16);
  for (std::size_t at = 30; at + 24 <= headerSize; at += Le64(bytes, at + 16)) {
    if (bytes.compare(at, 16, fileProperties) == 0) {
      f.sizeField = Le64(bytes, at + 40);
      f.preroll = Le64(bytes, at + 80);
      f.flags = Le32(bytes, at + 88);
      f.packetSize = Le32(bytes, at + 96);
    }
    if (Le64(bytes, at + 16) == 0) break;
  }
  f.dataStart = headerSize + 50;
  const std::uint64_t index = headerSize + Le64(bytes, headerSize + 16);
  if (index + 56 <= bytes.size() && bytes.compare(index, 16, simpleIndex) == 0) {
    f.haveIndex = true;
    f.interval = Le64(bytes, index + 40);
    const std::uint32_t count = Le32(bytes, index + 52);
    for (std::uint32_t i = 0; i < count && index + 56 + 6 * i + 6 <= bytes.size(); ++i) {
      f.entries.emplace_back(Le32(bytes, index + 56 + 6 * i),
                             static_cast<std::uint16_t>(testing::Get16(bytes, index + 60 + 6 * i)));
    }
  }
  return f;
}

// ffprobe's packets: presentation time (ms) and file position.
std::vector<std::pair<long, std::uint64_t>> Packets(const std::string& path) {
  std::vector<std::pair<long, std::uint64_t>> packets;
  std::istringstream in(Shell("ffprobe -v error -select_streams a:0 -show_entries packet=pts,pos -of csv=p=0 '" +
                              path + "' 2>/dev/null"));
  for (std::string line; std::getline(in, line);) {
    const auto comma = line.find(',');
    if (comma != std::string::npos) packets.emplace_back(std::stol(line), std::stoull(line.substr(comma + 1)));
  }
  return packets;
}

TEST(WmaFiles, TheIndexPointsEverySecondAtTheFrameThatHoldsItAndFfmpegSeeksWithIt) {
  TempFolder tmp;
  const std::string track = tmp.PathOf("music001.wav");
  const std::string out = tmp.PathOf("music001.wma");
  WriteTone(track, 44100, 2, 12.0);
  RecordingProgress progress;
  ASSERT_TRUE(EncodeWma(track, out, 22, true, true, progress));
  const std::string bytes = testing::ReadBytes(out);
  const IndexedFile f = ReadIndexed(bytes);
  ASSERT_TRUE(f.haveIndex);
  EXPECT_EQ(f.sizeField, bytes.size());
  EXPECT_EQ(f.flags & 3u, 2u);  // seekable, not broadcast
  EXPECT_EQ(f.interval, 10'000'000u);

  // Entry i (at i seconds of the file's clock, which runs the preroll
  // ahead of the stream's) holds the packet where the last frame starting
  // at or before that time begins.
  const auto packets = Packets(out);
  ASSERT_FALSE(packets.empty());
  const long last = packets.back().first + static_cast<long>(f.preroll);
  EXPECT_EQ(f.entries.size(), static_cast<std::size_t>(last / 1000 + 1));
  std::uint32_t previous = 0;
  for (std::size_t i = 0; i < f.entries.size(); ++i) {
    SCOPED_TRACE("entry " + std::to_string(i));
    const long t = static_cast<long>(i) * 1000 - static_cast<long>(f.preroll);
    std::uint64_t pos = packets.front().second;
    for (const auto& [pts, at] : packets) {
      if (pts <= t) pos = at;
    }
    EXPECT_EQ(f.dataStart + std::uint64_t{f.entries[i].first} * f.packetSize, pos);
    EXPECT_GE(f.entries[i].first, previous);
    EXPECT_GE(f.entries[i].second, 1);
    previous = f.entries[i].first;
  }

  // Seeking: the first frame read is the one at or just before T (an
  // index that is missing or wrong makes ffmpeg start after T), and the
  // decoded audio from T on is the same as when decoding from the start,
  // up to the two frames FFmpeg's WMA decoder starts later after a seek.
  const auto full = Decode(out, 44100);
  for (const double T : {5.0, 7.3}) {
    SCOPED_TRACE("seek to " + std::to_string(T));
    const auto first = ProbeFields(out, "frame=pts",
                                   "-select_streams a:0 -read_intervals " + std::to_string(T) + "%+#8");
    EXPECT_LE(Number(first, "pts"), T * 1000);
    EXPECT_GT(Number(first, "pts"), T * 1000 - 1100);
    const auto seeked = Decode(out, 44100, "-ss " + std::to_string(T));
    const auto at = static_cast<int>(T * 44100);
    EXPECT_NEAR(static_cast<double>(seeked.size()), static_cast<double>(full.size()) - at, 2 * 2048 + 1);
    // seeked[x] against full[x + at + lag], at three places: one lag, no gap.
    std::vector<int> lags;
    for (const std::size_t x : {std::size_t{0}, std::size_t{22050}, std::size_t{88200}}) {
      const int lag = BestLag(seeked, full, x, 4096, at - 3 * 2048, at + 3 * 2048);
      EXPECT_GT(Compare(seeked, full, x, 8192, lag).correlation, 0.99) << "at " << x;
      lags.push_back(lag - at);
    }
    EXPECT_LE(std::abs(lags[0]), 2 * 2048 + 1);
    EXPECT_NEAR(lags[1], lags[0], 1);
    EXPECT_NEAR(lags[2], lags[0], 1);
  }
}

}  // namespace
}  // namespace mivo
