#include "scanning/scan_archives.h"

#include <new>
#include <utility>
#include <vector>

#include "engine/api/scan.h"

namespace veltor::scanning {
namespace {

using archive::ArchivePath;
using archive::ProblemKind;

// The state of one file's walk, shared by the sink's functions. None of
// them may throw: memory exhausted stops the walk and is reported.
struct MemberScan {
  ScanHandle* handle;
  FileOutcome* outcome;
  const ArchiveSettings* settings;
  bool failed = false;
};

bool MemberBegin(void* user, ArchivePath) {
  auto* scan = static_cast<MemberScan*>(user);
  BeginScan(*scan->handle);
  return !scan->failed;
}

bool MemberBytes(void* user, std::span<const uint8_t> bytes) {
  auto* scan = static_cast<MemberScan*>(user);
  FeedScan(*scan->handle, bytes.data(), bytes.size());
  scan->outcome->bytes += bytes.size();
  return true;
}

void MemberEnd(void* user, ArchivePath path) {
  auto* scan = static_cast<MemberScan*>(user);
  FinishScan(*scan->handle);
  if (!CollectReports(*scan->handle, path, scan->outcome->reports)) scan->failed = true;
}

void Problem(void* user, ArchivePath path, ProblemKind kind, std::string_view reason) {
  auto* scan = static_cast<MemberScan*>(user);
  try {
    const bool incomplete = kind == ProblemKind::Incomplete;
    scan->outcome->archiveNotes.push_back({std::vector<std::string>(path.begin(), path.end()), incomplete,
                                           !incomplete || !scan->settings->limitsOk, std::string(reason)});
  } catch (const std::bad_alloc&) {
    scan->failed = true;
  }
}

}  // namespace

void ScanArchiveMembers(InputFile& file, std::string_view name, ScanHandle& handle, const ArchiveSettings& settings,
                        FileOutcome& outcome) {
  if (!settings.enabled || !archive::ArchivesSupported()) return;
  MemberScan scan{&handle, &outcome, &settings};
  const archive::ArchiveSink sink{&scan, MemberBegin, MemberBytes, MemberEnd, Problem};
  archive::WalkArchiveDescriptor(file.descriptor, name, settings.limits, sink);
  // Memory exhausted inside the walk is reported by the walk itself; here,
  // only what the sink ran out of.
  if (scan.failed) outcome.archiveNotes.push_back({{}, false, true, "out of memory while scanning archive members"});
  if (!outcome.reports.empty() && outcome.outcome == Outcome::Clean) outcome.outcome = Outcome::Reported;
}

std::string ArchiveSupportLine() {
  if (!archive::ArchivesSupported()) return "archives: not supported in this build";
  return std::string("archives: supported (") + archive::ArchiveLibraryVersion() + ")";
}

}  // namespace veltor::scanning
