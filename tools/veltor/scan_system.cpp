#include "tools/veltor/scan_system.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

namespace veltor::cli {

#ifdef _WIN32

bool StandardErrorIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

void SetStandardStreamsBinary() {
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
}

std::FILE* OpenForReading(const std::filesystem::path& path) { return _wfopen(path.c_str(), L"rb"); }

std::string LoadedLibraryPath() {
  const HMODULE module = GetModuleHandleA("QZVeltor.dll");
  if (module == nullptr) return {};
  char name[MAX_PATH + 1] = {};
  const DWORD length = GetModuleFileNameA(module, name, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return {};
  return std::string(name, length);
}

#else

bool StandardErrorIsTerminal() { return isatty(STDERR_FILENO) == 1; }

void SetStandardStreamsBinary() {}

std::FILE* OpenForReading(const std::filesystem::path& path) { return std::fopen(path.c_str(), "rb"); }

std::string LoadedLibraryPath() {
  // The export's address as the loader resolved it lies inside the library.
  void* address = dlsym(RTLD_DEFAULT, "VeltorNewA");
  Dl_info info{};
  if (address == nullptr || dladdr(address, &info) == 0 || info.dli_fname == nullptr) return {};
  std::error_code code;
  const std::filesystem::path path = std::filesystem::canonical(info.dli_fname, code);
  return code ? std::string(info.dli_fname) : path.string();
}

#endif

}  // namespace veltor::cli
