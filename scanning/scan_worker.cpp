#include "scanning/scan_worker.h"

#include <chrono>
#include <new>

#include "engine/api/scan.h"
#include "scanning/scan_system.h"

namespace veltor::scanning {
namespace {

FileOutcome Failed(std::string reason) { return {Outcome::Error, {}, std::move(reason), 0, {}}; }

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
  const ScanClock::time_point deadline =
      settings.maxScanTime > 0
          ? ScanClock::now() + std::chrono::duration_cast<ScanClock::duration>(
                                   std::chrono::duration<double>(settings.maxScanTime))
          : ScanClock::time_point::max();
  bool outOfTime = false;
  BeginScan(handle);
  for (;;) {
    // Checked once per chunk; a regular file read to its size is whole.
    if (outcome.bytes != 0 && deadline != ScanClock::time_point::max() && ScanClock::now() > deadline &&
        !(file.regular && outcome.bytes >= file.size)) {
      outOfTime = true;
      break;
    }
    const std::optional<size_t> count = ReadInput(file, worker.buffer.get(), settings.chunkSize, error);
    if (!count) {
      return Failed(target.standardInput ? "cannot read standard input: " + error : error);
    }
    if (*count == 0) break;
    outcome.bytes += *count;
    // Standard input has no size to check up front.
    if (outcome.bytes > settings.maxFileSize) {
      return {Outcome::Skipped, {}, "larger than --max-filesize", 0, {}};
    }
    FeedScan(handle, worker.buffer.get(), *count);
  }
  FinishScan(handle);
  if (!CollectReports(handle, {}, outcome.reports)) return Failed("out of memory while collecting reports");
  if (!outcome.reports.empty()) outcome.outcome = Outcome::Reported;
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
    ScanArchiveMembers(file, PathText(target), handle, settings.archives, outcome, deadline, settings.maxScanTime);
  }
  return outcome;
}

}  // namespace veltor::scanning
