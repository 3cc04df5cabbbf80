// The one table of system profiles.
//
// Order: the platform's own, so that m_WmaSetting.nProfileIndex keeps its
// meaning (profile 9 of version 4.0 and 22 of version 7.0 are both "audio
// for 96 kbit/s", the defaults). A number with "kbit/s" in a video or radio
// profile is the connection it targets; the audio parameters are what the
// audio part of such a connection gets.
//
// Codec: every profile of both sets encodes with Windows Media Audio 2
// (FFmpeg's wmav2, format tag 0x161). That is the bitstream WMA versions 2 to
// 9 Standard all write and every WMA player reads, and the one these profile
// generations produced for music. FFmpeg's wmav1 (tag 0x160) is the first,
// older version: same engine, no gain in speed or size, fewer players.
//
// Where FFmpeg cannot do what the platform did the name says so: it writes
// no multiple-bit-rate files (one stream at one rate instead), has no speech
// codec, and encodes WMA at 24 kbit/s and more only.
#include "platform/wm/system_profiles.h"

#include <array>
#include <cstdio>

namespace mivo::platform::wm {
namespace {

constexpr bool V = true;   // has a video input
constexpr bool A = false;  // audio only
using N = Nearest;

constexpr std::array<SystemProfile, 21> kVersion4 = {{
    {"Dial-up multiple bit rate", V, 22050, 1, 24000, N::OneRate},
    {"Intranet multiple bit rate", V, 44100, 2, 64000, N::OneRate},
    {"28.8-100 kbit/s multiple bit rate", V, 22050, 2, 32000, N::OneRate},
    {"Voice 6.5 kbit/s", A, 8000, 1, 24000, N::VoiceCodec},
    {"AM radio 16 kbit/s", A, 11025, 1, 24000, N::BitRate},
    {"FM radio mono for 28.8 kbit/s", A, 22050, 1, 24000, N::None},
    {"FM radio stereo for 28.8 kbit/s", A, 22050, 2, 24000, N::None},
    {"Dial-up stereo for 56 kbit/s", A, 32000, 2, 32000, N::None},
    {"Audio 64 kbit/s", A, 44100, 2, 64000, N::None},
    {"Audio 96 kbit/s", A, 44100, 2, 96000, N::None},
    {"Audio 128 kbit/s", A, 44100, 2, 128000, N::None},
    {"Video with voice for 28.8 kbit/s", V, 8000, 1, 24000, N::None},
    {"Video with audio for 28.8 kbit/s", V, 11025, 1, 24000, N::None},
    {"Video for web servers, 28.8 kbit/s", V, 8000, 1, 24000, N::None},
    {"Dial-up video for 56 kbit/s", V, 16000, 1, 24000, N::None},
    {"Dial-up video for web servers, 56 kbit/s", V, 16000, 1, 24000, N::None},
    {"Video for 100 kbit/s", V, 22050, 2, 32000, N::None},
    {"Video for 250 kbit/s", V, 32000, 2, 48000, N::None},
    {"Video for 512 kbit/s", V, 44100, 2, 64000, N::None},
    {"Video for 1 Mbit/s", V, 44100, 2, 96000, N::None},
    {"Video for 3 Mbit/s", V, 44100, 2, 128000, N::None},
}};

constexpr std::array<SystemProfile, 26> kVersion7 = {{
    {"Dial-up multiple bit rate", V, 22050, 1, 24000, N::OneRate},
    {"Intranet multiple bit rate", V, 44100, 2, 64000, N::OneRate},
    {"28.8-100 kbit/s multiple bit rate", V, 22050, 2, 32000, N::OneRate},
    {"Video with voice for 28.8 kbit/s", V, 8000, 1, 24000, N::None},
    {"Video with audio for 28.8 kbit/s", V, 11025, 1, 24000, N::None},
    {"Video for web servers, 28.8 kbit/s", V, 8000, 1, 24000, N::None},
    {"Video for web servers, 56 kbit/s", V, 16000, 1, 24000, N::None},
    {"Video for ISDN, 64 kbit/s", V, 22050, 2, 24000, N::None},
    {"Video for 100 kbit/s", V, 22050, 2, 32000, N::None},
    {"Video for 256 kbit/s", V, 32000, 2, 48000, N::None},
    {"Video for 384 kbit/s", V, 44100, 2, 48000, N::None},
    {"Video for 768 kbit/s", V, 44100, 2, 64000, N::None},
    {"Video for 1500 kbit/s", V, 44100, 2, 96000, N::None},
    {"Video for 2000 kbit/s", V, 44100, 2, 128000, N::None},
    {"Film content for 700 kbit/s", V, 44100, 2, 64000, N::None},
    {"Film content for 1500 kbit/s", V, 44100, 2, 96000, N::None},
    {"Voice 6.5 kbit/s", A, 8000, 1, 24000, N::VoiceCodec},
    {"FM radio mono for 28.8 kbit/s", A, 22050, 1, 24000, N::None},
    {"FM radio stereo for 28.8 kbit/s", A, 22050, 2, 24000, N::None},
    {"Dial-up stereo for 56 kbit/s", A, 32000, 2, 32000, N::None},
    {"Audio for ISDN, 64 kbit/s", A, 44100, 2, 48000, N::None},
    {"Audio 64 kbit/s", A, 44100, 2, 64000, N::None},
    {"Audio 96 kbit/s", A, 44100, 2, 96000, N::None},
    {"Audio 128 kbit/s", A, 44100, 2, 128000, N::None},
    {"PDA video for 225 kbit/s", V, 22050, 2, 32000, N::None},
    {"PDA video for 150 kbit/s", V, 22050, 1, 24000, N::None},
}};

std::string Khz(std::uint32_t rate) {
  std::string text = std::to_string(rate / 1000);
  if (rate % 1000 != 0) {
    char frac[8];
    std::snprintf(frac, sizeof frac, ".%03u", rate % 1000);
    text += frac;
    while (text.back() == '0') text.pop_back();
  }
  return text;
}

}  // namespace

std::span<const SystemProfile> SystemProfiles(WMT_VERSION version) {
  if (version == WMT_VER_4_0) return kVersion4;
  if (version == WMT_VER_7_0) return kVersion7;
  return {};
}

const SystemProfile* FindSystemProfile(WMT_VERSION version, std::int64_t number) {
  const auto set = SystemProfiles(version);
  if (number < 0 || static_cast<std::uint64_t>(number) >= set.size()) return nullptr;
  return &set[static_cast<std::size_t>(number)];
}

std::string SystemProfileName(const SystemProfile& p) {
  std::string name = p.purpose;
  if (p.video) name += ", sound only";
  name += ": ";
  switch (p.nearest) {
    case Nearest::OneRate: name += "one rate, "; break;
    case Nearest::BitRate:
    case Nearest::VoiceCodec: name += "nearest WMA, "; break;
    case Nearest::None: break;
  }
  name += Khz(p.rate) + " kHz " + (p.channels == 1 ? "mono" : "stereo") + ", " +
          std::to_string(p.bitrate / 1000) + " kbit/s";
  return name;
}

}  // namespace mivo::platform::wm
