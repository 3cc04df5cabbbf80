// mivo-convert end to end: generated WAV files through the real binary,
// the results read back.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "convert/sample_passes.h"
#include "convert/track_rewrite.h"
#include "support/temp_folder.h"

namespace mivo {
namespace {

namespace fs = std::filesystem;
using testing::ReadBytes;
using testing::TempFolder;
using testing::WriteBytes;

struct Wav {
  std::uint16_t formatTag = 1, channels = 2, bits = 16;
  std::uint32_t rate = 48000;
  int fmtSize = 18;          // 16, 18 or anything else
  std::string between;       // chunks between "fmt " and "data"
  std::string after;         // chunks after "data"
  std::int64_t dataSize = -1;  // -1: the samples' size
};

std::string Le(std::uint32_t v, int bytes) {
  std::string s;
  for (int i = 0; i < bytes; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  return s;
}

std::string WavBytes(const std::vector<std::int16_t>& samples, const Wav& w = {}) {
  std::string fmt = Le(w.formatTag, 2) + Le(w.channels, 2) + Le(w.rate, 4) +
                    Le(w.rate * w.channels * w.bits / 8, 4) + Le(w.channels * w.bits / 8, 2) + Le(w.bits, 2);
  fmt.resize(static_cast<std::size_t>(w.fmtSize), '\0');
  std::string data;
  for (std::int16_t v : samples) data += Le(static_cast<std::uint16_t>(v), 2);
  const auto size = static_cast<std::uint32_t>(w.dataSize < 0 ? data.size() : w.dataSize);
  std::string body = "WAVEfmt " + Le(static_cast<std::uint32_t>(fmt.size()), 4) + fmt + w.between + "data" +
                     Le(size, 4) + data + w.after;
  return "RIFF" + Le(static_cast<std::uint32_t>(body.size()), 4) + body;
}

std::vector<std::int16_t> Alternating(std::size_t frames, int l0, int l1, int r0, int r1) {
  std::vector<std::int16_t> s;
  for (std::size_t i = 0; i < frames; ++i) {
    s.push_back(static_cast<std::int16_t>(i % 2 ? l1 : l0));
    s.push_back(static_cast<std::int16_t>(i % 2 ? r1 : r0));
  }
  return s;
}

std::vector<std::int16_t> Samples(const std::string& bytes, std::size_t header) {
  std::vector<std::int16_t> s;
  for (std::size_t i = header; i + 1 < bytes.size(); i += 2) {
    s.push_back(static_cast<std::int16_t>(GetLe16(reinterpret_cast<const std::uint8_t*>(&bytes[i]))));
  }
  return s;
}

struct Result {
  int status = -1;
  std::string out, err;
};

class MivoConvert : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir.Ok());
    fs::create_directory(dir.PathOf("out"));
    fs::create_directory(dir.PathOf("tmp"));
  }
  void Settings(const std::string& lines) { WriteBytes(dir.PathOf("mivo.ini"), lines); }
  std::string Input(const std::string& name, const std::string& bytes) {
    WriteBytes(dir.PathOf(name), bytes);
    return dir.PathOf(name);
  }
  Result Exec(const std::string& args, const std::string& tool = MIVO_CONVERT) {
    const std::string cmd = "TMPDIR=" + dir.PathOf("tmp") + " " + tool + " " + args + " >" +
                            dir.PathOf("stdout") + " 2>" + dir.PathOf("stderr") + " </dev/null";
    Result r;
    const int raw = std::system(cmd.c_str());
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = ReadBytes(dir.PathOf("stdout"));
    r.err = ReadBytes(dir.PathOf("stderr"));
    // Nothing of the work is left behind in the temporary folder.
    EXPECT_TRUE(fs::is_empty(dir.PathOf("tmp"))) << cmd;
    return r;
  }
  Result Convert(const std::string& inputs) {
    return Exec("--config " + dir.PathOf("mivo.ini") + " -o " + dir.PathOf("out") + " " + inputs);
  }
  std::vector<std::string> OutFiles() {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir.PathOf("out"))) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  TempFolder dir;
};

TEST_F(MivoConvert, NormalizesWithTheFilesOwnPeakAndMeansInBothHeaderForms) {
  // Left ±8000: span 16000, peak (16000 + 1) / 2 = 8000, mean 0.
  // Right 900/1100: mean 1000, so ±100 about it.
  Settings("RecNormalize=1\nNormalizeAuto=1\nDcOffsetAuto=1\nRecWav=1\n");
  const auto in = Alternating(5000, -8000, 8000, 900, 1100);
  for (int fmtSize : {18, 16}) {
    const std::string bytes = WavBytes(in, Wav{.fmtSize = fmtSize});
    const std::string input = Input("take.wav", bytes);
    const Result r = Convert(input);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadBytes(input), bytes);  // the input is never touched
    EXPECT_EQ(OutFiles(), std::vector<std::string>{"take.wav"});
    const std::string out = ReadBytes(dir.PathOf("out/take.wav"));
    const std::size_t header = fmtSize == 18 ? 46 : 44;
    ASSERT_EQ(out.size(), header + in.size() * 2);
    EXPECT_EQ(out.substr(0, header), bytes.substr(0, header));
    // (±8000 × 32767 ± 4000) / 8000 = ±32767; (±100 × 32767 ± 4000) / 8000 = ±410.
    EXPECT_EQ(Samples(out, header), Alternating(5000, -32767, 32767, -410, 410));
    EXPECT_NE(r.out.find(dir.PathOf("out/take.wav")), std::string::npos);
    EXPECT_NE(r.err.find("正規化"), std::string::npos);
  }
}

TEST_F(MivoConvert, RunsEveryPassInTheWorkersOrder) {
  Settings("RecNormalize=1\nNormalizeAuto=1\nRecDeEmphasis=1\nRec4844=1\nm_nConvKind=1\nm_nFs44Precision=0\n");
  std::vector<std::int16_t> in;
  for (int i = 0; i < 20000; ++i) {
    const auto v = static_cast<std::int16_t>(12000 * std::sin(i * 0.05));
    in.push_back(v);
    in.push_back(static_cast<std::int16_t>(-v / 2));
  }
  const std::string input = Input("song.wav", WavBytes(in));
  const Result r = Convert(input);
  ASSERT_EQ(r.status, 0) << r.err;

  // The same steps through the library on a track of its own.
  TempFolder ref;
  const std::string track = ref.PathOf("song.wav");
  WriteBytes(track, WavBytes(in));
  struct Quiet : IProgress {
    void SetStageLabel(std::string_view) override {}
    void BeginTrackProgress(const std::int32_t*, int) override {}
    void BeginStage(std::int64_t) override {}
    void SetStagePos(std::int64_t) override {}
    void AdvanceStage(std::int64_t) override {}
  } quiet;
  const PassContext ctx{quiet, 0};
  int peak = 0;
  for (std::size_t b = 0; b < in.size(); b += 2048) {
    int lo[2] = {32767, 32767}, hi[2] = {-32768, -32768};
    for (std::size_t i = b; i < std::min(in.size(), b + 2048); ++i) {
      lo[i % 2] = std::min<int>(lo[i % 2], in[i]);
      hi[i % 2] = std::max<int>(hi[i % 2], in[i]);
    }
    peak = std::max(peak, (std::max(hi[0] - lo[0], hi[1] - lo[1]) + 1) / 2);
  }
  ASSERT_TRUE(NormalizeWav(track, peak, 0, 0, ctx));
  ASSERT_TRUE(DeEmphasisWav(track, {48000}, ctx));
  ASSERT_TRUE(Resample4844Precise(track, 0, 0.0, 0, 44100, ctx));
  const std::string out = ReadBytes(dir.PathOf("out/song.wav"));
  EXPECT_EQ(Le(GetLe32(reinterpret_cast<const std::uint8_t*>(&out[24])), 4), Le(44100, 4));
  EXPECT_TRUE(out == ReadBytes(track));
  for (const char* label : {"正規化", "ﾃﾞｨｴﾝﾌｧｼｽ", "48->44"}) EXPECT_NE(r.err.find(label), std::string::npos) << label;
}

TEST_F(MivoConvert, TakesChunksBetweenFormatAndDataIntoTheTrackForm) {
  Settings("Rec4844=1\nm_nConvKind=0\n");
  const auto in = Alternating(3200, 100, 200, -100, -200);
  const std::string list = "LIST" + Le(10, 4) + "INFOabcdef";
  const std::string fact = "fact" + Le(5, 4) + "12345" + std::string(1, '\0');  // odd size, padded
  // A chunk after the samples is not audio.
  const std::string input = Input("t.wav", WavBytes(in, Wav{.between = list + fact, .after = list}));
  const Result r = Convert(input);
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string out = ReadBytes(dir.PathOf("out/t.wav"));
  ASSERT_EQ(out.size(), 46u + 2 * 1470 * 4);
  EXPECT_EQ(out.substr(38, 4), "data");
  EXPECT_EQ(GetLe32(reinterpret_cast<const std::uint8_t*>(&out[42])), 2u * 1470 * 4);
  const auto samples = Samples(out, 46);
  EXPECT_EQ(samples[0], 100);  // output frame 0 is input frame 0
  EXPECT_EQ(samples[1], -100);
}

TEST_F(MivoConvert, RefusesWhatThePassesWouldMisreadAndLeavesTheInput) {
  Settings("RecNormalize=1\nRec4844=1\nm_nConvKind=0\n");
  const auto in = Alternating(1000, 1, 2, 3, 4);
  struct Case {
    const char* name;
    std::string bytes;
    const char* reason;
  };
  std::string truncatedHeader = WavBytes(in).substr(0, 30);
  const Case cases[] = {
      {"mono.wav", WavBytes(in, Wav{.channels = 1}), "not 16-bit stereo PCM"},
      {"8bit.wav", WavBytes(in, Wav{.bits = 8}), "not 16-bit stereo PCM"},
      {"float.wav", WavBytes(in, Wav{.formatTag = 3}), "not 16-bit stereo PCM"},
      {"ext.wav", WavBytes(in, Wav{.fmtSize = 40}), "format chunk of 40 bytes"},
      {"head.wav", truncatedHeader, "truncated"},
      {"short.wav", WavBytes(in, Wav{.dataSize = 9000}), "truncated"},
      {"rate.wav", WavBytes(in, Wav{.rate = 32000}), "48000 Hz only"},
      {"text.wav", "hello, world", "not a WAV file"},
      {"rate0.wav", WavBytes(in, Wav{.rate = 0}), "sample rate is 0"},
      {"empty.wav", WavBytes({}), "no audio"},
  };
  for (const Case& c : cases) {
    const std::string input = Input(c.name, c.bytes);
    const Result r = Convert(input);
    EXPECT_EQ(r.status, 1) << c.name;
    EXPECT_NE(r.err.find(c.reason), std::string::npos) << c.name << ": " << r.err;
    EXPECT_EQ(ReadBytes(input), c.bytes) << c.name;
    EXPECT_TRUE(OutFiles().empty()) << c.name;
  }
}

TEST_F(MivoConvert, AFifoIsRefusedAtOnceAndAFailedPassLeavesNoResult) {
  // A FIFO nobody writes to would block the open for ever.
  Settings("RecNormalize=1\nRecWav=1\n");
  const std::string fifo = dir.PathOf("fifo.wav");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  Result r = Convert(fifo);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("not a regular file"), std::string::npos) << r.err;

  // A fixed normalization level of 0 fails the pass: neither the track as it
  // was nor an MP3 of it passes for the result.
  Settings("RecNormalize=1\nNormalizeAuto=0\nNormalizeLevel2=0\nRecWav=1\nRecMp3=1\n");
  r = Convert(Input("x.wav", WavBytes(Alternating(4410, 5000, -5000, 3000, -3000))));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("NormalizeLevel2=0"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("no result written"), std::string::npos) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(OutFiles().empty());
}

TEST_F(MivoConvert, NeverWritesOverItsInputAndGoesOnWithTheOtherFiles) {
  Settings("RecNormalize=1\nRecWav=1\n");
  const std::string bytes = WavBytes(Alternating(100, 5, -5, 5, -5));
  const std::string a = dir.PathOf("out/a.wav");
  WriteBytes(a, bytes);
  const std::string b = Input("b.wav", bytes);
  const Result r = Convert(a + " " + b);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("would overwrite the input"), std::string::npos) << r.err;
  EXPECT_EQ(ReadBytes(a), bytes);
  EXPECT_EQ(OutFiles(), (std::vector<std::string>{"a.wav", "b.wav"}));
}

TEST_F(MivoConvert, EncodesMp3AndWmaBesideTheWav) {
  // The MP3 library of this build is found beside the tool.
  Settings("RecMp3=1\nRecWma=1\nRecWav=1\n");
  const std::string input = Input("x.wav", WavBytes(Alternating(44100, 5000, -5000, 3000, -3000)));
  const Result r = Convert(input);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(OutFiles(), (std::vector<std::string>{"x.mp3", "x.wav", "x.wma"}));
  const std::string mp3 = ReadBytes(dir.PathOf("out/x.mp3"));
  ASSERT_GT(mp3.size(), 1000u);
  // An MP3 stream: a frame sync at the start (after any tag).
  const auto sync = mp3.find("\xFF");
  ASSERT_NE(sync, std::string::npos);
  EXPECT_EQ(static_cast<unsigned char>(mp3[sync + 1]) & 0xE0, 0xE0);
  // An ASF file: its header object first.
  EXPECT_EQ(ReadBytes(dir.PathOf("out/x.wma")).substr(0, 8), std::string("\x30\x26\xB2\x75\x8E\x66\xCF\x11", 8));
}

TEST_F(MivoConvert, WithoutItsWmaModuleOnlyTheWmaStepFailsAndTheWavIsWritten) {
  // A copy of the tool with no library folder beside it: the WMA writer's
  // module cannot be found, neither through the RUNPATH nor by its path.
  ASSERT_TRUE(fs::create_directory(dir.PathOf("bin")));
  const std::string tool = dir.PathOf("bin/mivo-convert");
  fs::copy_file(MIVO_CONVERT, tool);
  Settings("RecWma=1\nRecWav=1\nRecNormalize=1\n");
  const std::string bytes = WavBytes(Alternating(44100, 5000, -5000, 3000, -3000));
  const std::string input = Input("x.wav", bytes);
  const Result r = Exec("--config " + dir.PathOf("mivo.ini") + " -o " + dir.PathOf("out") + " " + input, tool);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("the WMA encoder module cannot be loaded (libmivo_wma.so: "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("WMAエンコード中にエラーが発生しました"), std::string::npos) << r.err;
  // The WAV result is whole (normalized), no WMA file or half of one exists.
  EXPECT_EQ(OutFiles(), std::vector<std::string>{"x.wav"});
  EXPECT_NE(ReadBytes(dir.PathOf("out/x.wav")), bytes);
  EXPECT_EQ(ReadBytes(input), bytes);
}

// The disk fills up while the WMA file is written: that step fails and
// leaves no part of its file, and the WAV result is whole.
TEST_F(MivoConvert, OnAFullDiskTheWmaStepFailsLeavingNoPartOfItsFile) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a small disk needs root";
  const std::string out = dir.PathOf("out");
  if (std::system(("mount -t tmpfs -o size=4m tmpfs " + out + " 2>/dev/null").c_str()) != 0) {
    GTEST_SKIP() << "a tmpfs cannot be mounted here";
  }
  struct Unmount {
    std::string path;
    ~Unmount() { static_cast<void>(std::system(("umount " + path).c_str())); }
  } unmount{out};
  Settings("RecWma=1\nRecWav=1\n");
  // Ten seconds: about 1.9 MB of WAV and, at the default profile, over
  // 100 KB of WMA; the disk keeps room for the WAV and 32 KB.
  std::vector<std::int16_t> in;
  for (int i = 0; i < 2 * 480000; ++i) {
    in.push_back(static_cast<std::int16_t>(8000 * std::sin(i * 0.01) + (i * 37) % 1001 - 500));
  }
  const std::string bytes = WavBytes(in);
  const std::string input = Input("x.wav", bytes);
  struct statvfs disk {};
  ASSERT_EQ(::statvfs(out.c_str(), &disk), 0);
  const std::uint64_t page = disk.f_frsize, wavPages = (bytes.size() + page - 1) / page;
  const std::uint64_t filler = std::uint64_t{disk.f_bavail} * page - (wavPages * page + 32768);
  WriteBytes(dir.PathOf("out/filler"), std::string(filler, '\0'));

  const Result r = Convert(input);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("WMAエンコード中にエラーが発生しました"), std::string::npos) << r.err;
  EXPECT_EQ(OutFiles(), (std::vector<std::string>{"filler", "x.wav"}));
  EXPECT_EQ(ReadBytes(dir.PathOf("out/x.wav")).size(), bytes.size());
}

TEST_F(MivoConvert, RelativeRecFolderLiesBesideTheSettingsFileAndRelativeOutputInTheCurrentFolder) {
  Settings("RecWav=1\nRecFolder=out\n");
  const std::string input = Input("take.wav", WavBytes(Alternating(100, -1, 1, -2, 2)));
  Result r = Exec("--config " + dir.PathOf("mivo.ini") + " " + input);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(OutFiles(), std::vector<std::string>{"take.wav"});

  ASSERT_TRUE(fs::create_directory(dir.PathOf("other")));
  const std::string relative = fs::relative(dir.PathOf("other")).string();
  r = Exec("--config " + dir.PathOf("mivo.ini") + " -o " + relative + " " + input);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(fs::exists(dir.PathOf("other/take.wav")));
}

TEST_F(MivoConvert, CommandLine) {
  Result r = Exec("--help");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("Usage: mivo-convert"), std::string::npos);
  r = Exec("--version");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("mivo-convert (Mivo) "), std::string::npos);
  r = Exec("");
  EXPECT_EQ(r.status, 2);
  r = Exec("--bogus x.wav");
  EXPECT_EQ(r.status, 2);
  r = Exec("--config " + dir.PathOf("missing.ini") + " x.wav");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("missing.ini"), std::string::npos);
  Settings("RecWav=1\nRecFolder=" + dir.PathOf("nowhere") + "\n");
  r = Exec("--config " + dir.PathOf("mivo.ini") + " x.wav");
  EXPECT_EQ(r.status, 2);  // a missing RecFolder is not made
  EXPECT_FALSE(fs::exists(dir.PathOf("nowhere")));
}

TEST_F(MivoConvert, ABatchCountsItsFilesAndA441kHzInputSkipsOnlyTheResampling) {
  Settings("RecNormalize=1\nNormalizeAuto=1\nDcOffsetAuto=1\nRec4844=1\nm_nConvKind=0\nRecWav=1\n");
  const auto in = Alternating(3200, -8000, 8000, 900, 1100);
  const std::string cd = Input("cd.wav", WavBytes(in, Wav{.rate = 44100}));
  const std::string dat = Input("dat.wav", WavBytes(in, Wav{.rate = 48000}));
  const std::string out = dir.PathOf("new/sub");  // made with the folder above it
  const Result r = Exec("--config " + dir.PathOf("mivo.ini") + " -o " + out + " " + cd + " " + dat);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("created the output folder " + out), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("cd.wav (1 of 2): already at 44100 Hz: not resampled"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("dat.wav (2 of 2)"), std::string::npos) << r.err;
  // The 44.1 kHz file is normalized, not resampled; the 48 kHz one is both.
  const std::string cdOut = ReadBytes(out + "/cd.wav");
  EXPECT_EQ(GetLe32(reinterpret_cast<const std::uint8_t*>(&cdOut[24])), 44100u);
  EXPECT_EQ(Samples(cdOut, 46), Alternating(3200, -32767, 32767, -410, 410));
  const std::string datOut = ReadBytes(out + "/dat.wav");
  EXPECT_EQ(GetLe32(reinterpret_cast<const std::uint8_t*>(&datOut[24])), 44100u);
  EXPECT_EQ(datOut.size(), 46u + 2 * 1470 * 4);
}

// Several files at once, each in its own process: the same bytes as one
// after the other, results claimed in the order of the inputs, one line
// per file saying how the high-precision conversion ran.
TEST_F(MivoConvert, FilesAtOnceGiveTheSameResultsAndEarlierInputsKeepTheirNames) {
  Settings("RecNormalize=1\nNormalizeAuto=1\nDcOffsetAuto=1\nRec4844=1\nm_nConvKind=1\nm_nFs44Precision=0\n"
           "RecWav=1\nRecMp3=1\n");
  std::vector<std::string> inputs;
  for (int i = 0; i < 4; ++i) {
    std::vector<std::int16_t> in;
    for (int k = 0; k < 30000; ++k) {
      in.push_back(static_cast<std::int16_t>(9000 * std::sin(k * 0.01 * (i + 1)) + 300));
      in.push_back(static_cast<std::int16_t>(-5000 * std::sin(k * 0.003 * (i + 2))));
    }
    inputs.push_back(Input("f" + std::to_string(i) + ".wav", WavBytes(in)));
  }
  ASSERT_TRUE(fs::create_directory(dir.PathOf("again")));
  const std::string twin = dir.PathOf("again/f1.wav");  // a second f1: its results would overwrite
  WriteBytes(twin, ReadBytes(inputs[1]));
  const std::string all = inputs[0] + " " + inputs[1] + " " + inputs[2] + " " + twin + " " + inputs[3];

  const Result one = Exec("--config " + dir.PathOf("mivo.ini") + " -o " + dir.PathOf("out") + " -j 1 -v " + all);
  EXPECT_EQ(one.status, 1);
  std::vector<std::string> serial;
  for (const std::string& name : OutFiles()) serial.push_back(ReadBytes(dir.PathOf("out/" + name)));
  for (const auto& e : fs::directory_iterator(dir.PathOf("out"))) fs::remove(e.path());

  const Result many = Exec("--config " + dir.PathOf("mivo.ini") + " -o " + dir.PathOf("out") + " -j 3 -v " + all);
  EXPECT_EQ(many.status, 1);
  const std::vector<std::string> names = OutFiles();  // no work folder is left either
  ASSERT_EQ(names.size(), 8u) << many.err;
  for (std::size_t i = 0; i < names.size(); ++i) {
    EXPECT_TRUE(ReadBytes(dir.PathOf("out/" + names[i])) == serial[i]) << names[i];
  }
  for (const Result* r : {&one, &many}) {
    EXPECT_NE(r->err.find(twin + " (4 of 5): the result " + dir.PathOf("out/f1.wav") +
                          " would overwrite the result of an earlier input"),
              std::string::npos)
        << r->err;
    EXPECT_NE(r->err.find("1 of 5 files failed"), std::string::npos) << r->err;
    for (int i = 0; i < 4; ++i) EXPECT_NE(r->out.find(dir.PathOf("out/f" + std::to_string(i) + ".mp3")), std::string::npos);
  }
  // One process per file at a time: the processors are shared among them.
  const std::string kernel = PreciseKernelName(PreciseKernel::Auto);
  EXPECT_NE(many.err.find("f2.wav (3 of 5): 48->44 high precision 0: " + kernel + ", 1 thread\n"), std::string::npos)
      << many.err;
  const Result threads =
      Exec("--config " + dir.PathOf("mivo.ini") + " -o " + dir.PathOf("out") + " --threads 3 -v " + inputs[0]);
  EXPECT_EQ(threads.status, 0) << threads.err;
  EXPECT_NE(threads.err.find("f0.wav: 48->44 high precision 0: " + kernel + ", 3 threads\n"), std::string::npos)
      << threads.err;

  for (const char* bad : {"-j 0", "-j x", "--threads 0", "--threads", "--jobs 99999"}) {
    EXPECT_EQ(Exec(std::string(bad) + " " + inputs[0]).status, 2) << bad;
  }
}

TEST_F(MivoConvert, AStoppedBatchEndsItsFilesProcessesAndLeavesNoWorkBehind) {
  Settings("Rec4844=1\nm_nConvKind=1\nm_nFs44Precision=3\nRecWav=1\n");
  std::string inputs;
  for (int i = 0; i < 3; ++i) {
    inputs += " " + Input("long" + std::to_string(i) + ".wav", WavBytes(Alternating(48000 * 60, 3000, -3000, 100, 200)));
  }
  const std::string pidFile = dir.PathOf("pid");
  const std::string cmd = "TMPDIR=" + dir.PathOf("tmp") + " " + MIVO_CONVERT + " --config " + dir.PathOf("mivo.ini") +
                          " -o " + dir.PathOf("out") + " -j 2" + inputs + " >/dev/null 2>" + dir.PathOf("stderr") +
                          " </dev/null & echo $! >" + pidFile + "; wait $!; echo $? >" + dir.PathOf("status");
  std::thread shell([&] { static_cast<void>(std::system(cmd.c_str())); });
  // Once a file's work has begun in the output folder, stop the batch.
  bool working = false;
  for (int i = 0; i < 3000 && !working; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    for (const auto& e : fs::directory_iterator(dir.PathOf("out"))) working |= e.path().filename().string()[0] == '.';
  }
  const std::string pid = ReadBytes(pidFile);
  ASSERT_FALSE(pid.empty());
  static_cast<void>(std::system(("kill -TERM " + pid).c_str()));
  shell.join();
  EXPECT_TRUE(working);
  EXPECT_EQ(ReadBytes(dir.PathOf("status")), "1\n") << ReadBytes(dir.PathOf("stderr"));
  // The batch waited for its files' processes, which removed their work.
  EXPECT_TRUE(OutFiles().empty()) << ::testing::PrintToString(OutFiles());
}

}  // namespace
}  // namespace mivo
