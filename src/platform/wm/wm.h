// The Windows Media writer layer: a profile manager that hands out the
// system profiles, a writer that encodes PCM samples into a WMA (ASF) file,
// and an indexer that adds a seek index to a finished file afterwards.
// Shaped like the Windows Media Format calls the encoder makes, in the same
// order and with the same status codes; FFmpeg does the encoding behind it.
#pragma once

#include <cstdint>

#include "platform/com/com.h"

namespace mivo::platform::wm {

using platform::GUID;
using platform::HRESULT;
using platform::IID;
using platform::IUnknown;
using platform::WCHAR;

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using QWORD = std::uint64_t;
using BOOL = std::int32_t;

// System profile sets.
using WMT_VERSION = DWORD;
inline constexpr WMT_VERSION WMT_VER_4_0 = 0x00040000;
inline constexpr WMT_VERSION WMT_VER_7_0 = 0x00070000;

// Media kinds, subtypes and format types.
inline constexpr GUID WMMEDIATYPE_Audio = {0x73647561, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
inline constexpr GUID WMMEDIATYPE_Video = {0x73646976, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
inline constexpr GUID WMMEDIATYPE_Script = {0x73636D64, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
inline constexpr GUID WMMEDIASUBTYPE_PCM = {0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
inline constexpr GUID WMFORMAT_WaveFormatEx = {0x05589F81, 0xC356, 0x11CE, {0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A}};

inline constexpr IID IID_IWMProfileManager2 = {0x7A924E51, 0x73C1, 0x494D, {0x80, 0x19, 0x23, 0xD3, 0x7E, 0xD9, 0xB8, 0x9A}};
inline constexpr IID IID_IWMStatusCallback = {0x6D7CDC70, 0x9888, 0x11D3, {0x8E, 0xDC, 0x00, 0xC0, 0x4F, 0x61, 0x09, 0xCF}};

inline constexpr WORD WAVE_FORMAT_PCM = 0x0001;
inline constexpr WORD WAVE_FORMAT_EXTENSIBLE = 0xFFFE;
// Windows Media Audio 2 and later (the codec every profile encodes with).
inline constexpr WORD WAVE_FORMAT_WMAUDIO2 = 0x0161;

#pragma pack(push, 1)
struct WAVEFORMATEX {
  WORD wFormatTag;
  WORD nChannels;
  DWORD nSamplesPerSec;
  DWORD nAvgBytesPerSec;
  WORD nBlockAlign;
  WORD wBitsPerSample;
  WORD cbSize;
};
#pragma pack(pop)
static_assert(sizeof(WAVEFORMATEX) == 18);

struct WM_MEDIA_TYPE {
  GUID majortype;
  GUID subtype;
  BOOL bFixedSizeSamples;
  BOOL bTemporalCompression;
  std::uint32_t lSampleSize;
  GUID formattype;
  IUnknown* pUnk;
  std::uint32_t cbFormat;
  BYTE* pbFormat;
};

// Status values delivered to IWMStatusCallback::OnStatus.
enum WMT_STATUS : std::int32_t {
  WMT_ERROR = 0,
  WMT_STARTED = 11,
  WMT_CLOSED = 13,
  WMT_INDEX_PROGRESS = 16,
};
enum WMT_ATTR_DATATYPE : std::int32_t { WMT_TYPE_DWORD = 0 };

// One stream of a profile, as the writer sees it: its media kind and, for
// audio, what it encodes to.
struct WM_STREAM_DESC {
  GUID majortype;
  WORD wFormatTag;       // codec of an audio stream
  WORD nChannels;
  DWORD nSamplesPerSec;
  DWORD dwBitrate;       // bits per second
};

class IWMProfile : public IUnknown {
 public:
  // Name in UTF-16 with its terminator. With no buffer, *length receives
  // the units needed; a buffer shorter than that gives E_FAIL.
  virtual HRESULT GetName(WCHAR* name, DWORD* length) = 0;
  virtual HRESULT GetStreamCount(DWORD* count) = 0;
  virtual HRESULT GetStream(DWORD index, WM_STREAM_DESC* stream) = 0;
};

class IWMProfileManager : public IUnknown {
 public:
  virtual HRESULT LoadSystemProfile(DWORD profileIndex, IWMProfile** profile) = 0;
  virtual HRESULT GetSystemProfileCount(DWORD* count) = 0;
};

// Reached through QueryInterface(IID_IWMProfileManager2).
class IWMProfileManager2 : public IWMProfileManager {
 public:
  virtual HRESULT GetSystemProfileVersion(WMT_VERSION* version) = 0;
  virtual HRESULT SetSystemProfileVersion(WMT_VERSION version) = 0;
};

class INSSBuffer : public IUnknown {
 public:
  virtual HRESULT GetLength(DWORD* length) = 0;
  virtual HRESULT SetLength(DWORD length) = 0;
  virtual HRESULT GetMaxLength(DWORD* length) = 0;
  virtual HRESULT GetBufferAndLength(BYTE** buffer, DWORD* length) = 0;
};

class IWMInputMediaProps : public IUnknown {
 public:
  virtual HRESULT GetType(GUID* type) = 0;
  virtual HRESULT SetMediaType(const WM_MEDIA_TYPE* type) = 0;
};

class IWMWriter : public IUnknown {
 public:
  virtual HRESULT SetProfile(IWMProfile* profile) = 0;
  virtual HRESULT SetOutputFilename(const WCHAR* filename) = 0;
  virtual HRESULT GetInputCount(DWORD* count) = 0;
  virtual HRESULT GetInputProps(DWORD inputNum, IWMInputMediaProps** input) = 0;
  virtual HRESULT SetInputProps(DWORD inputNum, IWMInputMediaProps* input) = 0;
  virtual HRESULT BeginWriting() = 0;
  // The file is complete and under its name when this returns success.
  virtual HRESULT EndWriting() = 0;
  virtual HRESULT AllocateSample(DWORD size, INSSBuffer** sample) = 0;
  // Sample time in 100-nanosecond units.
  virtual HRESULT WriteSample(DWORD inputNum, QWORD sampleTime, DWORD flags, INSSBuffer* sample) = 0;
};

class IWMStatusCallback : public IUnknown {
 public:
  virtual HRESULT OnStatus(WMT_STATUS status, HRESULT result, WMT_ATTR_DATATYPE type, BYTE* value,
                           void* context) = 0;
};

class IWMIndexer : public IUnknown {
 public:
  // Starts indexing the closed file on a thread of the indexer's own, which
  // reports WMT_STARTED, WMT_INDEX_PROGRESS (percent) and finally
  // WMT_CLOSED (with the result) to the callback.
  virtual HRESULT StartIndexing(const WCHAR* url, IWMStatusCallback* callback, void* context) = 0;
  virtual HRESULT Cancel() = 0;
};

HRESULT WMCreateProfileManager(IWMProfileManager** manager);
HRESULT WMCreateWriter(IUnknown* reserved, IWMWriter** writer);
HRESULT WMCreateIndexer(IWMIndexer** indexer);

}  // namespace mivo::platform::wm
