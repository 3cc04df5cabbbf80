#include "platform/library/shared_library.h"

#include <dlfcn.h>
#include <unistd.h>

#include <filesystem>
#include <vector>

#include "platform/process/paths.h"

// The installed programs' private library folder, relative to their own
// (the folder their RUNPATH names).
#ifndef MIVO_PRIVATELIB_FROM_BIN
#define MIVO_PRIVATELIB_FROM_BIN "../lib/mivo"
#endif

namespace mivo::platform {
namespace {

// dlerror's text of the last failure on this thread (it is kept per thread).
std::string LastDlError(const char* fallback) {
  const char* text = ::dlerror();
  return text != nullptr ? std::string(text) : std::string(fallback);
}

}  // namespace

void SharedLibrary::Closer::operator()(void* handle) const noexcept {
  // Only a handle dlopen gave gets here; a failure leaves nothing to undo.
  static_cast<void>(::dlclose(handle));
}

bool SharedLibrary::Open(const std::string& file) {
  // A failure to release the old library leaves nothing to undo here.
  static_cast<void>(Close());
  m_strError.clear();
  if (file.empty()) {
    m_strError = "no library name given";
    return false;
  }
  static_cast<void>(::dlerror());  // forget an older failure
  void* handle = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    m_strError = LastDlError("the library cannot be loaded");
    return false;
  }
  m_handle.reset(handle);
  return true;
}

bool SharedLibrary::Close() {
  void* handle = m_handle.release();
  if (handle == nullptr) return true;
  static_cast<void>(::dlerror());
  if (::dlclose(handle) != 0) {
    m_strError = LastDlError("the library cannot be released");
    return false;
  }
  return true;
}

void* SharedLibrary::Symbol(const char* name, std::string* error) const {
  if (m_handle == nullptr || name == nullptr) {
    if (error != nullptr) *error = "no library is loaded";
    return nullptr;
  }
  static_cast<void>(::dlerror());
  void* address = ::dlsym(m_handle.get(), name);
  if (address == nullptr && error != nullptr) {
    *error = LastDlError("the symbol is missing");
  }
  return address;
}

std::string BundledLibraryPath(const std::string& name, const std::string& folder) {
  if (name.empty() || name.find('/') != std::string::npos) return {};
  std::vector<std::filesystem::path> folders;
  if (!folder.empty()) {
    folders.emplace_back(folder);
  } else {
    const std::filesystem::path exe(ExecutableFolder());
    folders = {exe / ".." / "lib", exe / MIVO_PRIVATELIB_FROM_BIN};
  }
  for (const std::filesystem::path& f : folders) {
    std::string path = (f / name).lexically_normal().string();
    if (::access(path.c_str(), F_OK) == 0) return path;
  }
  return {};
}

}  // namespace mivo::platform
