#pragma once
// What `veltor scan` prints for each file and at the end, as text lines or
// as JSON Lines. Each function returns whole lines, so that a caller can
// write each with one call and lines from several workers never mix.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/api/explain.h"
#include "engine/api/scan_handle.h"

namespace veltor::scanning {

// A signature behind a report (veltor scan -s): one the rule refers to,
// directly or through other rules, that occurred.
struct MatchedSignature {
  uint32_t id = 0;
  std::string name;  // from the database's name map; empty when it has none
  FormOccurrences plain;
  FormOccurrences wide;
};

struct RuleReport {
  int32_t level = 0;
  std::string name;  // Windows-1252, as the database holds it
  std::vector<std::string> archivePath{};  // the member inside the file; empty: the file itself
  double score = 0;
  std::vector<MatchedSignature> signatures{};  // with -s, for the file itself
};

// Appends the reports of the scan just finished on `handle` (the rules the
// report loop takes at a report level, in its order), each with
// `archivePath`. False, with `reports` as it was, when memory runs out.
bool CollectReports(const ScanHandle& handle, std::span<const std::string> archivePath,
                    std::vector<RuleReport>& reports) noexcept;

// What a problem inside an archive was: a limit reached (incomplete), an
// encrypted member, damage (or a form that cannot be read), or another
// error (memory exhausted).
enum class NoteKind : uint8_t { Error, Incomplete, Encrypted, Damaged };

// What stopped or spoiled the walk through an archive's members (or, for a
// time limit, the read of the file itself), at the member or archive named
// by `archivePath` (empty: the file itself). Counted as an error when
// `isError`; one that is not (--limits-ok, --encrypted-ok, --damaged-ok) is
// still listed and counted in the summary.
struct ArchiveNote {
  std::vector<std::string> archivePath;
  bool incomplete = false;
  bool isError = true;
  std::string reason;
  NoteKind kind = incomplete ? NoteKind::Incomplete : NoteKind::Error;
};

// Skipped: left out on request (--max-filesize). Excluded: not a file to
// scan (a device inside a folder, a link loop). Neither changes the exit
// status; an Error does.
enum class Outcome { Clean, Reported, Skipped, Excluded, Error };

struct FileOutcome {
  Outcome outcome = Outcome::Clean;
  std::vector<RuleReport> reports;
  std::string reason;  // for Skipped, Excluded and Error
  uint64_t bytes = 0;  // bytes handed to the engine, archive members included
  std::vector<ArchiveNote> archiveNotes{};
  std::string detail{};  // an output mode's lines (--explain), printed instead of the records
};

// The forms of a signature that occurred: "plain 11x at 0, 38, ...; wide
// 1x at 14" (the first offsets of each form, "..." when there were more).
std::string OccurrencesText(const FormOccurrences& plain, const FormOccurrences& wide);

// The same as JSON members: "plain":{"count":N,"offsets":[...]},"wide":{...}.
std::string OccurrencesJson(const FormOccurrences& plain, const FormOccurrences& wide);

struct OutputOptions {
  bool json = false;
  bool infectedOnly = false;  // only files with reports
  bool quiet = false;         // only errors
  bool signatures = false;    // each report's signatures (-s)
};

struct ScanTotals {
  uint64_t filesScanned = 0;
  uint64_t reports = 0;
  uint64_t filesWithReports = 0;
  uint64_t skipped = 0;
  uint64_t excluded = 0;
  uint64_t errors = 0;
  uint64_t incomplete = 0;  // archives a limit stopped (errors too, unless --limits-ok)
  uint64_t encrypted = 0;   // encrypted members (errors too, unless --encrypted-ok)
  uint64_t damaged = 0;     // damaged archives and members (errors too, unless --damaged-ok)
  uint64_t leftOut = 0;     // files and folders passed over by --exclude, --include, --exclude-dir
  uint64_t linksNotFollowed = 0;
  uint64_t bytes = 0;
  double seconds = 0;

  void Add(const FileOutcome& outcome);
};

// Standard output's lines for one file: "PATH: RULE (level N)" per report,
// "PATH!MEMBER!...: RULE (level N)" for a report inside an archive,
// "PATH!MEMBER: incomplete (REASON)" where a limit stopped the walk,
// "PATH: OK", "PATH: skipped (REASON)", "PATH: excluded (REASON)", or the
// JSON objects (with "archivePath": [MEMBER, ...] beside "path" for members);
// "" when the options hide them. `path` is UTF-8 (or the
// system's bytes).
std::string FormatOutcome(std::string_view path, const FileOutcome& outcome, const OutputOptions& options);

// Standard error's line for an error: "veltor scan: PATH: REASON".
std::string FormatError(std::string_view path, std::string_view reason);

// Standard error's lines for the archive errors of one file (and for the
// limits reached that count as errors): "veltor scan: PATH!MEMBER: REASON".
std::string FormatArchiveErrors(std::string_view path, const FileOutcome& outcome);

// The summary: a block of text, or one JSON object line.
std::string FormatSummaryText(const ScanTotals& totals);
std::string FormatSummaryJson(const ScanTotals& totals);

}  // namespace veltor::scanning
