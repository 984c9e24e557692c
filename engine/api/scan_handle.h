#pragma once
// The handle a host holds: an open database and the scan state built over it.
#include <cstdint>
#include <span>

#include "engine/api/report.h"
#include "engine/database/signature_library.h"
#include "engine/scan/scan_context.h"
#include "engine/platform/allocation.h"

namespace veltor {

// The handle's read buffer for file scans, allocated with the handle so
// that a loaded handle scans any file without allocating.
inline constexpr size_t FileReadBufferSize = 64 * 1024;

}  // namespace veltor

// Declared opaque in the public header, hence outside the namespace.
struct ScanHandle {
  // Declared before the context so that it is destroyed after it: the
  // context refers to the library.
  veltor::SignatureLibraryPtr library;
  veltor::ScanContextPtr context;
  veltor::HeapArray<uint8_t> readBuffer;  // FileReadBufferSize bytes
  veltor::ReportSink* sink = nullptr;  // the sink of the scan call under way
  // The streamed scan under way: whether any byte was fed since BeginScan
  // (an empty stream is no scan: the pass is not even finished).
  bool streamFed = false;
  // A scan call is under way: a callback that scans with the handle gets 0
  // at once, and one that deletes it has the deletion carried out when the
  // scan call returns.
  bool busy = false;
  bool deleteRequested = false;
};

namespace veltor {

// Frees the context, then the library, and empties the handle.
void ClearHandle(ScanHandle& handle) noexcept;

// Clears the handle, then loads the database at `path` and builds its scan
// context. False (and an empty handle) on any failure.
bool LoadHandle(ScanHandle& handle, const char* path) noexcept;

// The same from a database image already in memory (read, not retained).
bool LoadHandleImage(ScanHandle& handle, std::span<const uint8_t> image) noexcept;

}  // namespace veltor
