#pragma once
// Archive members in `veltor scan`: once a file is scanned as bytes, what
// the archive walk hands over (every member, and what each compressed
// stream unpacks to) is scanned too, reported under its archive path.
#include <chrono>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/api/scan_handle.h"
#include "archive/archive_walk.h"
#include "scanning/scan_report.h"
#include "scanning/scan_system.h"

namespace veltor::scanning {

// --explain keeps each member's bytes up to this many to find where its
// signatures occur; a larger member is explained without them.
inline constexpr uint64_t MaxExplainedMemberBytes = uint64_t{64} << 20;

struct ArchiveSettings {
  bool enabled = true;
  archive::ArchiveLimits limits;
  bool limitsOk = false;     // a limit reached is not counted as an error
  bool encryptedOk = false;  // nor an encrypted member
  bool damagedOk = false;    // nor a damaged archive or member
  // --explain: called after each member whose scan reports, with the file's
  // path, the handle that scanned the member (still holding its scores) and
  // the member's bytes (empty when it was larger than MaxExplainedMemberBytes).
  std::function<void(std::string_view path, const std::vector<std::string>& archivePath, const ScanHandle& handle,
                     std::span<const uint8_t> bytes, FileOutcome& outcome)>
      explainMember;
};

using ScanClock = std::chrono::steady_clock;

// The reason a file cut short by the time limit gets.
std::string TimeLimitReason(double seconds);

// Where the handles for members open inside other members come from:
// they are scanned at the same time as the members around them, each by a
// handle of its own. Gives the handle for `level` (2 and up), which the
// caller keeps for later walks; null when none can be had.
using MemberHandles = std::function<ScanHandle*(uint32_t level)>;

// Walks the regular file open as `file` (read again from its start) and
// adds to `outcome` what the scans of what it hands over report, each with
// its archive path, and what stopped or spoiled the walk. `handle` scans
// the outermost members and must not be in the middle of a scan. Nothing
// happens for a file that is neither compressed nor an archive, or in a
// build without archive support. Past `deadline` the walk stops and the
// file is noted incomplete (TimeLimitReason(`seconds`)).
void ScanArchiveMembers(InputFile& file, std::string_view name, ScanHandle& handle, const MemberHandles& handles,
                        const ArchiveSettings& settings, FileOutcome& outcome,
                        ScanClock::time_point deadline = ScanClock::time_point::max(), double seconds = 0);

// The same over bytes in memory (a stream kept whole while it arrived).
void ScanArchiveMembers(std::span<const uint8_t> bytes, std::string_view name, ScanHandle& handle,
                        const MemberHandles& handles, const ArchiveSettings& settings, FileOutcome& outcome,
                        ScanClock::time_point deadline = ScanClock::time_point::max(), double seconds = 0);

// The same over any input the walk reads through (a stream kept in pieces).
void ScanArchiveMembers(const archive::ArchiveInput& input, std::string_view name, ScanHandle& handle,
                        const MemberHandles& handles, const ArchiveSettings& settings, FileOutcome& outcome,
                        ScanClock::time_point deadline = ScanClock::time_point::max(), double seconds = 0);

// For `veltor --version`: "archives: supported (libarchive 3.6.2)" or
// "archives: not supported in this build".
std::string ArchiveSupportLine();

}  // namespace veltor::scanning
