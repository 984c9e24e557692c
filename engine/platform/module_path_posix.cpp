// A module's own file name outside Windows, from the dynamic loader. Built
// in fixed buffers: it runs when the library is attached, where out of
// memory must not depend on the C++ runtime's exceptions.
#include <dlfcn.h>
#include <limits.h>
#include <link.h>
#include <unistd.h>

#include <cstring>

#include "engine/platform/platform.h"

namespace veltor::platform {
namespace {

// Room for a folder and a relative name joined, each up to PATH_MAX.
constexpr size_t JoinedSize = 2 * PATH_MAX + 2;

// Appends `length` bytes; false when they do not fit with a terminator.
bool Append(char* path, size_t& used, const char* bytes, size_t length) noexcept {
  if (length >= JoinedSize - used) return false;
  std::memcpy(path + used, bytes, length);
  used += length;
  path[used] = '\0';
  return true;
}

// Rewrites an absolute path in place without empty and "." components, and
// with each ".." taking away the component before it (none above the root),
// as a purely lexical normalisation does.
void NormaliseAbsolute(char* path) noexcept {
  size_t out = 0;
  const char* in = path;
  while (*in != '\0') {
    while (*in == '/') ++in;
    const char* end = in;
    while (*end != '\0' && *end != '/') ++end;
    const auto length = static_cast<size_t>(end - in);
    if (length == 0 || (length == 1 && in[0] == '.')) {
      // nothing to keep
    } else if (length == 2 && in[0] == '.' && in[1] == '.') {
      while (out > 0 && path[out - 1] != '/') --out;
      if (out > 0) --out;  // the separator before the dropped component
    } else {
      path[out++] = '/';
      std::memmove(path + out, in, length);
      out += length;
    }
    in = end;
  }
  if (out == 0) path[out++] = '/';
  path[out] = '\0';
}

// The path the loader mapped the module from, made absolute, in `path`;
// false when the address lies in no module or the path does not fit.
bool LoaderPath(const void* address, char (&path)[JoinedSize]) noexcept {
  Dl_info info{};
  link_map* map = nullptr;
  if (dladdr1(address, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) == 0) return false;
  size_t used = 0;
  path[0] = '\0';
  // The loader records the main program under the name it was started by
  // (argv[0], possibly found through PATH and so without a folder); the
  // kernel knows its real file.
  if (map != nullptr && map->l_name != nullptr && map->l_name[0] == '\0') {
    const ssize_t length = readlink("/proc/self/exe", path, PATH_MAX);
    if (length > 0 && length < PATH_MAX) {
      used = static_cast<size_t>(length);
      path[used] = '\0';
    }
  }
  if (used == 0) {
    if (info.dli_fname == nullptr || info.dli_fname[0] == '\0') return false;
    // Shared objects loaded through a relative name keep it; the current
    // directory is still the one they were loaded from while the module
    // entry runs.
    if (info.dli_fname[0] != '/') {
      if (getcwd(path, PATH_MAX) == nullptr) return false;
      used = std::strlen(path);
      if (!Append(path, used, "/", 1)) return false;
    }
    if (!Append(path, used, info.dli_fname, std::strlen(info.dli_fname))) return false;
  }
  NormaliseAbsolute(path);
  return true;
}

}  // namespace

uint32_t ModuleFileName(const void* module, char* buffer, uint32_t size) noexcept {
  if (buffer == nullptr || size == 0) return 0;
  char path[JoinedSize];
  if (!LoaderPath(module, path)) {
    buffer[0] = '\0';
    return 0;
  }
  // Like Windows: a path that does not fit is cut to size - 1 bytes and
  // terminated, and the result is the full size.
  const size_t length = std::strlen(path);
  const size_t copied = length < size ? length : size - 1u;
  std::memcpy(buffer, path, copied);
  buffer[copied] = '\0';
  return length < size ? static_cast<uint32_t>(copied) : size;
}

}  // namespace veltor::platform
