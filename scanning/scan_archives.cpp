#include "scanning/scan_archives.h"

#include <new>
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
  std::vector<OpenMember> open{};  // by level, outermost first
  bool failed = false;
  bool noHandle = false;
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
  return !scan->failed;
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
    scan->outcome->archiveNotes.push_back({std::vector<std::string>(path.begin(), path.end()), incomplete,
                                           !incomplete || !scan->settings->limitsOk, std::string(reason)});
  } catch (const std::bad_alloc&) {
    scan->failed = true;
  }
}

}  // namespace

void ScanArchiveMembers(InputFile& file, std::string_view name, ScanHandle& handle, const MemberHandles& handles,
                        const ArchiveSettings& settings, FileOutcome& outcome) {
  if (!settings.enabled || !archive::ArchivesSupported()) return;
  MemberScan scan{&handle, &handles, &outcome, &settings, name};
  const archive::ArchiveSink sink{&scan, MemberBegin, MemberBytes, MemberEnd, Problem};
  try {
    scan.open.reserve(archive::MaxOpenMembers(settings.limits));
    archive::WalkArchiveDescriptor(file.descriptor, name, settings.limits, sink);
  } catch (const std::bad_alloc&) {
    scan.failed = true;
  }
  // Memory exhausted inside the walk is reported by the walk itself; here,
  // only what the sink ran out of.
  if (scan.failed) outcome.archiveNotes.push_back({{}, false, true, "out of memory while scanning archive members"});
  if (scan.noHandle) {
    outcome.archiveNotes.push_back({{}, false, true, "no scan handle for a member inside a member"});
  }
  if (!outcome.reports.empty() && outcome.outcome == Outcome::Clean) outcome.outcome = Outcome::Reported;
}

std::string ArchiveSupportLine() {
  if (!archive::ArchivesSupported()) return "archives: not supported in this build";
  return std::string("archives: supported (") + archive::ArchiveLibraryVersion() + ")";
}

}  // namespace veltor::scanning
