#include "tools/veltor/scan_archives.h"

#include <new>
#include <utility>
#include <vector>

#include "api/report.h"
#include "api/scan.h"

namespace veltor::cli {
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
  MemberHandles* handles;
  FileOutcome* outcome;
  const ArchiveSettings* settings;
  std::string_view path;
  std::vector<OpenMember> open{};     // by level, outermost first
  std::vector<RuleReport> found{};    // the ending member's reports
  bool failed = false;
  bool noHandle = false;
};

void VELTOR_CALL CollectMemberReport(int32_t level, const char* name, void* userData) {
  auto* scan = static_cast<MemberScan*>(userData);
  try {
    scan->found.push_back({level, name != nullptr ? std::string(name) : std::string()});
  } catch (const std::bad_alloc&) {
    scan->failed = true;
  }
}

// The handle for members open at `level`: the worker's own for the first.
ScanHandle* HandleFor(MemberScan& scan, uint32_t level) {
  if (level == 1) return scan.handle;
  std::vector<std::unique_ptr<ScanHandle>>& more = scan.handles->more;
  while (more.size() < level - 1) more.emplace_back();
  std::unique_ptr<ScanHandle>& handle = more[level - 2];
  if (!handle) {
    handle = std::make_unique<ScanHandle>();
    if (!LoadHandle(*handle, scan.handles->database.string().c_str())) {
      handle.reset();
      scan.noHandle = true;
      return nullptr;
    }
  }
  return handle.get();
}

bool MemberBegin(void* user, ArchivePath, uint32_t level) {
  auto* scan = static_cast<MemberScan*>(user);
  try {
    ScanHandle* handle = HandleFor(*scan, level);
    if (handle == nullptr) return false;
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
  ReportSink reports{CollectMemberReport, nullptr, scan, 0};
  member.handle->sink = &reports;
  try {
    FinishScan(*member.handle);  // our report callback never throws
    const std::vector<std::string> archivePath(path.begin(), path.end());
    if (!scan->found.empty() && scan->settings->explainMember) {
      scan->settings->explainMember(scan->path, archivePath, *member.handle,
                                    member.keptWhole ? std::span<const uint8_t>(member.kept)
                                                     : std::span<const uint8_t>(),
                                    *scan->outcome);
    }
    for (RuleReport& report : scan->found) {
      report.archivePath = archivePath;
      scan->outcome->reports.push_back(std::move(report));
    }
  } catch (const std::bad_alloc&) {
    scan->failed = true;
  }
  member.handle->sink = nullptr;
  scan->found.clear();
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

void ScanArchiveMembers(InputFile& file, std::string_view name, ScanHandle& handle, MemberHandles& handles,
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
    outcome.archiveNotes.push_back({{}, false, true, "cannot load the database again to scan nested members"});
  }
  if (!outcome.reports.empty() && outcome.outcome == Outcome::Clean) outcome.outcome = Outcome::Reported;
}

std::string ArchiveSupportLine() {
  if (!archive::ArchivesSupported()) return "archives: not supported in this build";
  return std::string("archives: supported (") + archive::ArchiveLibraryVersion() + ")";
}

}  // namespace veltor::cli
