#include "api/module_directory.h"

#include <cstring>

#include "platform/module_entry.h"
#include "platform/platform.h"

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

const char* ModuleDirectory() noexcept { return moduleDirectory; }

std::optional<std::string> DefaultDatabasePath() {
  if (!moduleDirectoryKnown) return std::nullopt;
  std::string path = moduleDirectory;
  path += platform::PathSeparator;
  path += DefaultDatabaseName;
  return path;
}

namespace platform {

void OnLibraryAttach(const void* module) noexcept { RecordModuleDirectory(module); }

}  // namespace platform

}  // namespace veltor
