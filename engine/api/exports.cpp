// The eight exports. Each one catches everything: nothing is thrown across
// the library boundary, and a failure is a null handle or a 0 result.
#include <climits>
#include <memory>

#include "engine/api/module_directory.h"
#include "engine/api/scan.h"
#include "engine/api/scan_handle.h"
#include "engine/api/veltor.h"
#include "engine/platform/platform.h"
#include "engine/platform/allocation.h"

namespace veltor {
namespace {

// Converts a UTF-16 path to the ANSI code page into a buffer of 2n + 16
// bytes. Null when the conversion fails, does not fit or memory runs out:
// the path is then treated like a file that cannot be opened.
HeapArray<char> WidePathToAnsi(const VeltorWideChar* path) noexcept {
  const auto* wide = reinterpret_cast<const char16_t*>(path);
  size_t units = 0;
  while (wide[units] != u'\0') ++units;
  if (units > (static_cast<size_t>(INT32_MAX) - 16) / 2) return nullptr;
  const size_t capacity = 2 * units + 16;
  HeapArray<char> ansi = NewBuffer<char>(capacity);
  if (!ansi || platform::WideToAnsi(wide, -1, ansi.get(), static_cast<int32_t>(capacity)) == 0) return nullptr;
  return ansi;
}

// Opens a handle without throwing: the load allocates only through
// engine/platform/allocation.h, whose failure is a null result, and nothing
// on its path can throw, so out of memory is a null handle even in a host
// that lacks the C++ runtime's per-thread exception state (a throw would
// need it; the ExceptionFree test checks that the library cannot throw).
ScanHandle* NewHandle(const char* path) noexcept {
  char defaultPath[DefaultDatabasePathSize];
  if (path == nullptr) {
    // Only null selects the default: an empty path stays empty.
    if (!DefaultDatabasePath(defaultPath)) return nullptr;
    path = defaultPath;
  }
  HeapObject<ScanHandle> handle = NewObject<ScanHandle>();
  if (!handle || !LoadHandle(*handle, path)) return nullptr;
  return handle.release();
}

// The steps every scan export shares once its arguments are checked. A
// handle that is already scanning (a callback scanning with the handle that
// reports to it) is refused at once and left as it is. Otherwise the call's
// sink is installed on the handle for the call and removed after it, so that
// the handle never points at a finished call's sink, and a deletion that a
// callback requested is carried out once the scan is over, also when a
// callback threw.
template <typename Scan>
int32_t RunScanCall(ScanHandle* handle, ReportSink sink, Scan&& scan) {
  if (handle->busy) return 0;
  struct ScanInProgress {
    ScanHandle* handle;
    ~ScanInProgress() {
      handle->sink = nullptr;
      handle->busy = false;
      if (handle->deleteRequested) DeleteObject(handle);
    }
  } inProgress{handle};
  handle->busy = true;
  handle->sink = &sink;
  scan(*handle);
  return sink.reportCount;
}

}  // namespace
}  // namespace veltor

using veltor::ReportSink;

extern "C" {

VELTOR_API ScanHandle* VELTOR_CALL VeltorNewA(const char* path) {
  try {
    return veltor::NewHandle(path);
  } catch (...) {
    return nullptr;
  }
}

VELTOR_API ScanHandle* VELTOR_CALL VeltorNewW(const VeltorWideChar* path) {
  try {
    if (path == nullptr) return veltor::NewHandle(nullptr);
    const auto ansiPath = veltor::WidePathToAnsi(path);
    return ansiPath ? veltor::NewHandle(ansiPath.get()) : nullptr;
  } catch (...) {
    return nullptr;
  }
}

VELTOR_API void VELTOR_CALL VeltorDelete(ScanHandle* handle) {
  if (handle == nullptr) return;
  // From a callback of the handle's own scan: the scan still uses it.
  if (handle->busy) {
    handle->deleteRequested = true;
    return;
  }
  // Owning it here releases the context, then the library, then the handle.
  veltor::DeleteObject(handle);
}

VELTOR_API VeltorBool VELTOR_CALL VeltorGetLibDate(ScanHandle* handle, VeltorSystemTime* out) {
  try {
    if (handle == nullptr || out == nullptr || !handle->library) return 0;
    veltor::platform::FileTime local = 0;
    veltor::platform::CalendarTime calendar{};
    // A build time the platform cannot convert fails the call rather than
    // leave *out unsettled.
    if (!veltor::platform::UtcToLocalFileTime(veltor::BuildTime(handle->library->header), &local) ||
        !veltor::platform::FileTimeToCalendar(local, &calendar)) {
      return 0;
    }
    out->wYear = calendar.year;
    out->wMonth = calendar.month;
    out->wDayOfWeek = calendar.dayOfWeek;
    out->wDay = calendar.day;
    out->wHour = calendar.hour;
    out->wMinute = calendar.minute;
    out->wSecond = calendar.second;
    out->wMilliseconds = calendar.milliseconds;
    return 1;
  } catch (...) {
    return 0;
  }
}

VELTOR_API int32_t VELTOR_CALL VeltorFileA(ScanHandle* handle, const char* path, ReportCallbackA callback,
                                           void* userData) {
  try {
    if (handle == nullptr || path == nullptr) return 0;
    return veltor::RunScanCall(handle, ReportSink{callback, nullptr, userData, 0},
                               [&](ScanHandle& h) { veltor::ScanFile(h, path); });
  } catch (...) {
    return 0;
  }
}

VELTOR_API int32_t VELTOR_CALL VeltorFileW(ScanHandle* handle, const VeltorWideChar* path, ReportCallbackW callback,
                                           void* userData) {
  try {
    if (handle == nullptr || path == nullptr) return 0;
    const auto ansiPath = veltor::WidePathToAnsi(path);
    if (!ansiPath) return 0;
    return veltor::RunScanCall(handle, ReportSink{nullptr, callback, userData, 0},
                               [&](ScanHandle& h) { veltor::ScanFile(h, ansiPath.get()); });
  } catch (...) {
    return 0;
  }
}

VELTOR_API int32_t VELTOR_CALL VeltorMemoryA(ScanHandle* handle, const void* bytes, int32_t length,
                                             ReportCallbackA callback, void* userData) {
  try {
    if (handle == nullptr || bytes == nullptr || length <= 0) return 0;
    return veltor::RunScanCall(handle, ReportSink{callback, nullptr, userData, 0}, [&](ScanHandle& h) {
      veltor::ScanBuffer(h, static_cast<const uint8_t*>(bytes), static_cast<uint32_t>(length));
    });
  } catch (...) {
    return 0;
  }
}

VELTOR_API int32_t VELTOR_CALL VeltorMemoryW(ScanHandle* handle, const void* bytes, int32_t length,
                                             ReportCallbackW callback, void* userData) {
  try {
    if (handle == nullptr || bytes == nullptr || length <= 0) return 0;
    return veltor::RunScanCall(handle, ReportSink{nullptr, callback, userData, 0}, [&](ScanHandle& h) {
      veltor::ScanBuffer(h, static_cast<const uint8_t*>(bytes), static_cast<uint32_t>(length));
    });
  } catch (...) {
    return 0;
  }
}

}  // extern "C"
