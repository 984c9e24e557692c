#include "engine/api/module_directory.h"

#include <cstring>

#include "engine/platform/module_entry.h"
#include "engine/platform/platform.h"

namespace veltor {
namespace {

char moduleDirectory[ModuleDirectorySize] = {};
bool moduleDirectoryKnown = false;

}  // namespace

void RecordModuleDirectory(const void* module) noexcept {
  char name[ModuleDirectorySize] = {};
  const uint32_t length = platform::ModuleFileName(module, name, ModuleDirectorySize);
  // A truncated name would give the wrong folder: better none at all.
  if (length == 0 || length >= ModuleDirectorySize) return;
  name[ModuleDirectorySize - 1] = '\0';
  if (char* separator = std::strrchr(name, platform::PathSeparator)) *separator = '\0';
  std::memcpy(moduleDirectory, name, ModuleDirectorySize);
  moduleDirectoryKnown = true;
}

bool DefaultDatabasePath(char (&path)[DefaultDatabasePathSize]) noexcept {
  if (!moduleDirectoryKnown) return false;
  // The folder fits ModuleDirectorySize bytes with its NUL, so the whole
  // path fits.
  const size_t folder = std::strlen(moduleDirectory);
  std::memcpy(path, moduleDirectory, folder);
  path[folder] = platform::PathSeparator;
  std::memcpy(path + folder + 1, DefaultDatabaseName, sizeof(DefaultDatabaseName));
  return true;
}

namespace platform {

void OnLibraryAttach(const void* module) noexcept { RecordModuleDirectory(module); }

}  // namespace platform

}  // namespace veltor
