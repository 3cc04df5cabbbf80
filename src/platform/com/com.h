// The small COM-like base the Windows-Media-shaped layers share: 32-bit
// status codes, GUIDs, reference-counted interfaces with an owning pointer,
// a per-thread initialisation that only counts, and the two kernel helpers
// the encoders use (MulDiv and the ANSI/UTF-16 conversions).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace mivo::platform {

// Status codes: negative is failure.
using HRESULT = std::int32_t;
inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
inline constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFFu);
inline constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003u);
inline constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
constexpr bool FAILED(HRESULT hr) { return hr < 0; }

using WCHAR = char16_t;

struct GUID {
  std::uint32_t Data1 = 0;
  std::uint16_t Data2 = 0;
  std::uint16_t Data3 = 0;
  std::uint8_t Data4[8] = {};

  friend constexpr bool operator==(const GUID& a, const GUID& b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
    for (int i = 0; i < 8; ++i) {
      if (a.Data4[i] != b.Data4[i]) return false;
    }
    return true;
  }
};
using IID = GUID;

// IUnknown {00000000-0000-0000-C000-000000000046}
inline constexpr IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

class IUnknown {
 public:
  virtual HRESULT QueryInterface(const IID& iid, void** object) = 0;
  virtual std::uint32_t AddRef() = 0;
  virtual std::uint32_t Release() = 0;

 protected:
  // Objects end through Release only.
  virtual ~IUnknown() = default;
};

// The reference count of an object: starts at 1, Release at 0 deletes.
// QueryInterface answers IUnknown; an object that offers another interface
// overrides it with QueryInterfaceFor.
template <class Interface>
class RefCounted : public Interface {
 public:
  std::uint32_t AddRef() override { return m_refs.fetch_add(1, std::memory_order_relaxed) + 1; }
  std::uint32_t Release() override {
    const std::uint32_t left = m_refs.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) delete this;
    return left;
  }
  HRESULT QueryInterface(const IID& iid, void** object) override { return QueryInterfaceFor(iid, IID_IUnknown, object); }

 protected:
  // This object for IUnknown and `own` (after AddRef), else E_NOINTERFACE.
  HRESULT QueryInterfaceFor(const IID& iid, const IID& own, void** object) {
    if (object == nullptr) return E_POINTER;
    if (iid == IID_IUnknown || iid == own) {
      AddRef();
      *object = static_cast<Interface*>(this);
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }

 private:
  std::atomic<std::uint32_t> m_refs{1};
};

// Owns one reference: released when reset or destroyed.
template <class T>
class ComPtr {
 public:
  ComPtr() = default;
  // Takes over a reference the caller holds (no AddRef).
  explicit ComPtr(T* p) noexcept : m_p(p) {}
  ~ComPtr() { Reset(); }
  ComPtr(ComPtr&& other) noexcept : m_p(std::exchange(other.m_p, nullptr)) {}
  ComPtr& operator=(ComPtr&& other) noexcept {
    if (this != &other) {
      Reset();
      m_p = std::exchange(other.m_p, nullptr);
    }
    return *this;
  }
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;

  T* Get() const noexcept { return m_p; }
  T* operator->() const noexcept { return m_p; }
  explicit operator bool() const noexcept { return m_p != nullptr; }
  // Releases what is held and gives the address for an out parameter.
  T** Put() noexcept {
    Reset();
    return &m_p;
  }
  void** PutVoid() noexcept { return reinterpret_cast<void**>(Put()); }
  void Reset() noexcept {
    if (T* p = std::exchange(m_p, nullptr)) p->Release();
  }
  T* Detach() noexcept { return std::exchange(m_p, nullptr); }

 private:
  T* m_p = nullptr;
};

// Per-thread initialisation: counts calls. The first on a thread returns
// S_OK, later ones S_FALSE; each must be paired with CoUninitialize.
HRESULT CoInitialize(void* reserved = nullptr);
void CoUninitialize();
// How many CoInitialize calls of this thread are not yet paired (tests).
int CoInitializeCount();

// a × b ÷ c rounded to the nearest integer, with a 64-bit intermediate;
// -1 when c is 0 or the result does not fit in 32 bits.
std::int32_t MulDiv(std::int32_t a, std::int32_t b, std::int32_t c);

// Text in the program's 8-bit code page (UTF-8 here) to UTF-16 and back.
// Bytes that are not UTF-8 travel as the code units U+DC80..U+DCFF and come
// back as the same bytes, so any path survives the round trip. False when
// the text holds a NUL.
bool MultiByteToWideChar(std::string_view text, std::u16string* wide);
// UTF-16 to 8-bit text; an unpaired surrogate other than the escapes above
// becomes "?".
std::string WideCharToMultiByte(std::u16string_view wide);

}  // namespace mivo::platform
