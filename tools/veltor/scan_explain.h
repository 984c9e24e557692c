#pragma once
// `veltor scan --explain`: for rule authors, what a scan of each file saw.
#include "tools/veltor/arguments.h"

namespace veltor::cli {

// Explains each file the command line names (folders with -r): the
// signatures that occurred, in which form and where first, every rule's
// score, and why each reported rule has its level. Text, or with --json one
// object per file. Returns the scan's exit status.
int RunScanExplain(const ParsedArguments& arguments);

}  // namespace veltor::cli
