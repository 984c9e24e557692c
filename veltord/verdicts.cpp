#include "veltord/verdicts.h"

#include "engine/text/windows1252.h"
#include "scanning/scan_text.h"

namespace veltor::service {

std::string ShownRuleName(const cli::RuleReport& report) {
  return cli::DisplayText(Utf8FromWindows1252(report.name));
}

std::string ErrorReason(const cli::FileOutcome& outcome) {
  if (outcome.outcome == cli::Outcome::Error) return outcome.reason.empty() ? "scan failed" : outcome.reason;
  for (const cli::ArchiveNote& note : outcome.archiveNotes) {
    if (!note.isError) continue;
    std::string where;
    for (const std::string& part : note.archivePath) where += (where.empty() ? "" : "!") + part;
    std::string reason = note.incomplete ? "incomplete (" + note.reason + ")" : note.reason;
    return cli::DisplayText(where.empty() ? reason : where + ": " + reason);
  }
  return {};
}

bool IsClean(const cli::FileOutcome& outcome) { return outcome.reports.empty() && ErrorReason(outcome).empty(); }

std::vector<std::string> VerdictLines(std::string_view name, const cli::FileOutcome& outcome, bool allMatch) {
  const std::string prefix = cli::DisplayPath(name) + ": ";
  std::vector<std::string> lines;
  if (!outcome.reports.empty()) {
    if (allMatch) {
      for (const cli::RuleReport& report : outcome.reports) lines.push_back(prefix + ShownRuleName(report) + " FOUND");
      return lines;
    }
    const cli::RuleReport* best = &outcome.reports.front();
    for (const cli::RuleReport& report : outcome.reports) {
      if (report.level < best->level) best = &report;
    }
    lines.push_back(prefix + ShownRuleName(*best) + " FOUND");
    return lines;
  }
  const std::string reason = ErrorReason(outcome);
  lines.push_back(prefix + (reason.empty() ? std::string("OK") : reason + " ERROR"));
  return lines;
}

}  // namespace veltor::service
