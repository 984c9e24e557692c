// A module's own file name outside Windows, from the dynamic loader.
#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "platform/platform.h"

namespace veltor::platform {
namespace {

// The loader records the main program under the name it was started by
// (argv[0], possibly found through PATH and so without a folder); the kernel
// knows its real file.
std::string MainProgramPath() {
  std::string path(4096, '\0');
  const ssize_t length = readlink("/proc/self/exe", path.data(), path.size());
  if (length <= 0 || static_cast<std::size_t>(length) >= path.size()) return {};
  path.resize(static_cast<std::size_t>(length));
  return path;
}

// The path the loader mapped the module from, made absolute. Empty when the
// address lies in no module.
std::string LoaderPath(const void* address) {
  Dl_info info{};
  link_map* map = nullptr;
  if (dladdr1(address, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) == 0) return {};
  std::string path;
  if (map != nullptr && map->l_name != nullptr && map->l_name[0] == '\0') path = MainProgramPath();
  if (path.empty() && info.dli_fname != nullptr) path = info.dli_fname;
  if (path.empty()) return {};
  // Shared objects loaded through a relative name keep it; the current
  // directory is still the one they were loaded from while the module entry
  // runs.
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(path, error);
  if (error) return {};
  return absolute.lexically_normal().string();
}

}  // namespace

uint32_t ModuleFileName(const void* module, char* buffer, uint32_t size) noexcept {
  if (buffer == nullptr || size == 0) return 0;
  std::string path;
  try {
    path = LoaderPath(module);
  } catch (...) {  // out of memory: the call fails like any other
    path.clear();
  }
  if (path.empty()) {
    buffer[0] = '\0';
    return 0;
  }
  // Like Windows: a path that does not fit is cut to size - 1 bytes and
  // terminated, and the result is the full size.
  const std::size_t copied = path.size() < size ? path.size() : size - 1u;
  std::memcpy(buffer, path.data(), copied);
  buffer[copied] = '\0';
  return path.size() < size ? static_cast<uint32_t>(copied) : size;
}

}  // namespace veltor::platform
