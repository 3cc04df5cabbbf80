// The bridge against stand-in libraries: loading by name and through the
// registry, the all-or-nothing entry points, and EncodeMp3's calls,
// progress and boxes.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "encode/gogo_dll.h"
#include "encode/recording_progress.h"
#include "platform/registry/registry.h"
#include "platform/ui/headless/headless_host.h"
#include "settings/recorder_settings.h"
#include "support/temp_folder.h"

namespace mivo {
namespace {

using testing::RecordingProgress;
using testing::TempFolder;

std::string FakeName(const std::string& name) { return "lib" + name + ".so"; }
std::string FakePath(const std::string& name) { return std::string(MIVO_FAKE_GOGO_DIR) + "/" + FakeName(name); }

bool IsMapped(const std::string& path) {
  void* h = ::dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (h == nullptr) return false;
  ::dlclose(h);
  return true;
}

std::vector<std::string> Lines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class GogoDllTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_tmp.Ok());
    m_log = m_tmp.PathOf("calls.log");
    ::setenv("MIVO_FAKE_GOGO_LOG", m_log.c_str(), 1);
    m_source = m_tmp.PathOf("music001.wav");
    testing::WriteBytes(m_source, "RIFF");
    m_output = m_tmp.PathOf("out/music001.mp3");
  }
  void TearDown() override {
    FreeGogoDll(m_dll);
    ::unsetenv("MIVO_FAKE_GOGO_LOG");
  }

  GogoSearch Search(const std::string& fake) {
    GogoSearch s;
    s.libraryName = fake.empty() ? "libmivo-test-no-such-library.so" : FakeName(fake);
    s.registryPath = m_tmp.PathOf("registry");
    s.bundledFolder = MIVO_FAKE_GOGO_DIR;
    return s;
  }

  std::vector<std::string> Calls() { return Lines(m_log); }

  TempFolder m_tmp;
  GogoDll m_dll;
  std::string m_log, m_source, m_output;
  ui::HeadlessHost m_host;
  RecordingProgress m_progress;
};

TEST_F(GogoDllTest, LoadsByPlainNameAndFreesAgain) {
  ASSERT_EQ(LoadGogoDll(m_dll, Search("fake_gogo_calls")), kGogoLoaded) << m_dll.strLoadError;
  EXPECT_TRUE(m_dll.Loaded());
  // The plain name through the RUNPATH; where the search misses it (under
  // AddressSanitizer), by its path in the bundled folder.
  EXPECT_TRUE(m_dll.strLoadedFrom == FakeName("fake_gogo_calls") || m_dll.strLoadedFrom == FakePath("fake_gogo_calls"))
      << m_dll.strLoadedFrom;
  EXPECT_NE(m_dll.MPGE_getUnitStates, nullptr);
  EXPECT_TRUE(IsMapped(FakePath("fake_gogo_calls")));
  // Loading again only checks the entry points.
  EXPECT_EQ(LoadGogoDll(m_dll, Search("fake_gogo_calls")), kGogoLoaded);

  EXPECT_EQ(FreeGogoDll(m_dll), 0);
  EXPECT_FALSE(m_dll.Loaded());
  EXPECT_EQ(m_dll.MPGE_processFrame, nullptr);
  EXPECT_FALSE(IsMapped(FakePath("fake_gogo_calls")));
  EXPECT_EQ(GogoEncoderInfo(m_dll), "No MP3 Encoder.");
}

TEST_F(GogoDllTest, APlainNameTheSearchMissesIsLoadedFromTheBundledFolder) {
  const std::filesystem::path folder = m_tmp.Dir() / "lib";
  std::filesystem::create_directories(folder);
  std::filesystem::copy_file(FakePath("fake_gogo_calls"), folder / "libmivo-bundled.so");
  GogoSearch s = Search("");
  s.libraryName = "libmivo-bundled.so";
  s.bundledFolder = folder.string();
  ASSERT_EQ(LoadGogoDll(m_dll, s), kGogoLoaded) << m_dll.strLoadError;
  EXPECT_EQ(m_dll.strLoadedFrom, (folder / "libmivo-bundled.so").string());
}

TEST_F(GogoDllTest, LibraryMissingAnEntryPointIsReleasedAtOnce) {
  // MPGE_getUnitStates is never called, yet without it the library counts
  // as missing.
  EXPECT_EQ(LoadGogoDll(m_dll, Search("fake_gogo_no_unit_states")), kGogoMissing);
  EXPECT_FALSE(m_dll.Loaded());
  EXPECT_EQ(m_dll.MPGE_initializeWork, nullptr);
  EXPECT_NE(m_dll.strLoadError.find("MPGE_getUnitStates"), std::string::npos) << m_dll.strLoadError;
  EXPECT_FALSE(IsMapped(FakePath("fake_gogo_no_unit_states")));
  EXPECT_EQ(GogoEncoderInfo(m_dll), "No MP3 Encoder.");
}

TEST_F(GogoDllTest, RegistryPathIsTakenOnlyForAPlainString) {
  // A folder holding libgogo.so, as INSTPATH usually names it.
  const std::filesystem::path folder = m_tmp.Dir() / "gogo";
  std::filesystem::create_directories(folder);
  std::filesystem::copy_file(FakePath("fake_gogo_calls"), folder / "libgogo.so");
  const std::string file = FakePath("fake_gogo_calls");
  const std::string tooLong = "/" + std::string(300, 'x');

  struct Case {
    const char* what;
    std::uint32_t type;
    std::string value;
    int expected;
  } cases[] = {
      {"folder as sz", platform::REG_SZ, folder.string(), kGogoLoaded},
      {"folder with a trailing slash", platform::REG_SZ, folder.string() + "/", kGogoLoaded},
      {"library file as sz", platform::REG_SZ, file, kGogoLoaded},
      {"expand_sz", platform::REG_EXPAND_SZ, folder.string(), kGogoMissing},
      {"binary", platform::REG_BINARY, folder.string(), kGogoMissing},
      {"longer than the buffer", platform::REG_SZ, tooLong, kGogoMissing},
      {"empty", platform::REG_SZ, "", kGogoMissing},
      {"folder without the library", platform::REG_SZ, m_tmp.Dir().string(), kGogoMissing},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    platform::Registry registry(m_tmp.PathOf("registry"));
    ASSERT_EQ(registry.SetString(kGogoRegistryKey, kGogoRegistryValue, c.value, c.type), platform::ERROR_SUCCESS);
    EXPECT_EQ(LoadGogoDll(m_dll, Search("")), c.expected) << m_dll.strLoadError;
    EXPECT_EQ(m_dll.Loaded(), c.expected == kGogoLoaded);
    FreeGogoDll(m_dll);
  }

  // No registry file at all.
  std::filesystem::remove(m_tmp.PathOf("registry"));
  EXPECT_EQ(LoadGogoDll(m_dll, Search("")), kGogoMissing);
  EXPECT_NE(m_dll.strLoadError.find("registry"), std::string::npos) << m_dll.strLoadError;
}

TEST_F(GogoDllTest, EncodeMakesTheCallsInOrderWithTheSettingsIds) {
  ASSERT_EQ(LoadGogoDll(m_dll, Search("fake_gogo_calls")), kGogoLoaded);
  RecorderSettings s;  // joint stereo, 128 kbit/s, low-pass on, CBR, rate not forced, MP3
  s.MC_VBR = 3;        // not sent: VBR is off
  s.MC_OUTFREQ = 22050;  // not sent: the rate is not forced
  EXPECT_TRUE(EncodeMp3(m_dll, m_host, m_source, m_output, s, m_progress));
  const std::vector<std::string> expected = {
      "initializeWork",
      "setConfigure 1 0 " + m_source,
      "setConfigure 3 2 0",
      "setConfigure 4 128 0",
      "setConfigure 8 0 0",
      "setConfigure 9 1 0",
      "setConfigure 17 0 0",
      "setConfigure 2 0 " + m_output,
      "setConfigure 26 0 0",
      "detectConfigure",
      "getConfigure 15",
      "processFrame", "processFrame", "processFrame", "processFrame", "processFrame",
      "closeCoder",
      "endCoder",
  };
  EXPECT_EQ(Calls(), expected);
  EXPECT_EQ(m_progress.events, (std::vector<std::string>{"label MP3", "begin 5"}));
  EXPECT_EQ(m_progress.advances, 5);
  EXPECT_EQ(m_progress.advanced, 5);
  EXPECT_TRUE(m_host.Boxes().empty());
}

TEST_F(GogoDllTest, OptionalIdsAndOutputFormatCodes) {
  ASSERT_EQ(LoadGogoDll(m_dll, Search("fake_gogo_calls")), kGogoLoaded);
  RecorderSettings s;
  s.MC_ENCODEMODE = -1;  // passed on as stored: the 32-bit pattern
  s.MC_BITRATE = 320;
  s.MC_USEPSY = 1;
  s.MC_USELPF16 = 0;
  s.MC_EMPHASIS = 2;
  s.MC_BOOL_VBR = 5;  // any value but 0 sends the VBR quality
  s.MC_VBR = 7;
  s.MC_BOOL_OUTFREQ = 1;
  s.MC_OUTFREQ = 11025;
  s.m_GogoSetting.dwOutFmt = 2;
  EXPECT_TRUE(EncodeMp3(m_dll, m_host, m_source, m_output, s, m_progress));
  std::vector<std::string> calls = Calls();
  ASSERT_GE(calls.size(), 11u);
  const std::vector<std::string> config(calls.begin() + 2, calls.begin() + 11);
  EXPECT_EQ(config, (std::vector<std::string>{
                        "setConfigure 3 4294967295 0",
                        "setConfigure 4 320 0",
                        "setConfigure 8 1 0",
                        "setConfigure 9 0 0",
                        "setConfigure 17 2 0",
                        "setConfigure 2 0 " + m_output,
                        "setConfigure 18 7 0",
                        "setConfigure 6 11025 0",
                        "setConfigure 26 2 0",
                    }));

  for (const auto& [stored, code] : std::vector<std::pair<int, std::uint32_t>>{{0, 0}, {1, 1}, {2, 2}, {3, 0}, {-1, 0}}) {
    EXPECT_EQ(GogoOutputFormatCode(stored), code) << stored;
  }
}

TEST_F(GogoDllTest, FailedInitializationOrInputShowsErrorBoxAndGoesOn) {
  ASSERT_EQ(LoadGogoDll(m_dll, Search("fake_gogo_init_fails")), kGogoLoaded);
  RecorderSettings s;
  EXPECT_TRUE(EncodeMp3(m_dll, m_host, m_source, m_output, s, m_progress));
  auto boxes = m_host.Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "ERROR");
  EXPECT_EQ(boxes[0].caption, "Mivo");
  EXPECT_EQ(boxes[0].type, ui::MB_OK | ui::MB_ICONEXCLAMATION);
  EXPECT_FALSE(boxes[0].owned);
  EXPECT_EQ(Calls().size(), 18u);  // every configuration call and all five frames
  EXPECT_EQ(Calls().back(), "endCoder");

  // A source the library cannot open adds a box of its own.
  m_host.ClearBoxes();
  EXPECT_TRUE(EncodeMp3(m_dll, m_host, m_tmp.PathOf("missing.wav"), m_output, s, m_progress));
  boxes = m_host.Boxes();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[1].text, "ERROR");
}

TEST_F(GogoDllTest, FrameLoopEndsAndTheJobIsClosedWhateverTheResult) {
  struct Case {
    const char* fake;
    bool result;
    std::int64_t stage;
    int advances;
  } cases[] = {
      {"fake_gogo_frame_fails", false, 5, 3},  // failure at frame 3
      {"fake_gogo_zero_frames", true, 0, 3},   // a count of 0: every frame still advances
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fake);
    std::filesystem::remove(m_log);
    RecordingProgress progress;
    ASSERT_EQ(LoadGogoDll(m_dll, Search(c.fake)), kGogoLoaded);
    EXPECT_EQ(EncodeMp3(m_dll, m_host, m_source, m_output, RecorderSettings{}, progress), c.result);
    EXPECT_EQ(progress.stageUnits, c.stage);
    EXPECT_EQ(progress.advances, c.advances);
    const auto calls = Calls();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[calls.size() - 2], "closeCoder");
    EXPECT_EQ(calls.back(), "endCoder");
    FreeGogoDll(m_dll);
  }
  EXPECT_TRUE(m_host.Boxes().empty());
}

TEST_F(GogoDllTest, CancelledEncodingEndsTheJobAndFails) {
  ASSERT_EQ(LoadGogoDll(m_dll, Search("fake_gogo_calls")), kGogoLoaded);
  m_progress.cancelAfter = 2;
  EXPECT_FALSE(EncodeMp3(m_dll, m_host, m_source, m_output, RecorderSettings{}, m_progress));
  EXPECT_EQ(m_progress.advances, 2);
  const auto calls = Calls();
  ASSERT_GE(calls.size(), 2u);
  EXPECT_EQ(calls[calls.size() - 3], "processFrame");
  EXPECT_EQ(calls[calls.size() - 2], "closeCoder");
  EXPECT_EQ(calls.back(), "endCoder");
}

TEST_F(GogoDllTest, EncoderInfoTexts) {
  ASSERT_EQ(LoadGogoDll(m_dll, Search("fake_gogo_calls")), kGogoLoaded);
  EXPECT_EQ(GogoEncoderInfo(m_dll), "午後のこ～だ\r\nfake gogo 1.0");
  FreeGogoDll(m_dll);
  ASSERT_EQ(LoadGogoDll(m_dll, Search("fake_gogo_version_fails")), kGogoLoaded);
  EXPECT_EQ(GogoEncoderInfo(m_dll), "午後のこ～だ\r\ngetVersion() error");
  // Without a library nothing is called.
  FreeGogoDll(m_dll);
  EXPECT_FALSE(EncodeMp3(m_dll, m_host, m_source, m_output, RecorderSettings{}, m_progress));
  std::uint32_t code = 0;
  char text[260];
  EXPECT_NE(GetGogoVersion(m_dll, &code, text), 0u);
}

}  // namespace
}  // namespace mivo
