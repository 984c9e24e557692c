#include "support/veltor_library.h"

#include <stdexcept>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace veltor::testing {
namespace {

void* OpenModule(const std::filesystem::path& path) {
#ifdef _WIN32
  return reinterpret_cast<void*>(LoadLibraryW(path.wstring().c_str()));
#else
  return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
#endif
}

void CloseModule(void* module) {
#ifdef _WIN32
  FreeLibrary(reinterpret_cast<HMODULE>(module));
#else
  dlclose(module);
#endif
}

template <typename Proc>
void Resolve(void* module, const char* name, Proc& proc) {
#ifdef _WIN32
  FARPROC address = GetProcAddress(reinterpret_cast<HMODULE>(module), name);
#else
  void* address = dlsym(module, name);
#endif
  if (address == nullptr) throw std::runtime_error(std::string("missing export ") + name);
#ifdef _WIN32
  // Through the generic function pointer type, which any function type may
  // be cast from and to.
  proc = reinterpret_cast<Proc>(reinterpret_cast<void (*)()>(address));
#else
  proc = reinterpret_cast<Proc>(address);
#endif
}

}  // namespace

VeltorLibrary::VeltorLibrary(const std::filesystem::path& path) {
  module_ = OpenModule(path);
  if (module_ == nullptr) throw std::runtime_error("cannot load " + path.string());
  try {
    Resolve(module_, "VeltorNewA", exports_.newA);
    Resolve(module_, "VeltorNewW", exports_.newW);
    Resolve(module_, "VeltorDelete", exports_.deleteHandle);
    Resolve(module_, "VeltorGetLibDate", exports_.getLibDate);
    Resolve(module_, "VeltorFileA", exports_.fileA);
    Resolve(module_, "VeltorFileW", exports_.fileW);
    Resolve(module_, "VeltorMemoryA", exports_.memoryA);
    Resolve(module_, "VeltorMemoryW", exports_.memoryW);
  } catch (...) {
    CloseModule(module_);
    throw;
  }
}

VeltorLibrary::~VeltorLibrary() { CloseModule(module_); }

std::filesystem::path BuiltLibraryPath() { return VELTOR_BUILT_LIBRARY_PATH; }

}  // namespace veltor::testing
