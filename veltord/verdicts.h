#pragma once
// What a scan says in the clamd protocol's reply forms: "NAME: OK",
// "NAME: RULE FOUND", "NAME: REASON ERROR".
#include <string>
#include <string_view>
#include <vector>

#include "scanning/scan_report.h"

namespace veltor::service {

// The reply lines for one file or stream (no terminators). A file with
// reports is FOUND with the report of the highest level (level 1 before
// level 2; among equals the first): every report with `allMatch`. A file
// without reports that could not be scanned whole (an error, an archive
// limit unless the settings accept limits, a damaged or encrypted member)
// is an ERROR with the reason, never OK.
std::vector<std::string> VerdictLines(std::string_view name, const scanning::FileOutcome& outcome, bool allMatch);

// The report a verdict names: the highest level (level 1 before level 2;
// among equals the first). `outcome` has reports.
const scanning::RuleReport& BestReport(const scanning::FileOutcome& outcome);

// True when the lines say nothing was found and nothing failed.
bool IsClean(const scanning::FileOutcome& outcome);

// The reason a file without reports is not clean, or "" when it is.
std::string ErrorReason(const scanning::FileOutcome& outcome);

// A rule name as a reply shows it: UTF-8, control bytes escaped.
std::string ShownRuleName(const scanning::RuleReport& report);

}  // namespace veltor::service
