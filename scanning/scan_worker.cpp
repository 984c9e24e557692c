#include "scanning/scan_worker.h"

#include <chrono>
#include <new>

#include "engine/api/scan.h"
#include "scanning/scan_system.h"

namespace veltor::scanning {
namespace {

FileOutcome Failed(std::string reason) { return {Outcome::Error, {}, std::move(reason), 0, {}}; }

// The moment a scan that starts now must end by; never without a limit.
ScanClock::time_point Deadline(double seconds) {
  return seconds > 0 ? ScanClock::now() + std::chrono::duration_cast<ScanClock::duration>(
                                              std::chrono::duration<double>(seconds))
                     : ScanClock::time_point::max();
}

// Streams the file through `buffer` into the handle and collects its
// reports. False with `error` set when a read fails or memory runs out, or
// with `outcome` Skipped past `maxSize` bytes. Past `deadline` the reading
// stops and `outOfTime` is set; what was read is still scanned.
bool ScanBytes(InputFile& file, ScanHandle& handle, std::span<uint8_t> buffer, uint64_t maxSize,
               ScanClock::time_point deadline, bool& outOfTime, FileOutcome& outcome, std::string& error) {
  BeginScan(handle);
  for (;;) {
    // Checked once per chunk; a regular file read to its size is whole.
    if (outcome.bytes != 0 && deadline != ScanClock::time_point::max() && ScanClock::now() > deadline &&
        !(file.regular && outcome.bytes >= file.size)) {
      outOfTime = true;
      break;
    }
    const std::optional<size_t> count = ReadInput(file, buffer.data(), buffer.size(), error);
    if (!count) return false;
    if (*count == 0) break;
    outcome.bytes += *count;
    // Standard input has no size to check up front.
    if (outcome.bytes > maxSize) {
      outcome = {Outcome::Skipped, {}, "larger than --max-filesize", 0, {}};
      return false;
    }
    FeedScan(handle, buffer.data(), *count);
  }
  FinishScan(handle);
  if (!CollectReports(handle, {}, outcome.reports)) {
    error = "out of memory while collecting reports";
    return false;
  }
  if (!outcome.reports.empty()) outcome.outcome = Outcome::Reported;
  return true;
}

}  // namespace

bool OpenWorker(Worker& worker, const ScanSettings& settings) {
  worker.handle.reset(new (std::nothrow) ScanHandle());
  worker.buffer.reset(new (std::nothrow) uint8_t[settings.chunkSize]);
  if (!worker.handle || !worker.buffer) return false;
  return LoadHandle(*worker.handle, settings.database.string().c_str());
}

FileOutcome ScanWith(const ScanTarget& target, Worker& worker, const ScanSettings& settings) {
  if (target.state == TargetState::Excluded) return {Outcome::Excluded, {}, target.reason, 0, {}};
  if (target.state == TargetState::Error) return Failed(target.reason);

  InputFile file;
  std::string error;
  if (target.standardInput) {
    OpenStandardInput(file);
  } else if (!OpenInput(file, std::filesystem::path(target.path), error)) {
    return Failed(error);
  } else if (!file.regular) {
    return Failed("not a regular file");
  } else if (file.size > settings.maxFileSize) {
    return {Outcome::Skipped, {}, "larger than --max-filesize", 0, {}};
  }

  FileOutcome outcome{Outcome::Clean, {}, {}, 0, {}};
  ScanHandle& handle = *worker.handle;
  const ScanClock::time_point deadline = Deadline(settings.maxScanTime);
  bool outOfTime = false;
  if (!ScanBytes(file, handle, {worker.buffer.get(), settings.chunkSize}, settings.maxFileSize, deadline, outOfTime,
                 outcome, error)) {
    if (outcome.outcome == Outcome::Skipped) return outcome;
    return Failed(target.standardInput ? "cannot read standard input: " + error : error);
  }
  if (outOfTime) {
    // What was read is scanned and reported; the rest is not, so the file
    // is never taken for clean.
    outcome.archiveNotes.push_back({{}, true, !settings.archives.limitsOk, TimeLimitReason(settings.maxScanTime)});
    return outcome;
  }
  if (settings.inspect) settings.inspect(target, handle, outcome);
  // After the inspection: the members' scans replace the file's scores.
  // Standard input cannot be read twice: it is scanned as bytes only.
  if (!target.standardInput) {
    const MemberHandles more = [&](uint32_t level) -> ScanHandle* {
      std::vector<std::unique_ptr<ScanHandle>>& handles = worker.memberHandles;
      if (handles.size() < level - 1) handles.resize(level - 1);
      std::unique_ptr<ScanHandle>& kept = handles[level - 2];
      if (!kept) {
        kept.reset(new (std::nothrow) ScanHandle());
        if (kept && !LoadHandle(*kept, settings.database.string().c_str())) kept.reset();
      }
      return kept.get();
    };
    ScanArchiveMembers(file, PathText(target), handle, more, settings.archives, outcome, deadline,
                       settings.maxScanTime);
  }
  return outcome;
}

FileOutcome ScanOpenFile(InputFile& file, std::string_view name, ScanHandle& handle, const MemberHandles& more,
                         std::span<uint8_t> buffer, const ScanSettings& settings) {
  FileOutcome outcome{Outcome::Clean, {}, {}, 0, {}};
  std::string error;
  const ScanClock::time_point deadline = Deadline(settings.maxScanTime);
  bool outOfTime = false;
  if (!ScanBytes(file, handle, buffer, UINT64_MAX, deadline, outOfTime, outcome, error)) return Failed(error);
  if (outOfTime) {
    outcome.archiveNotes.push_back({{}, true, !settings.archives.limitsOk, TimeLimitReason(settings.maxScanTime)});
    return outcome;
  }
  if (file.regular) {
    ScanArchiveMembers(file, name, handle, more, settings.archives, outcome, deadline, settings.maxScanTime);
  }
  return outcome;
}

FileOutcome ScanMemory(std::span<const uint8_t> bytes, std::string_view name, ScanHandle& handle,
                       const MemberHandles& more, const ScanSettings& settings) {
  FileOutcome outcome{Outcome::Clean, {}, {}, bytes.size(), {}};
  const ScanClock::time_point deadline = Deadline(settings.maxScanTime);
  // Fed in one piece: the time limit is checked between the bytes' scan
  // and the walk, and inside the walk.
  BeginScan(handle);
  FeedScan(handle, bytes.data(), bytes.size());
  FinishScan(handle);
  if (!CollectReports(handle, {}, outcome.reports)) return Failed("out of memory while collecting reports");
  if (!outcome.reports.empty()) outcome.outcome = Outcome::Reported;
  if (ScanClock::now() > deadline) {
    outcome.archiveNotes.push_back({{}, true, !settings.archives.limitsOk, TimeLimitReason(settings.maxScanTime)});
    return outcome;
  }
  ScanArchiveMembers(bytes, name, handle, more, settings.archives, outcome, deadline, settings.maxScanTime);
  return outcome;
}

namespace {

// The fed scan's end and its reports, then `walk` unless that failed.
template <class Walk>
FileOutcome FinishFed(ScanHandle& fed, uint64_t bytes, const ScanSettings& settings, const Walk& walk) {
  FileOutcome outcome{Outcome::Clean, {}, {}, bytes, {}};
  const ScanClock::time_point deadline = Deadline(settings.maxScanTime);
  FinishScan(fed);
  if (!CollectReports(fed, {}, outcome.reports)) return Failed("out of memory while collecting reports");
  if (!outcome.reports.empty()) outcome.outcome = Outcome::Reported;
  walk(outcome, deadline);
  return outcome;
}

}  // namespace

FileOutcome FinishFedScan(ScanHandle& fed, uint64_t bytes, InputFile& file, std::string_view name,
                          ScanHandle& handle, const MemberHandles& more, const ScanSettings& settings) {
  return FinishFed(fed, bytes, settings, [&](FileOutcome& outcome, ScanClock::time_point deadline) {
    if (file.regular) {
      ScanArchiveMembers(file, name, handle, more, settings.archives, outcome, deadline, settings.maxScanTime);
    }
  });
}

FileOutcome FinishFedScan(ScanHandle& fed, uint64_t bytes, const archive::ArchiveInput& input, std::string_view name,
                          ScanHandle& handle, const MemberHandles& more, const ScanSettings& settings) {
  return FinishFed(fed, bytes, settings, [&](FileOutcome& outcome, ScanClock::time_point deadline) {
    ScanArchiveMembers(input, name, handle, more, settings.archives, outcome, deadline, settings.maxScanTime);
  });
}

}  // namespace veltor::scanning
