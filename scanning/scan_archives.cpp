#include "scanning/scan_archives.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "engine/api/scan.h"

namespace veltor::scanning {
namespace {

using archive::ArchivePath;
using archive::ProblemKind;

// A member being scanned: its handle and, for --explain, its bytes so far.
struct OpenMember {
  ScanHandle* handle = nullptr;
  std::vector<uint8_t> kept{};
  bool keptWhole = true;
};

// The state of one file's walk, shared by the sink's functions. None of
// them may throw: memory exhausted stops the walk and is reported.
struct MemberScan {
  ScanHandle* handle;
  const MemberHandles* handles;
  FileOutcome* outcome;
  const ArchiveSettings* settings;
  std::string_view path;
  ScanClock::time_point deadline;
  std::vector<OpenMember> open{};  // by level, outermost first
  bool failed = false;
  bool noHandle = false;
  bool outOfTime = false;
};

bool MemberBegin(void* user, ArchivePath, uint32_t level) {
  auto* scan = static_cast<MemberScan*>(user);
  try {
    ScanHandle* handle = level == 1 ? scan->handle : *scan->handles ? (*scan->handles)(level) : nullptr;
    if (handle == nullptr) {
      scan->noHandle = true;
      return false;
    }
    scan->open.push_back({handle});
    BeginScan(*handle);
  } catch (const std::bad_alloc&) {
    scan->failed = true;
  }
  return !scan->failed;
}

bool MemberBytes(void* user, uint32_t level, std::span<const uint8_t> bytes) {
  auto* scan = static_cast<MemberScan*>(user);
  OpenMember& member = scan->open[level - 1];
  FeedScan(*member.handle, bytes.data(), bytes.size());
  scan->outcome->bytes += bytes.size();
  if (scan->settings->explainMember && member.keptWhole) {
    if (member.kept.size() + bytes.size() > MaxExplainedMemberBytes) {
      member.keptWhole = false;
      std::vector<uint8_t>().swap(member.kept);
    } else {
      try {
        member.kept.insert(member.kept.end(), bytes.begin(), bytes.end());
      } catch (const std::bad_alloc&) {
        scan->failed = true;
      }
    }
  }
  if (scan->deadline != ScanClock::time_point::max() && ScanClock::now() > scan->deadline) {
    scan->outOfTime = true;
    return false;
  }
  return !scan->failed;
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

void MemberEnd(void* user, ArchivePath path, uint32_t) {
  auto* scan = static_cast<MemberScan*>(user);
  OpenMember& member = scan->open.back();
  FinishScan(*member.handle);
  const size_t before = scan->outcome->reports.size();
  if (!CollectReports(*member.handle, path, scan->outcome->reports)) scan->failed = true;
  if (scan->outcome->reports.size() != before && scan->settings->explainMember) {
    try {
      scan->settings->explainMember(scan->path, {path.begin(), path.end()}, *member.handle,
                                    member.keptWhole ? std::span<const uint8_t>(member.kept)
                                                     : std::span<const uint8_t>(),
                                    *scan->outcome);
    } catch (const std::bad_alloc&) {
      scan->failed = true;
    }
  }
  scan->open.pop_back();
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

namespace {

// The walk of `input` (an open file or bytes in memory) and its notes.
template <class Input>
void ScanMembersOf(const Input& input, std::string_view name, ScanHandle& handle, const MemberHandles& handles,
                   const ArchiveSettings& settings, FileOutcome& outcome, ScanClock::time_point deadline,
                   double seconds) {
  if (!settings.enabled || !archive::ArchivesSupported()) return;
  MemberScan scan{&handle, &handles, &outcome, &settings, name, deadline};
  const archive::ArchiveSink sink{&scan, MemberBegin, MemberBytes, MemberEnd, Problem};
  try {
    scan.open.reserve(archive::MaxOpenMembers(settings.limits));
    if constexpr (std::is_same_v<Input, InputFile>) {
      archive::WalkArchiveDescriptor(input.descriptor, name, settings.limits, sink);
    } else if constexpr (std::is_same_v<Input, archive::ArchiveInput>) {
      archive::WalkArchive(input, name, settings.limits, sink);
    } else {
      archive::WalkArchiveBuffer(input, name, settings.limits, sink);
    }
  } catch (const std::bad_alloc&) {
    scan.failed = true;
  }
  if (scan.outOfTime) {
    outcome.archiveNotes.push_back({{}, true, !settings.limitsOk, TimeLimitReason(seconds)});
  }
  // Memory exhausted inside the walk is reported by the walk itself; here,
  // only what the sink ran out of.
  if (scan.failed) outcome.archiveNotes.push_back({{}, false, true, "out of memory while scanning archive members"});
  if (scan.noHandle) {
    outcome.archiveNotes.push_back({{}, false, true, "no scan handle for a member inside a member"});
  }
  if (!outcome.reports.empty() && outcome.outcome == Outcome::Clean) outcome.outcome = Outcome::Reported;
}

}  // namespace

void ScanArchiveMembers(InputFile& file, std::string_view name, ScanHandle& handle, const MemberHandles& handles,
                        const ArchiveSettings& settings, FileOutcome& outcome, ScanClock::time_point deadline,
                        double seconds) {
  ScanMembersOf(file, name, handle, handles, settings, outcome, deadline, seconds);
}

void ScanArchiveMembers(std::span<const uint8_t> bytes, std::string_view name, ScanHandle& handle,
                        const MemberHandles& handles, const ArchiveSettings& settings, FileOutcome& outcome,
                        ScanClock::time_point deadline, double seconds) {
  ScanMembersOf(bytes, name, handle, handles, settings, outcome, deadline, seconds);
}

void ScanArchiveMembers(const archive::ArchiveInput& input, std::string_view name, ScanHandle& handle,
                        const MemberHandles& handles, const ArchiveSettings& settings, FileOutcome& outcome,
                        ScanClock::time_point deadline, double seconds) {
  ScanMembersOf(input, name, handle, handles, settings, outcome, deadline, seconds);
}

std::string ArchiveSupportLine() {
  if (!archive::ArchivesSupported()) return "archives: not supported in this build";
  return std::string("archives: supported (") + archive::ArchiveLibraryVersion() + ")";
}

}  // namespace veltor::scanning
