// A shared library loaded at run time (dlopen), released when its owner
// goes: the stand-in for LoadLibrary, GetProcAddress and FreeLibrary.
#pragma once

#include <memory>
#include <string>

namespace mivo::platform {

class SharedLibrary {
 public:
  SharedLibrary() = default;
  SharedLibrary(SharedLibrary&&) noexcept = default;
  SharedLibrary& operator=(SharedLibrary&&) noexcept = default;
  SharedLibrary(const SharedLibrary&) = delete;
  SharedLibrary& operator=(const SharedLibrary&) = delete;
  ~SharedLibrary() = default;

  // Loads `file` with every symbol bound at once and none made visible to
  // later loads. A name without '/' goes through the usual search (the
  // executable's RUNPATH, LD_LIBRARY_PATH, the system's folders); a name
  // with '/' is a path. Releases what was held before. False when loading
  // failed; Error() says why.
  bool Open(const std::string& file);

  // Releases the library. False when the system refused (Error() says why);
  // the handle is forgotten either way.
  bool Close();

  bool IsOpen() const { return m_handle != nullptr; }

  // The address of `name`, or nullptr when the library has no such symbol;
  // `error` (when given) then receives the reason.
  void* Symbol(const char* name, std::string* error = nullptr) const;

  // Why the last Open or Close failed.
  const std::string& Error() const { return m_strError; }

 private:
  struct Closer {
    void operator()(void* handle) const noexcept;
  };
  std::unique_ptr<void, Closer> m_handle;
  std::string m_strError;
};

}  // namespace mivo::platform
