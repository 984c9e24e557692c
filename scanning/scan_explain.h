#pragma once
// `veltor scan --explain`: for rule authors, what a scan of each file saw.
#include <functional>
#include <memory>

#include "engine/api/scan_handle.h"
#include "scanning/scan_report.h"
#include "scanning/scan_targets.h"
#include "scanning/signature_names.h"

namespace veltor::scanning {

// The ScanSettings::inspect hook of --explain: after each file's scan, puts
// into the outcome's detail the signatures that occurred, in which form and
// where first (the file read again; not for standard input), every rule's
// score, and why each reported rule has its level. Text, or with `json` one
// object per file. Signatures are named from `names` where it names them.
std::function<void(const ScanTarget&, const ScanHandle&, FileOutcome&)> ExplainInspector(
    bool json, std::shared_ptr<const SignatureNames> names);

// The ScanSettings::inspect hook of -s: gives each of the file's reports the
// signatures behind it (those its rule refers to, directly or through other
// rules, that occurred), named from `names`. A file with reports is read
// again to find them; standard input and files without reports are not.
std::function<void(const ScanTarget&, const ScanHandle&, FileOutcome&)> SignaturesInspector(
    std::shared_ptr<const SignatureNames> names);

}  // namespace veltor::scanning
