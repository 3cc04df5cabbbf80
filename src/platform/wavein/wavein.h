// Wave input, shaped like the waveIn calls of the Windows multimedia API:
// the same calls, order and results, over Linux sound systems.
//
// A device fills the buffers queued to it in the order they were queued and
// posts one MM_WIM_DATA per full buffer to the window given at open
// (wParam: the device handle, lParam: the WAVEHDR*). waveInReset returns
// every queued buffer (posted as MM_WIM_DATA too, with dwBytesRecorded
// telling how much was filled). When data arrives while no buffer is queued
// the device drops it and counts an overrun: nothing is lost silently.
// When the device's state changes (overrun count, lost, back) it posts
// MM_WIM_STATUS; waveInGetStatus tells the details.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace mivo::ui {
class IWindow;
}

namespace mivo::platform {

using MMRESULT = unsigned;
inline constexpr MMRESULT MMSYSERR_NOERROR = 0;
inline constexpr MMRESULT MMSYSERR_ERROR = 1;
inline constexpr MMRESULT MMSYSERR_BADDEVICEID = 2;
inline constexpr MMRESULT MMSYSERR_ALLOCATED = 4;
inline constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;
inline constexpr MMRESULT MMSYSERR_NODRIVER = 6;
inline constexpr MMRESULT MMSYSERR_NOMEM = 7;
inline constexpr MMRESULT MMSYSERR_INVALPARAM = 11;
inline constexpr MMRESULT WAVERR_BADFORMAT = 32;
inline constexpr MMRESULT WAVERR_STILLPLAYING = 33;
inline constexpr MMRESULT WAVERR_UNPREPARED = 34;

inline constexpr unsigned WAVE_MAPPER = 0xFFFFFFFFu;

inline constexpr unsigned MM_WIM_DATA = 0x03C0;
inline constexpr unsigned MM_WIM_STATUS = 0x03C1;  // the device's state changed

inline constexpr std::uint32_t WHDR_DONE = 0x01;
inline constexpr std::uint32_t WHDR_PREPARED = 0x02;
inline constexpr std::uint32_t WHDR_INQUEUE = 0x10;

struct WAVEFORMATEX {
  std::uint16_t wFormatTag = 1;  // PCM
  std::uint16_t nChannels = 2;
  std::uint32_t nSamplesPerSec = 44100;
  std::uint32_t nAvgBytesPerSec = 176400;
  std::uint16_t nBlockAlign = 4;
  std::uint16_t wBitsPerSample = 16;
  std::uint16_t cbSize = 0;
};

struct WAVEHDR {
  char* lpData = nullptr;
  std::uint32_t dwBufferLength = 0;
  std::uint32_t dwBytesRecorded = 0;
  std::uintptr_t dwUser = 0;
  std::uint32_t dwFlags = 0;
  std::uint32_t dwLoops = 0;
  WAVEHDR* lpNext = nullptr;
  std::uintptr_t reserved = 0;
};

// The capabilities of one device. The name is the one the user sees (a
// PulseAudio source description, an ALSA card name), never cut short.
struct WAVEINCAPS {
  std::string szPname;
  std::uint16_t wChannels = 2;
  // The input given for this run only (--input-file): not a device to
  // choose for later runs.
  bool bThisRunOnly = false;
};

struct WaveInDevice;
using HWAVEIN = WaveInDevice*;

enum class WaveInState { Running, Lost };

struct WaveInStatus {
  WaveInState state = WaveInState::Running;
  std::uint64_t overruns = 0;  // buffers dropped because none was queued
  bool demo = false;           // the built-in demo signal, not a real input
  std::string deviceName;      // what is being captured
};

// One sound system's wave-input service. Calls are made on the window's
// thread; the device's own thread only fills buffers and posts messages.
class IWaveIn {
 public:
  virtual ~IWaveIn() = default;
  virtual unsigned waveInGetNumDevs() = 0;
  virtual MMRESULT waveInGetDevCaps(unsigned deviceId, WAVEINCAPS* caps) = 0;
  // deviceId WAVE_MAPPER opens the preferred device.
  virtual MMRESULT waveInOpen(HWAVEIN* phwi, unsigned deviceId, const WAVEFORMATEX& format,
                              ui::IWindow* callbackWindow) = 0;
  virtual MMRESULT waveInPrepareHeader(HWAVEIN hwi, WAVEHDR* hdr) = 0;
  virtual MMRESULT waveInUnprepareHeader(HWAVEIN hwi, WAVEHDR* hdr) = 0;
  virtual MMRESULT waveInAddBuffer(HWAVEIN hwi, WAVEHDR* hdr) = 0;
  virtual MMRESULT waveInStart(HWAVEIN hwi) = 0;
  virtual MMRESULT waveInStop(HWAVEIN hwi) = 0;
  virtual MMRESULT waveInReset(HWAVEIN hwi) = 0;
  virtual MMRESULT waveInClose(HWAVEIN hwi) = 0;
  virtual MMRESULT waveInGetStatus(HWAVEIN hwi, WaveInStatus* status) = 0;
};

// The name of the built-in demo signal in the device list.
inline constexpr const char* kDemoDeviceName = "デモ信号 (Mivo)";

struct WaveInOptions {
  std::string inputFile;  // --input-file: a WAV played at real-time pace, the preferred device
  bool demo = false;      // --demo: the demo signal is the preferred device
  // How long the first look at the sound system waits for a PulseAudio
  // server that is there but does not answer yet (a login session coming
  // up). A server that is not there at all is not waited for.
  std::chrono::milliseconds serverWait{30000};
};

// The system's wave input: the file input when one is given, PulseAudio's
// sources (PipeWire serves the same API), else ALSA's capture devices, then
// the built-in demo signal, listed only when the system offers no capture
// device at all or when asked for. WAVE_MAPPER opens the file, the demo
// when asked for, else the sound system's preferred device; it never falls
// back to the demo: a stand-in is the caller's choice, by its index.
// `error` explains a refused input file.
std::unique_ptr<IWaveIn> CreateSystemWaveIn(const WaveInOptions& options, std::string* error);

}  // namespace mivo::platform
