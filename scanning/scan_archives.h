#pragma once
// Archive members in `veltor scan`: once a file is scanned as bytes, the
// members of the archive it is (if any) are unpacked in memory and each is
// scanned by the same worker's handle, reported under its archive path.
#include <chrono>
#include <string>
#include <string_view>

#include "engine/api/scan_handle.h"
#include "archive/archive_walk.h"
#include "scanning/scan_report.h"
#include "scanning/scan_system.h"

namespace veltor::scanning {

struct ArchiveSettings {
  bool enabled = true;
  archive::ArchiveLimits limits;
  bool limitsOk = false;     // a limit reached is not counted as an error
  bool encryptedOk = false;  // nor an encrypted member
  bool damagedOk = false;    // nor a damaged archive or member
};

using ScanClock = std::chrono::steady_clock;

// The reason a file cut short by the time limit gets.
std::string TimeLimitReason(double seconds);

// Walks the members of the regular file open as `file` (read again from
// its start) and adds to `outcome` what their scans report, each with its
// archive path, and what stopped or spoiled the walk. `handle` must not be
// in the middle of a scan. Nothing happens for a file that is not an
// archive, or in a build without archive support. Past `deadline` the walk
// stops and the file is noted incomplete (TimeLimitReason(`seconds`)).
void ScanArchiveMembers(InputFile& file, std::string_view name, ScanHandle& handle, const ArchiveSettings& settings,
                        FileOutcome& outcome, ScanClock::time_point deadline = ScanClock::time_point::max(),
                        double seconds = 0);

// For `veltor --version`: "archives: supported (libarchive 3.6.2)" or
// "archives: not supported in this build".
std::string ArchiveSupportLine();

}  // namespace veltor::scanning
