// The system profiles: two sets, version 4.0 (21 profiles) and version 7.0
// (26), each in the platform's own order, so that a stored profile number
// means what it always meant. The table is in system_profiles.cpp.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "platform/wm/wm.h"

namespace mivo::platform::wm {

// What FFmpeg cannot do of a profile, said in its name.
enum class Nearest {
  None,
  OneRate,    // a multiple-bit-rate profile: one stream at one rate
  BitRate,    // below the lowest WMA bit rate FFmpeg encodes (24 kbit/s)
  VoiceCodec  // a speech-codec profile: plain WMA instead
};

struct SystemProfile {
  const char* purpose;  // what the profile is for ("Audio 96 kbit/s")
  bool video;           // the profile has a video input (it gets nothing)
  std::uint32_t rate;   // audio: samples per second
  std::uint16_t channels;
  std::uint32_t bitrate;  // audio: bits per second
  Nearest nearest;
};

// The set of a version; empty for a version without profiles.
std::span<const SystemProfile> SystemProfiles(WMT_VERSION version);

// Profile `number` of the set of a version, as the profile manager loads it;
// nullptr when the set has no such profile.
const SystemProfile* FindSystemProfile(WMT_VERSION version, std::int64_t number);

// "Audio 96 kbit/s: 44.1 kHz stereo, 96 kbit/s", with what was changed when
// FFmpeg cannot encode the profile as the platform did.
std::string SystemProfileName(const SystemProfile& profile);

}  // namespace mivo::platform::wm
