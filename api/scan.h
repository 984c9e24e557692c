#pragma once
// One scan of a handle: the scan pass over the bytes, then the report loop.
#include <cstdint>

#include "api/scan_handle.h"

namespace veltor {

// The largest file a scan reads: larger files are refused whole, not
// scanned in part.
inline constexpr int64_t MaxScannedFileSize = 16 * 1024 * 1024;

// Runs the scan pass and hands every evaluated top-level rule scoring above
// 0.001 to ReportRule with the handle's sink, in rule id order. May throw
// only what a host callback throws.
void ScanBuffer(ScanHandle& handle, const uint8_t* bytes, uint32_t length);

// Reads the whole file (1 to MaxScannedFileSize bytes) and scans it. A file
// that cannot be opened, is empty or too large is not scanned; a file that
// yields fewer bytes than its size is scanned over the bytes it yielded.
void ScanFile(ScanHandle& handle, const char* path);

}  // namespace veltor
