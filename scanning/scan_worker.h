#pragma once
// One worker of `veltor scan`: its own scan handle over its own copy of the
// database, and a fixed read buffer through which every file, whatever its
// size, is fed to the engine chunk by chunk.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/api/scan_handle.h"
#include "scanning/scan_archives.h"
#include "scanning/scan_report.h"
#include "scanning/scan_targets.h"

namespace veltor::scanning {

// The read buffer's size, unless VELTOR_SCAN_CHUNK_SIZE says otherwise.
inline constexpr size_t DefaultChunkSize = size_t{1} << 20;
// VELTOR_SCAN_CHUNK_SIZE (a testing aid: tests put every chunk border
// everywhere) takes 1 byte to this.
inline constexpr size_t MaxChunkSize = size_t{64} << 20;

struct ScanSettings {
  std::filesystem::path database;
  size_t chunkSize = DefaultChunkSize;
  uint64_t maxFileSize = UINT64_MAX;  // larger files are skipped on request
  ArchiveSettings archives;
  // Seconds one file may take, its archive members included; 0: no limit.
  // A file cut by it is incomplete (an error unless archives.limitsOk).
  double maxScanTime = 0;
  // Called on the worker's thread after each file is scanned whole, while
  // the handle still holds its scores (see ForEachReportLoopRule): where an
  // output mode that shows more than the reports gathers what it needs.
  std::function<void(const ScanTarget&, const ScanHandle&, FileOutcome&)> inspect;
};

struct Worker {
  std::unique_ptr<ScanHandle> handle;
  std::unique_ptr<uint8_t[]> buffer;
  // Handles for members open inside members, by level from 2, loaded from
  // the same database when first needed.
  std::vector<std::unique_ptr<ScanHandle>> memberHandles;
};

// Loads the worker's copy of the database and allocates its buffer; false
// when either fails.
bool OpenWorker(Worker& worker, const ScanSettings& settings);

// Scans one target and says what came of it.
FileOutcome ScanWith(const ScanTarget& target, Worker& worker, const ScanSettings& settings);

// Scans a file already open, from where it stands, through `buffer`, and
// the members of the archive it is (read again from its start) when it is
// a regular file: what `name` is reported under, members inside members
// scanned with the handles `more` gives. Nothing is skipped for its size.
// (`inspect` is not called.)
FileOutcome ScanOpenFile(InputFile& file, std::string_view name, ScanHandle& handle, const MemberHandles& more,
                         std::span<uint8_t> buffer, const ScanSettings& settings);

// The same over bytes in memory: scanned in place, then walked as an
// archive from memory.
FileOutcome ScanMemory(std::span<const uint8_t> bytes, std::string_view name, ScanHandle& handle,
                       const MemberHandles& more, const ScanSettings& settings);

// Finishes the scan of a stream fed to `fed` as it arrived (`bytes` in
// all: BeginScan and every FeedScan already called) and walks `file`, the
// same bytes spooled, as an archive with `handle` when it is a regular file.
FileOutcome FinishFedScan(ScanHandle& fed, uint64_t bytes, InputFile& file, std::string_view name,
                          ScanHandle& handle, const MemberHandles& more, const ScanSettings& settings);

// The same with the bytes read back through `input` (kept in memory).
FileOutcome FinishFedScan(ScanHandle& fed, uint64_t bytes, const archive::ArchiveInput& input, std::string_view name,
                          ScanHandle& handle, const MemberHandles& more, const ScanSettings& settings);

}  // namespace veltor::scanning
