// The profile manager and the system profiles it loads.
#include <new>
#include <string>

#include "platform/wm/system_profiles.h"
#include "platform/wm/wm.h"

namespace mivo::platform::wm {
namespace {

class SystemProfileObject final : public RefCounted<IWMProfile> {
 public:
  explicit SystemProfileObject(const SystemProfile& profile) : m_profile(profile) {
    std::u16string wide;
    if (MultiByteToWideChar(SystemProfileName(profile), &wide)) m_name = std::move(wide);
  }

  HRESULT GetName(WCHAR* name, DWORD* length) override {
    if (length == nullptr) return E_POINTER;
    const auto needed = static_cast<DWORD>(m_name.size() + 1);
    if (name == nullptr) {
      *length = needed;
      return S_OK;
    }
    if (*length < needed) {
      *length = needed;
      return E_FAIL;
    }
    m_name.copy(name, m_name.size());
    name[m_name.size()] = u'\0';
    *length = needed;
    return S_OK;
  }

  HRESULT GetStreamCount(DWORD* count) override {
    if (count == nullptr) return E_POINTER;
    *count = m_profile.video ? 2 : 1;
    return S_OK;
  }

  // Stream 0 is the audio, stream 1 the video of a video profile.
  HRESULT GetStream(DWORD index, WM_STREAM_DESC* stream) override {
    if (stream == nullptr) return E_POINTER;
    if (index == 0) {
      *stream = WM_STREAM_DESC{WMMEDIATYPE_Audio, WAVE_FORMAT_WMAUDIO2, m_profile.channels, m_profile.rate,
                               m_profile.bitrate};
      return S_OK;
    }
    if (index == 1 && m_profile.video) {
      *stream = WM_STREAM_DESC{WMMEDIATYPE_Video, 0, 0, 0, 0};
      return S_OK;
    }
    return E_FAIL;
  }

 private:
  const SystemProfile& m_profile;
  std::u16string m_name;
};

class ProfileManager final : public RefCounted<IWMProfileManager2> {
 public:
  HRESULT QueryInterface(const IID& iid, void** object) override {
    return QueryInterfaceFor(iid, IID_IWMProfileManager2, object);
  }

  HRESULT LoadSystemProfile(DWORD profileIndex, IWMProfile** profile) override {
    if (profile == nullptr) return E_POINTER;
    *profile = nullptr;
    const SystemProfile* found = FindSystemProfile(m_version, profileIndex);
    if (found == nullptr) return E_FAIL;
    auto* object = new (std::nothrow) SystemProfileObject(*found);
    if (object == nullptr) return E_OUTOFMEMORY;
    *profile = object;
    return S_OK;
  }

  HRESULT GetSystemProfileCount(DWORD* count) override {
    if (count == nullptr) return E_POINTER;
    *count = static_cast<DWORD>(SystemProfiles(m_version).size());
    return S_OK;
  }

  HRESULT GetSystemProfileVersion(WMT_VERSION* version) override {
    if (version == nullptr) return E_POINTER;
    *version = m_version;
    return S_OK;
  }

  HRESULT SetSystemProfileVersion(WMT_VERSION version) override {
    if (SystemProfiles(version).empty()) return E_FAIL;
    m_version = version;
    return S_OK;
  }

 private:
  // The newest set until another is chosen.
  WMT_VERSION m_version = WMT_VER_7_0;
};

}  // namespace

HRESULT WMCreateProfileManager(IWMProfileManager** manager) {
  if (manager == nullptr) return E_POINTER;
  *manager = new (std::nothrow) ProfileManager();
  return *manager != nullptr ? S_OK : E_OUTOFMEMORY;
}

}  // namespace mivo::platform::wm
