#pragma once
// One scan of a handle: the scan pass over the bytes, then the report loop.
//
// Inside the project (the veltor program, the Python binding) a scan may
// also be streamed: BeginScan, any number of FeedScan calls, FinishScan.
// The one-buffer scans are that same path fed once, so a stream and one
// buffer of the same bytes give the same reports.
#include <cstddef>
#include <cstdint>

#include "engine/api/scan_handle.h"

namespace veltor {

// The largest file a scan reads: larger files are refused whole, not
// scanned in part.
inline constexpr int64_t MaxScannedFileSize = 16 * 1024 * 1024;

// Starts a streamed scan: forgets the previous scan's hits and scores.
void BeginScan(ScanHandle& handle) noexcept;

// Feeds the next bytes of the stream; any number of bytes, 0 included.
void FeedScan(ScanHandle& handle, const uint8_t* bytes, size_t length) noexcept;

// Evaluates the rules over everything fed since BeginScan and hands every
// rule the report loop takes (scan/report_loop.h) to ReportRule with the
// handle's sink, in rule id order. An empty stream reports nothing. May
// throw only what a host callback throws.
void FinishScan(ScanHandle& handle);

// BeginScan, FeedScan over the bytes, FinishScan; nothing for null bytes or
// a zero length.
void ScanBuffer(ScanHandle& handle, const uint8_t* bytes, uint32_t length);

// Streams the file (1 to MaxScannedFileSize bytes) through the handle's read
// buffer and scans it, allocating nothing. A file that cannot be opened, is
// not a regular file, cannot be read without waiting, is empty or too large,
// or whose read fails partway, is not scanned (nothing reported); a file that
// yields fewer bytes than its size is scanned over the bytes it yielded.
void ScanFile(ScanHandle& handle, const char* path);

}  // namespace veltor
