// The file input: which WAV files CreateSystemWaveIn takes, which it refuses
// and why, and what the device then plays.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "backend_envs.h"
#include "platform/wavein/wav_file.h"
#include "platform/wavein/wavein.h"
#include "wavein_test_support.h"

namespace mivo::platform {
namespace {

using namespace std::chrono_literals;
using namespace test_support;

std::string Fmt16(std::uint16_t tag, std::uint16_t channels, std::uint32_t rate, std::uint16_t bits) {
  const auto align = static_cast<std::uint16_t>(channels * bits / 8);
  return Le16(tag) + Le16(channels) + Le32(rate) + Le32(rate * align) + Le16(align) + Le16(bits);
}

std::string Riff(const std::string& chunks) {
  return "RIFF" + Le32(static_cast<std::uint32_t>(chunks.size() + 4)) + "WAVE" + chunks;
}

// KSDATAFORMAT_SUBTYPE_PCM and IEEE_FLOAT.
const std::string kPcmGuid("\x01\x00\x00\x00\x00\x00\x10\x00\x80\x00\x00\xAA\x00\x38\x9B\x71", 16);
const std::string kFloatGuid("\x03\x00\x00\x00\x00\x00\x10\x00\x80\x00\x00\xAA\x00\x38\x9B\x71", 16);

std::string Extensible(std::uint16_t channels, std::uint32_t rate, const std::string& guid) {
  return Fmt16(0xFFFE, channels, rate, 16) + Le16(22) + Le16(16) + Le32(channels == 2 ? 3 : 4) + guid;
}

class FileInputTest : public ::testing::Test {
 protected:
  // Writes `bytes` as a file and tries it as the input file.
  std::unique_ptr<IWaveIn> Try(const std::string& bytes, std::string* error,
                               const std::string& name = "take.wav") {
    const std::string path = m_folder / name;
    EXPECT_TRUE(WriteFile(path, bytes));
    WaveInOptions o;
    o.inputFile = path;
    return CreateSystemWaveIn(o, error);
  }
  void ExpectRefused(const std::string& bytes, const std::string& reason) {
    std::string error;
    EXPECT_EQ(Try(bytes, &error), nullptr);
    EXPECT_NE(error.find(m_folder / "take.wav"), std::string::npos) << error;
    EXPECT_NE(error.find(reason), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << "one line: " << error;
  }

  NoSystemInput m_none;
  TempFolder m_folder;
};

TEST_F(FileInputTest, RefusesEightBitSamples) {
  const std::string data(800, '\x80');
  ExpectRefused(Riff(Chunk("fmt ", Fmt16(1, 2, 44100, 8)) + Chunk("data", data)), "8-bit");
}

TEST_F(FileInputTest, RefusesATruncatedHeader) {
  const std::string whole = Riff(Chunk("fmt ", Fmt16(1, 2, 44100, 16)) + Chunk("data", std::string(400, '\1')));
  ExpectRefused(whole.substr(0, 8), "cut short");   // RIFF and its size only
  ExpectRefused(whole.substr(0, 30), "cut short");  // inside the fmt chunk
  ExpectRefused(whole.substr(0, 40), "cut short");  // the data chunk's header missing
}

TEST_F(FileInputTest, RefusesAFileThatIsNotRiff) {
  ExpectRefused("hello, this is not a wave file at all", "not a RIFF/WAVE file");
  ExpectRefused("", "not a RIFF/WAVE file");
  ExpectRefused("RIFF" + Le32(16) + "AVI LIST" + std::string(8, '\0'), "not a RIFF/WAVE file");
}

TEST_F(FileInputTest, RefusesFloatAndOtherNonPcmData) {
  ExpectRefused(Riff(Chunk("fmt ", Fmt16(3, 2, 44100, 32)) + Chunk("data", std::string(800, '\0'))),
                "not PCM");
  ExpectRefused(Riff(Chunk("fmt ", Extensible(2, 44100, kFloatGuid)) + Chunk("data", std::string(800, '\0'))),
                "not PCM");
}

TEST_F(FileInputTest, RefusesMoreThanTwoChannels) {
  ExpectRefused(Riff(Chunk("fmt ", Fmt16(1, 6, 48000, 16)) + Chunk("data", std::string(1200, '\0'))),
                "6 channels");
}

TEST_F(FileInputTest, RefusesADataChunkLongerThanTheFile) {
  std::string bytes = Riff(Chunk("fmt ", Fmt16(1, 2, 44100, 16)) + Chunk("data", std::string(4000, '\1')));
  bytes.resize(bytes.size() - 1000);
  ExpectRefused(bytes, "cut short");
}

TEST_F(FileInputTest, RefusesAFileWithoutAWholeFrame) {
  const std::string fmt = Chunk("fmt ", Fmt16(1, 2, 44100, 16));
  ExpectRefused(Riff(fmt + Chunk("data", "")), "no audio");
  ExpectRefused(Riff(fmt + Chunk("data", "\1\2\3")), "no audio");
}

TEST_F(FileInputTest, RefusesAMissingFile) {
  WaveInOptions o;
  o.inputFile = m_folder / "nothing-here.wav";
  std::string error;
  EXPECT_EQ(CreateSystemWaveIn(o, &error), nullptr);
  EXPECT_NE(error.find("nothing-here.wav"), std::string::npos) << error;
}

TEST_F(FileInputTest, ReadsFmtChunksOf16And18And40Bytes) {
  const std::string data = RawBytes(NoiseSignal(100, 2, 9));
  for (const std::string& fmt : {Fmt16(1, 2, 44100, 16), Fmt16(1, 2, 44100, 16) + Le16(0),
                                 Extensible(2, 44100, kPcmGuid)}) {
    const std::string path = m_folder / "f.wav";
    ASSERT_TRUE(WriteFile(path, Riff(Chunk("fmt ", fmt) + Chunk("data", data))));
    std::string error;
    const auto info = ReadWavFileInfo(path, &error);
    ASSERT_TRUE(info) << "fmt of " << fmt.size() << " bytes: " << error;
    EXPECT_EQ(info->channels, 2);
    EXPECT_EQ(info->rate, 44100u);
    EXPECT_EQ(info->dataBytes, data.size());
  }
}

TEST_F(FileInputTest, SkipsChunksItDoesNotKnow) {
  // An odd-sized chunk before fmt (padded), a LIST between fmt and data.
  const std::string data = RawBytes(NoiseSignal(100, 1, 4));
  const std::string path = m_folder / "chunks.wav";
  ASSERT_TRUE(WriteFile(path, Riff(Chunk("JUNK", "abc") + Chunk("fmt ", Fmt16(1, 1, 22050, 16)) +
                                   Chunk("LIST", "INFOISFT" + Le32(6) + std::string("Mivo\0\0", 6)) + Chunk("data", data) +
                                   Chunk("id3 ", "tail"))));
  std::string error;
  const auto info = ReadWavFileInfo(path, &error);
  ASSERT_TRUE(info) << error;
  EXPECT_EQ(info->channels, 1);
  EXPECT_EQ(info->rate, 22050u);
  EXPECT_EQ(info->dataBytes, data.size());
  EXPECT_EQ(info->dataOffset, 12u + 12u + 24u + 26u + 8u);
}

TEST_F(FileInputTest, IsTheFirstDeviceAndThePreferredOne) {
  std::string error;
  auto wave = Try(WavBytes(NoiseSignal(4410, 2, 5), 44100, 2), &error, "Side A.wav");
  ASSERT_TRUE(wave) << error;
  EXPECT_TRUE(error.empty());
  WAVEINCAPS caps;
  ASSERT_GE(wave->waveInGetNumDevs(), 2u);
  ASSERT_EQ(wave->waveInGetDevCaps(0, &caps), MMSYSERR_NOERROR);
  EXPECT_EQ(caps.szPname, "ファイル: Side A.wav");
  EXPECT_EQ(caps.wChannels, 2);
  Capture cap(*wave);
  ASSERT_EQ(cap.Open(WAVE_MAPPER, Pcm16(44100, 2)), MMSYSERR_NOERROR);
  EXPECT_EQ(cap.Status().deviceName, "ファイル: Side A.wav");
  EXPECT_FALSE(cap.Status().demo);
}

TEST_F(FileInputTest, PlaysAMonoFileInMonoOnlyThenSilence) {
  const std::vector<std::int16_t> input = NoiseSignal(2205, 1, 6);  // 0.1 s
  std::string error;
  auto wave = Try(WavBytes(input, 22050, 1), &error);
  ASSERT_TRUE(wave) << error;
  {
    Capture stereo(*wave);
    EXPECT_EQ(stereo.Open(0, Pcm16(22050, 2)), WAVERR_BADFORMAT);
    EXPECT_EQ(stereo.Open(0, Pcm16(44100, 1)), WAVERR_BADFORMAT);
  }
  Capture cap(*wave);
  ASSERT_EQ(cap.Open(0, Pcm16(22050, 1)), MMSYSERR_NOERROR);
  cap.Queue(4, 1024);  // 0.19 s: the file, then zeros
  ASSERT_EQ(wave->waveInStart(cap.Handle()), MMSYSERR_NOERROR);
  ASSERT_TRUE(cap.PumpUntil([&] { return cap.DataPosts() == 4; }, 3s));
  const std::vector<std::int16_t> got = cap.ReturnedSamples();
  EXPECT_EQ(got, PaddedWithZeros(input, 4096, 1));
}

}  // namespace
}  // namespace mivo::platform
