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

// The path of `name` (a plain file name) in the first folder that holds it
// of those a program's RUNPATH names, found from the executable's place:
// "lib" beside its folder (the build tree), then the installed tree's
// private folder (lib/<triplet>/mivo). For when the usual search does not
// see that RUNPATH (as under AddressSanitizer, whose dlopen comes from its
// own runtime). `folder`, when given, is the one folder looked in instead.
// Empty for a name with '/' or when no folder holds it.
std::string BundledLibraryPath(const std::string& name, const std::string& folder = {});

}  // namespace mivo::platform
