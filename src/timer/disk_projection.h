// What a timed recording will write, against the free space of the folders
// it writes to, so that the user learns before arming that a long run will
// not fit.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/process/disk_space.h"
#include "settings/recorder_settings.h"

namespace mivo {

// Rates assumed where the settings do not fix one: WMA output when the
// stored profile number names no profile (no WMA file is then written),
// MP3 output in variable bit rate mode (the format's highest rate).
inline constexpr std::uint32_t kWmaEstimateBitsPerSecond = 192000;
inline constexpr std::uint32_t kMp3VbrBitsPerSecond = 320000;

struct TimedRunNeeds {
  std::uint64_t tempBytes = 0;    // in RecTempFolder
  std::uint64_t outputBytes = 0;  // in RecFolder
  bool wmaEstimated = false;      // the WMA figure uses kWmaEstimateBitsPerSecond
};

// The bytes a run of `seconds` leaves on disk at its fullest, as if it were
// one track: the track itself, a sample pass's temporary copy of it when a
// pass is enabled, the unprocessed copy de-emphasis keeps when asked to, and
// the enabled outputs (the MP3 encoder's WAV form at the capture rate, WMA
// at the bit rate of the system profile the worker writes it with).
TimedRunNeeds NeedsOfTimedRun(const RecorderSettings& s, std::int64_t seconds, std::uint32_t captureBytesPerSecond);

using DiskSpaceQuery = bool (*)(const std::string& folder, platform::DiskSpace* space);

struct DiskCheck {
  struct Disk {
    std::vector<std::string> folders;  // the folders on this file system
    std::uint64_t need = 0;
    std::uint64_t available = 0;
  };
  std::vector<Disk> disks;  // folders whose space the system could not tell are left out
  bool wmaEstimated = false;

  bool Fits() const;
};

// Puts the needs of both folders against their file systems; folders on one
// file system share its space.
DiskCheck CheckDiskSpace(const TimedRunNeeds& needs, const std::string& tempFolder, const std::string& outputFolder,
                         DiskSpaceQuery query);

// The warning with the figures of every disk, in MB.
std::string DiskWarningText(const DiskCheck& check);

}  // namespace mivo
