#include "veltord/verdicts.h"

#include "engine/text/windows1252.h"
#include "scanning/scan_text.h"

namespace veltor::service {

std::string ShownRuleName(const scanning::RuleReport& report) {
  return scanning::DisplayText(Utf8FromWindows1252(report.name));
}

std::string ErrorReason(const scanning::FileOutcome& outcome) {
  if (outcome.outcome == scanning::Outcome::Error) return outcome.reason.empty() ? "scan failed" : outcome.reason;
  for (const scanning::ArchiveNote& note : outcome.archiveNotes) {
    if (!note.isError) continue;
    std::string where;
    for (const std::string& part : note.archivePath) where += (where.empty() ? "" : "!") + part;
    std::string reason = note.incomplete ? "incomplete (" + note.reason + ")" : note.reason;
    return scanning::DisplayText(where.empty() ? reason : where + ": " + reason);
  }
  return {};
}

const scanning::RuleReport& BestReport(const scanning::FileOutcome& outcome) {
  const scanning::RuleReport* best = &outcome.reports.front();
  for (const scanning::RuleReport& report : outcome.reports) {
    if (report.level < best->level) best = &report;
  }
  return *best;
}

bool IsClean(const scanning::FileOutcome& outcome) { return outcome.reports.empty() && ErrorReason(outcome).empty(); }

std::vector<std::string> VerdictLines(std::string_view name, const scanning::FileOutcome& outcome, bool allMatch) {
  const std::string prefix = scanning::DisplayPath(name) + ": ";
  std::vector<std::string> lines;
  if (!outcome.reports.empty()) {
    if (allMatch) {
      for (const scanning::RuleReport& report : outcome.reports) lines.push_back(prefix + ShownRuleName(report) + " FOUND");
      return lines;
    }
    lines.push_back(prefix + ShownRuleName(BestReport(outcome)) + " FOUND");
    return lines;
  }
  const std::string reason = ErrorReason(outcome);
  lines.push_back(prefix + (reason.empty() ? std::string("OK") : reason + " ERROR"));
  return lines;
}

}  // namespace veltor::service
