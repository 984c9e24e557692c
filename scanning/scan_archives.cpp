#include "scanning/scan_archives.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
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
  ScanClock::time_point deadline;
  bool failed = false;
  bool outOfTime = false;
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
  if (scan->deadline != ScanClock::time_point::max() && ScanClock::now() > scan->deadline) {
    scan->outOfTime = true;
    return false;
  }
  return true;
}

// What an error from the walk is: libarchive names encryption in its
// messages ("encrypted", "passphrase"); any other error but exhausted
// memory is the archive's damage or a form it cannot read.
NoteKind KindOfError(std::string_view reason) {
  const auto mentions = [reason](std::string_view word) {
    return std::search(reason.begin(), reason.end(), word.begin(), word.end(), [](char a, char b) {
             return std::tolower(static_cast<unsigned char>(a)) == b;
           }) != reason.end();
  };
  if (mentions("out of memory")) return NoteKind::Error;
  if (mentions("encrypt") || mentions("passphrase") || mentions("password")) return NoteKind::Encrypted;
  return NoteKind::Damaged;
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
    const NoteKind noteKind = incomplete ? NoteKind::Incomplete : KindOfError(reason);
    const ArchiveSettings& settings = *scan->settings;
    const bool accepted = (noteKind == NoteKind::Incomplete && settings.limitsOk) ||
                          (noteKind == NoteKind::Encrypted && settings.encryptedOk) ||
                          (noteKind == NoteKind::Damaged && settings.damagedOk);
    scan->outcome->archiveNotes.push_back(
        {std::vector<std::string>(path.begin(), path.end()), incomplete, !accepted, std::string(reason), noteKind});
  } catch (const std::bad_alloc&) {
    scan->failed = true;
  }
}

}  // namespace

std::string TimeLimitReason(double seconds) {
  // As the option is written: "30", "2.5", "0.000001".
  char number[64];
  std::snprintf(number, sizeof number, "%.6f", seconds);
  std::string text(number);
  text.erase(text.find_last_not_of('0') + 1);
  if (text.back() == '.') text.pop_back();
  return "scan time limit (" + text + " s)";
}

void ScanArchiveMembers(InputFile& file, std::string_view name, ScanHandle& handle, const ArchiveSettings& settings,
                        FileOutcome& outcome, ScanClock::time_point deadline, double seconds) {
  if (!settings.enabled || !archive::ArchivesSupported()) return;
  MemberScan scan{&handle, &outcome, &settings, deadline};
  const archive::ArchiveSink sink{&scan, MemberBegin, MemberBytes, MemberEnd, Problem};
  archive::WalkArchiveDescriptor(file.descriptor, name, settings.limits, sink);
  if (scan.outOfTime) {
    outcome.archiveNotes.push_back({{}, true, !settings.limitsOk, TimeLimitReason(seconds)});
  }
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
