#include "timer/disk_projection.h"

#include <cstdio>

#include "platform/wm/system_profiles.h"

namespace mivo {
namespace {

constexpr std::uint64_t kMegabyte = 1000 * 1000;

std::uint64_t BytesAt(std::uint64_t seconds, std::uint64_t bitsPerSecond) { return seconds * bitsPerSecond / 8; }

// The profile the worker writes WMA with, from the set the WMA8 box chooses.
const platform::wm::SystemProfile* WmaProfile(const WmaSetting& wma) {
  return platform::wm::FindSystemProfile(wma.bUseWMA8 ? platform::wm::WMT_VER_7_0 : platform::wm::WMT_VER_4_0,
                                         WmaProfileNumber(wma));
}

}  // namespace

TimedRunNeeds NeedsOfTimedRun(const RecorderSettings& s, std::int64_t seconds, std::uint32_t captureBytesPerSecond) {
  TimedRunNeeds needs;
  if (seconds <= 0) return needs;
  const auto secs = static_cast<std::uint64_t>(seconds);
  const std::uint64_t track = secs * captureBytesPerSecond;
  needs.tempBytes = track;
  if (s.RecNormalize || s.RecDeEmphasis || s.Rec4844) needs.tempBytes += track;  // a pass's ".tmp"
  if (s.RecDeEmphasis && s.m_bOrgsave) needs.tempBytes += track;                 // the "o.wav" copy
  if (s.RecMp3) {
    if (s.m_GogoSetting.dwOutFmt == 1) {
      needs.outputBytes += track;
    } else {
      const std::int64_t kbps = s.MC_BITRATE > 0 ? s.MC_BITRATE : 0;
      needs.outputBytes += BytesAt(secs, s.MC_BOOL_VBR != 0 ? kMp3VbrBitsPerSecond : static_cast<std::uint64_t>(kbps) * 1000);
    }
  }
  if (s.RecWma) {
    const platform::wm::SystemProfile* profile = WmaProfile(s.m_WmaSetting);
    needs.wmaEstimated = profile == nullptr;
    needs.outputBytes += BytesAt(secs, profile != nullptr ? profile->bitrate : kWmaEstimateBitsPerSecond);
  }
  return needs;
}

bool DiskCheck::Fits() const {
  for (const Disk& disk : disks) {
    if (disk.need > disk.available) return false;
  }
  return true;
}

DiskCheck CheckDiskSpace(const TimedRunNeeds& needs, const std::string& tempFolder, const std::string& outputFolder,
                         DiskSpaceQuery query) {
  DiskCheck check;
  check.wmaEstimated = needs.wmaEstimated;
  std::vector<std::uint64_t> systems;
  auto add = [&](const std::string& folder, std::uint64_t need) {
    platform::DiskSpace space;
    if (!query(folder, &space)) return;
    for (std::size_t i = 0; i < systems.size(); ++i) {
      if (systems[i] == space.fileSystem) {
        check.disks[i].folders.push_back(folder);
        check.disks[i].need += need;
        return;
      }
    }
    systems.push_back(space.fileSystem);
    check.disks.push_back(DiskCheck::Disk{{folder}, need, space.available});
  };
  add(tempFolder, needs.tempBytes);
  if (needs.outputBytes != 0) add(outputFolder, needs.outputBytes);
  return check;
}

std::string DiskWarningText(const DiskCheck& check) {
  std::string text = "タイマ録音の途中でディスクが足りなくなるおそれがあります。\n";
  for (const DiskCheck::Disk& disk : check.disks) {
    std::string folders;
    for (const std::string& folder : disk.folders) folders += (folders.empty() ? "" : "、") + folder;
    char figures[96];
    std::snprintf(figures, sizeof figures, "\n  必要 約 %llu MB / 空き %llu MB",
                  static_cast<unsigned long long>((disk.need + kMegabyte - 1) / kMegabyte),
                  static_cast<unsigned long long>(disk.available / kMegabyte));
    text += "\n" + folders + figures;
  }
  if (check.wmaEstimated) {
    text += "\n\n(WMA は " + std::to_string(kWmaEstimateBitsPerSecond / 1000) + " kbit/s として見積もっています)";
  }
  text += "\n\nタイマはこのままセットします。";
  return text;
}

}  // namespace mivo
