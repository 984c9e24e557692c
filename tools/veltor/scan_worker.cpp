#include "tools/veltor/scan_worker.h"

#include <new>

#include "api/report.h"
#include "api/scan.h"
#include "tools/veltor/scan_system.h"

namespace veltor::cli {
namespace {

struct ReportCollector {
  std::vector<RuleReport>* reports;
  bool failed = false;
};

// Runs on the worker's thread when the scan finishes; it must not throw
// into the engine.
void VELTOR_CALL CollectReport(int32_t level, const char* name, void* userData) {
  auto* collector = static_cast<ReportCollector*>(userData);
  try {
    collector->reports->push_back({level, name != nullptr ? std::string(name) : std::string()});
  } catch (const std::bad_alloc&) {
    collector->failed = true;
  }
}

FileOutcome Failed(std::string reason) { return {Outcome::Error, {}, std::move(reason), 0, {}}; }

}  // namespace

bool OpenWorker(Worker& worker, const ScanSettings& settings) {
  worker.handle.reset(new (std::nothrow) ScanHandle());
  worker.buffer.reset(new (std::nothrow) uint8_t[settings.chunkSize]);
  if (!worker.handle || !worker.buffer) return false;
  try {
    worker.memberHandles.database = settings.database;
  } catch (const std::bad_alloc&) {
    return false;
  }
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
  ReportCollector collector{&outcome.reports};
  ReportSink sink{CollectReport, nullptr, &collector, 0};
  ScanHandle& handle = *worker.handle;
  handle.sink = &sink;
  BeginScan(handle);
  for (;;) {
    const std::optional<size_t> count = ReadInput(file, worker.buffer.get(), settings.chunkSize, error);
    if (!count) {
      handle.sink = nullptr;
      return Failed(target.standardInput ? "cannot read standard input: " + error : error);
    }
    if (*count == 0) break;
    outcome.bytes += *count;
    // Standard input has no size to check up front.
    if (outcome.bytes > settings.maxFileSize) {
      handle.sink = nullptr;
      return {Outcome::Skipped, {}, "larger than --max-filesize", 0, {}};
    }
    FeedScan(handle, worker.buffer.get(), *count);
  }
  FinishScan(handle);
  handle.sink = nullptr;
  if (collector.failed) return Failed("out of memory while collecting reports");
  if (!outcome.reports.empty()) outcome.outcome = Outcome::Reported;
  if (settings.inspect) settings.inspect(target, handle, outcome);
  // After the inspection: the members' scans replace the file's scores.
  // Standard input cannot be read twice: it is scanned as bytes only.
  if (!target.standardInput) {
    ScanArchiveMembers(file, PathText(target), handle, worker.memberHandles, settings.archives, outcome);
  }
  return outcome;
}

}  // namespace veltor::cli
