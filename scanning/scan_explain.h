#pragma once
// `veltor scan --explain`: for rule authors, what a scan of each file saw.
#include <functional>

#include "engine/api/scan_handle.h"
#include "scanning/scan_report.h"
#include "scanning/scan_targets.h"

namespace veltor::scanning {

// The ScanSettings::inspect hook of --explain: after each file's scan, puts
// into the outcome's detail the signatures that occurred, in which form and
// where first (the file read again; not for standard input), every rule's
// score, and why each reported rule has its level. Text, or with `json` one
// object per file.
std::function<void(const ScanTarget&, const ScanHandle&, FileOutcome&)> ExplainInspector(bool json);

}  // namespace veltor::scanning
