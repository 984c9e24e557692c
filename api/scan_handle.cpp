#include "api/scan_handle.h"

#include "database/database_file.h"

namespace veltor {

void ClearHandle(ScanHandle& handle) noexcept {
  handle.context.reset();
  handle.library.reset();
  handle.sink = nullptr;
}

bool LoadHandle(ScanHandle& handle, const char* path) noexcept {
  ClearHandle(handle);
  if (path == nullptr) return false;
  handle.library = LoadDatabaseFile(path);
  if (!handle.library) return false;
  handle.context = BuildScanContext(handle.library.get());
  if (!handle.context) {
    ClearHandle(handle);
    return false;
  }
  return true;
}

}  // namespace veltor
