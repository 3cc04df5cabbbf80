// The disk space a timed recording needs, and the warning when it will not fit.
#include <gtest/gtest.h>

#include <string>

#include "timer/disk_projection.h"

namespace mivo {
namespace {

constexpr std::uint32_t kCd = 176400;  // 44.1 kHz, 16 bit, stereo

TEST(DiskProjection, NeedsFollowTheEnabledPassesAndOutputs) {
  RecorderSettings s;  // WAV only
  TimedRunNeeds n = NeedsOfTimedRun(s, 3600, kCd);
  EXPECT_EQ(n.tempBytes, 3600ull * kCd);
  EXPECT_EQ(n.outputBytes, 0u);

  s.RecNormalize = true;  // a pass writes a copy beside the track
  s.RecDeEmphasis = true;
  s.m_bOrgsave = true;    // and de-emphasis keeps the unprocessed one
  s.RecMp3 = true;        // 128 kbit/s
  n = NeedsOfTimedRun(s, 3600, kCd);
  EXPECT_EQ(n.tempBytes, 3 * 3600ull * kCd);
  EXPECT_EQ(n.outputBytes, 3600ull * 16000);
  s.m_GogoSetting.dwOutFmt = 1;  // the encoder writes WAV
  EXPECT_EQ(NeedsOfTimedRun(s, 10, kCd).outputBytes, 10ull * kCd);
}

TEST(DiskProjection, WmaCountsAtTheBitRateOfTheProfileTheWorkerWritesWith) {
  RecorderSettings s;
  s.RecWma = true;
  struct Case {
    std::int32_t index;
    bool wma8;
    std::uint64_t bytesPerSecond;
  };
  const Case cases[] = {
      {0, true, 12000},    // none chosen: 7.0's "Audio 96 kbit/s"
      {0, false, 12000},   // 4.0's
      {24, true, 16000},   // 7.0 profile 23, "Audio 128 kbit/s"
      {9, false, 8000},    // 4.0 profile 8, "Audio 64 kbit/s"
      {26, false, 24000},  // no such profile in 4.0: the estimate
  };
  for (const Case& c : cases) {
    s.m_WmaSetting.nProfileIndex = c.index;
    s.m_WmaSetting.bUseWMA8 = c.wma8;
    const TimedRunNeeds n = NeedsOfTimedRun(s, 100, kCd);
    EXPECT_EQ(n.outputBytes, 100 * c.bytesPerSecond) << c.index << " " << c.wma8;
    EXPECT_EQ(n.wmaEstimated, c.bytesPerSecond == kWmaEstimateBitsPerSecond / 8) << c.index;
  }
}

bool SameDisk(const std::string&, platform::DiskSpace* space) {
  *space = platform::DiskSpace{1500 * 1000 * 1000ull, 7};
  return true;
}
bool TwoDisks(const std::string& folder, platform::DiskSpace* space) {
  *space = folder == "/tmp" ? platform::DiskSpace{2000 * 1000 * 1000ull, 1} : platform::DiskSpace{10, 2};
  return true;
}
bool Unknown(const std::string&, platform::DiskSpace*) { return false; }

TEST(DiskProjection, FoldersOnOneDiskShareItsSpaceAndTheWarningGivesTheFigures) {
  const TimedRunNeeds needs{1000 * 1000 * 1000ull, 600 * 1000 * 1000ull, true};
  EXPECT_TRUE(CheckDiskSpace(needs, "/tmp", "/out", TwoDisks).disks.size() == 2);
  EXPECT_FALSE(CheckDiskSpace(needs, "/tmp", "/out", TwoDisks).Fits());  // the second disk holds 10 bytes
  const DiskCheck shared = CheckDiskSpace(needs, "/rec", "/rec/out", SameDisk);
  ASSERT_EQ(shared.disks.size(), 1u);
  EXPECT_FALSE(shared.Fits());  // 1.6 GB on 1.5 GB
  const std::string text = DiskWarningText(shared);
  EXPECT_NE(text.find("/rec、/rec/out\n  必要 約 1600 MB / 空き 1500 MB"), std::string::npos) << text;
  EXPECT_NE(text.find("WMA は 192 kbit/s"), std::string::npos);
  EXPECT_TRUE(CheckDiskSpace(needs, "/tmp", "/out", Unknown).Fits());  // nothing known, nothing to warn of
}

TEST(DiskProjection, ANewFolderIsMeasuredOnTheDiskItWillBeMadeOn) {
  platform::DiskSpace here;
  platform::DiskSpace missing;
  ASSERT_TRUE(platform::QueryDiskSpace(".", &here));
  ASSERT_TRUE(platform::QueryDiskSpace("./not/made/yet", &missing));
  EXPECT_EQ(missing.fileSystem, here.fileSystem);
  EXPECT_GT(here.available, 0u);
}

}  // namespace
}  // namespace mivo
