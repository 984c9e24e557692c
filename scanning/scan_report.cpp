#include "scanning/scan_report.h"

#include <algorithm>
#include <cstdio>
#include <new>

#include "engine/api/report.h"
#include "engine/scan/report_loop.h"
#include "engine/text/utf8.h"
#include "engine/text/windows1252.h"
#include "scanning/scan_text.h"

namespace veltor::scanning {
namespace {

// How a problem that is not an error is named in the output: the word of
// the option that accepted it.
std::string_view AcceptedWord(NoteKind kind) {
  switch (kind) {
    case NoteKind::Incomplete: return "incomplete";
    case NoteKind::Encrypted: return "encrypted";
    case NoteKind::Damaged: return "damaged";
    case NoteKind::Error: break;
  }
  return "error";
}

double MegabytesPerSecond(const ScanTotals& totals) {
  return totals.seconds > 0 ? static_cast<double>(totals.bytes) / 1e6 / totals.seconds : 0.0;
}

std::string Number(const char* format, double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, format, value);
  return buffer;
}

// "!MEMBER!MEMBER" for a place inside an archive, "" for the file itself.
std::string ArchiveSuffix(const std::vector<std::string>& archivePath) {
  std::string out;
  for (const std::string& name : archivePath) {
    out += '!';
    out += DisplayPath(name);
  }
  return out;
}

// The JSON field that names a place inside an archive, "" for the file.
std::string ArchivePathField(const std::vector<std::string>& archivePath) {
  if (archivePath.empty()) return {};
  std::string out = ",\"archivePath\":[";
  for (size_t i = 0; i < archivePath.size(); ++i) {
    if (i != 0) out += ',';
    out += JsonString(archivePath[i]);
  }
  out += ']';
  return out;
}

std::string OffsetList(const std::vector<uint64_t>& offsets, const std::string& separator) {
  std::string out;
  for (const uint64_t offset : offsets) out += (out.empty() ? "" : separator) + std::to_string(offset);
  return out;
}

std::string FormText(const char* form, const FormOccurrences& occurrences) {
  if (occurrences.count == 0) return {};
  std::string out = std::string(form) + " " + std::to_string(occurrences.count) + "x at " +
                    OffsetList(occurrences.offsets, ", ");
  if (occurrences.count > occurrences.offsets.size()) out += ", ...";
  return out;
}

std::string FormJson(const FormOccurrences& occurrences) {
  return "{\"count\":" + std::to_string(occurrences.count) + ",\"offsets\":[" + OffsetList(occurrences.offsets, ",") +
         "]}";
}

// -s: the signatures behind a report, under its line or in its record.
std::string SignatureLines(const RuleReport& report) {
  std::string out;
  for (const MatchedSignature& signature : report.signatures) {
    out += "  ";
    out += std::to_string(signature.id);
    if (!signature.name.empty()) {
      out += ' ';
      out += DisplayText(signature.name);
    }
    out += ": ";
    out += OccurrencesText(signature.plain, signature.wide);
    out += '\n';
  }
  return out;
}

std::string SignatureField(const RuleReport& report) {
  std::string out = ",\"signatures\":[";
  for (const MatchedSignature& signature : report.signatures) {
    if (&signature != report.signatures.data()) out += ',';
    out += "{\"id\":";
    out += std::to_string(signature.id);
    if (!signature.name.empty()) {
      out += ",\"name\":";
      out += JsonString(signature.name);
    }
    out += ',';
    out += OccurrencesJson(signature.plain, signature.wide);
    out += '}';
  }
  return out + "]";
}

}  // namespace

std::string OccurrencesText(const FormOccurrences& plain, const FormOccurrences& wide) {
  const std::string plainText = FormText("plain", plain);
  const std::string wideText = FormText("wide", wide);
  return plainText + (plainText.empty() || wideText.empty() ? "" : "; ") + wideText;
}

std::string OccurrencesJson(const FormOccurrences& plain, const FormOccurrences& wide) {
  return "\"plain\":" + FormJson(plain) + ",\"wide\":" + FormJson(wide);
}

bool CollectReports(const ScanHandle& handle, std::span<const std::string> archivePath,
                    std::vector<RuleReport>& reports) noexcept {
  const size_t had = reports.size();
  try {
    const auto rules = Rules(*handle.library);
    ForEachReportLoopRule(handle.context.get(), [&](uint32_t index, double score) {
      const int32_t level = ReportLevel(score);
      if (level == 0) return;
      const char* name = rules[index].name.get();
      reports.push_back({level, name != nullptr ? std::string(name) : std::string(),
                         std::vector<std::string>(archivePath.begin(), archivePath.end()), score});
    });
    return true;
  } catch (const std::bad_alloc&) {
    reports.resize(had);
    return false;
  }
}

void ScanTotals::Add(const FileOutcome& outcome) {
  for (const ArchiveNote& note : outcome.archiveNotes) {
    incomplete += note.kind == NoteKind::Incomplete ? 1 : 0;
    encrypted += note.kind == NoteKind::Encrypted ? 1 : 0;
    damaged += note.kind == NoteKind::Damaged ? 1 : 0;
    errors += note.isError ? 1 : 0;
  }
  switch (outcome.outcome) {
    case Outcome::Clean:
    case Outcome::Reported:
      ++filesScanned;
      bytes += outcome.bytes;
      reports += outcome.reports.size();
      if (!outcome.reports.empty()) ++filesWithReports;
      break;
    case Outcome::Skipped: ++skipped; break;
    case Outcome::Excluded: ++excluded; break;
    case Outcome::Error: ++errors; break;
  }
}

std::string FormatOutcome(std::string_view path, const FileOutcome& outcome, const OutputOptions& options) {
  const bool reported = outcome.outcome == Outcome::Reported;
  const bool isError = outcome.outcome == Outcome::Error;
  const bool archiveError = std::any_of(outcome.archiveNotes.begin(), outcome.archiveNotes.end(),
                                        [](const ArchiveNote& note) { return note.isError; });
  if (options.quiet && !isError && !archiveError) return {};
  if (options.infectedOnly && !reported && !isError && !archiveError) return {};
  std::string out;
  if (options.json) {
    std::string pathField = "{\"path\":" + JsonString(path);
    if (!IsUtf8(path)) pathField += ",\"pathBytes\":\"" + HexBytes(path) + "\"";
    // Under -q a file gets here for its archive errors alone.
    if (!options.quiet || isError) switch (outcome.outcome) {
      case Outcome::Reported:
        for (const RuleReport& report : outcome.reports) {
          out += pathField + ArchivePathField(report.archivePath) +
                 ",\"rule\":" + JsonString(Utf8FromWindows1252(report.name)) +
                 ",\"level\":" + std::to_string(report.level) +
                 (options.signatures && report.archivePath.empty() ? SignatureField(report) : "") + "}\n";
        }
        break;
      case Outcome::Clean:
        if (outcome.archiveNotes.empty()) out += pathField + ",\"clean\":true}\n";
        break;
      case Outcome::Skipped: out += pathField + ",\"skipped\":" + JsonString(outcome.reason) + "}\n"; break;
      case Outcome::Excluded: out += pathField + ",\"excluded\":" + JsonString(outcome.reason) + "}\n"; break;
      case Outcome::Error: out += pathField + ",\"error\":" + JsonString(outcome.reason) + "}\n"; break;
    }
    for (const ArchiveNote& note : outcome.archiveNotes) {
      if ((options.quiet || options.infectedOnly) && !note.isError) continue;
      const std::string_view field = note.incomplete || !note.isError ? AcceptedWord(note.kind) : "error";
      out += pathField + ArchivePathField(note.archivePath) + ",\"" + std::string(field) + "\":" +
             JsonString(note.reason) + "}\n";
    }
    return out;
  }
  const std::string shown = DisplayPath(path);
  switch (outcome.outcome) {
    case Outcome::Reported:
      for (const RuleReport& report : outcome.reports) {
        if (options.quiet) break;
        out += shown + ArchiveSuffix(report.archivePath) + ": " + DisplayText(Utf8FromWindows1252(report.name)) +
               " (level " + std::to_string(report.level) + ")\n";
        if (options.signatures) out += SignatureLines(report);
      }
      break;
    case Outcome::Clean:
      if (outcome.archiveNotes.empty() && !options.quiet && !options.infectedOnly) out += shown + ": OK\n";
      break;
    case Outcome::Skipped: out += shown + ": skipped (" + outcome.reason + ")\n"; break;
    case Outcome::Excluded: out += shown + ": excluded (" + outcome.reason + ")\n"; break;
    case Outcome::Error: break;  // errors go to standard error
  }
  // Archive errors go to standard error; limits reached, and problems an
  // option accepted, are results.
  for (const ArchiveNote& note : outcome.archiveNotes) {
    if (!note.incomplete && note.isError) continue;
    if (note.isError || (!options.quiet && !options.infectedOnly)) {
      out += shown + ArchiveSuffix(note.archivePath) + ": " + std::string(AcceptedWord(note.kind)) + " (" +
             DisplayText(note.reason) + ")\n";
    }
  }
  return out;
}

std::string FormatArchiveErrors(std::string_view path, const FileOutcome& outcome) {
  std::string out;
  for (const ArchiveNote& note : outcome.archiveNotes) {
    if (!note.isError || note.incomplete) continue;
    out += "veltor scan: " + DisplayPath(path) + ArchiveSuffix(note.archivePath) + ": " + DisplayText(note.reason) +
           "\n";
  }
  return out;
}

std::string FormatError(std::string_view path, std::string_view reason) {
  return "veltor scan: " + DisplayPath(path) + ": " + std::string(reason) + "\n";
}

std::string FormatSummaryText(const ScanTotals& totals) {
  std::string out = "----------- scan summary -----------\n";
  const auto line = [&out](std::string_view label, const std::string& value) {
    out += label;
    out += std::string(label.size() < 20 ? 20 - label.size() : 1, ' ');
    out += value;
    out += '\n';
  };
  line("Files scanned:", std::to_string(totals.filesScanned));
  line("Reports:", std::to_string(totals.reports));
  line("Files with reports:", std::to_string(totals.filesWithReports));
  line("Skipped:", std::to_string(totals.skipped));
  line("Excluded:", std::to_string(totals.excluded));
  line("Errors:", std::to_string(totals.errors));
  if (totals.incomplete != 0) line("Incomplete:", std::to_string(totals.incomplete));
  if (totals.encrypted != 0) line("Encrypted:", std::to_string(totals.encrypted));
  if (totals.damaged != 0) line("Damaged:", std::to_string(totals.damaged));
  if (totals.leftOut != 0) line("Left out:", std::to_string(totals.leftOut) + " (--exclude, --include, --exclude-dir)");
  if (totals.linksNotFollowed != 0) {
    line("Links not followed:", std::to_string(totals.linksNotFollowed) + " (-L follows them)");
  }
  // MiB, as the size options count; archive members are counted unpacked.
  const double mebibytes = static_cast<double>(totals.bytes) / (1024.0 * 1024.0);
  line("Bytes scanned:", std::to_string(totals.bytes) + Number(" (%.2f MiB", mebibytes) +
                             ", archive members counted unpacked)");
  line("Time:", Number("%.3f s", totals.seconds) +
                    Number(" (%.2f MiB/s)", totals.seconds > 0 ? mebibytes / totals.seconds : 0.0));
  return out;
}

std::string FormatSummaryJson(const ScanTotals& totals) {
  return "{\"summary\":{\"filesScanned\":" + std::to_string(totals.filesScanned) +
         ",\"reports\":" + std::to_string(totals.reports) +
         ",\"filesWithReports\":" + std::to_string(totals.filesWithReports) +
         ",\"skipped\":" + std::to_string(totals.skipped) + ",\"excluded\":" + std::to_string(totals.excluded) + ",\"errors\":" + std::to_string(totals.errors) +
         ",\"linksNotFollowed\":" + std::to_string(totals.linksNotFollowed) +
         ",\"bytes\":" + std::to_string(totals.bytes) + ",\"seconds\":" + Number("%.6f", totals.seconds) +
         ",\"megabytesPerSecond\":" + Number("%.3f", MegabytesPerSecond(totals)) +
         ",\"incomplete\":" + std::to_string(totals.incomplete) + ",\"encrypted\":" + std::to_string(totals.encrypted) +
         ",\"damaged\":" + std::to_string(totals.damaged) + ",\"leftOut\":" + std::to_string(totals.leftOut) + "}}\n";
}

}  // namespace veltor::scanning
