#include "engine/api/scan_handle.h"

#include "engine/database/database_file.h"
#include "engine/database/database_memory.h"

namespace veltor {

void ClearHandle(ScanHandle& handle) noexcept {
  handle.context.reset();
  handle.library.reset();
  handle.readBuffer.reset();
  handle.sink = nullptr;
}

namespace {

// Builds the scan context over the library just loaded into the handle.
bool FinishLoad(ScanHandle& handle) noexcept {
  if (!handle.library) return false;
  handle.context = BuildScanContext(handle.library.get());
  handle.readBuffer = NewBuffer<uint8_t>(FileReadBufferSize);
  if (!handle.context || !handle.readBuffer) {
    ClearHandle(handle);
    return false;
  }
  return true;
}

}  // namespace

bool LoadHandle(ScanHandle& handle, const char* path) noexcept {
  ClearHandle(handle);
  if (path == nullptr) return false;
  handle.library = LoadDatabaseFile(path);
  return FinishLoad(handle);
}

bool LoadHandleImage(ScanHandle& handle, std::span<const uint8_t> image) noexcept {
  ClearHandle(handle);
  handle.library = LoadDatabaseImage(image);
  return FinishLoad(handle);
}

}  // namespace veltor
