#pragma once
// One scan of a handle: the scan pass over the bytes, then the report loop.
//
// Inside the project (the veltor program, the Python binding) a scan may
// also be streamed: BeginScan, any number of FeedScan calls, FinishScan.
// The one-buffer scans are that same path fed once, so a stream and one
// buffer of the same bytes give the same reports.
#include <cstddef>
#include <cstdint>

#include "api/scan_handle.h"
#include "rules/evaluator.h"

namespace veltor {

// The largest file a scan reads: larger files are refused whole, not
// scanned in part.
inline constexpr int64_t MaxScannedFileSize = 16 * 1024 * 1024;

// The report loop takes rules scoring strictly above this (0.001).
extern const double ReportLoopThreshold;

// Starts a streamed scan: forgets the previous scan's hits and scores.
void BeginScan(ScanHandle& handle) noexcept;

// Feeds the next bytes of the stream; any number of bytes, 0 included.
void FeedScan(ScanHandle& handle, const uint8_t* bytes, size_t length) noexcept;

// Evaluates the rules over everything fed since BeginScan and hands every
// top-level rule scoring above ReportLoopThreshold to ReportRule with the
// handle's sink, in rule id order. An empty stream reports nothing. May
// throw only what a host callback throws.
void FinishScan(ScanHandle& handle);

// Calls visit(ruleIndex, score) for every rule the report loop of the last
// finished scan takes, in rule id order (the rules ReportRule then filters
// by the report threshold).
template <typename Visit>
void ForEachReportLoopRule(const ScanHandle& handle, Visit&& visit);

// BeginScan, FeedScan over the bytes, FinishScan; nothing for null bytes or
// a zero length.
void ScanBuffer(ScanHandle& handle, const uint8_t* bytes, uint32_t length);

// Reads the whole file (1 to MaxScannedFileSize bytes) and scans it. A file
// that cannot be opened, is not a regular file, cannot be read without
// waiting, is empty or too large is not scanned; a file that yields fewer
// bytes than its size is scanned over the bytes it yielded.
void ScanFile(ScanHandle& handle, const char* path);

template <typename Visit>
void ForEachReportLoopRule(const ScanHandle& handle, Visit&& visit) {
  if (!handle.context || !handle.library || !handle.streamFired) return;
  const ScanContext& context = *handle.context;
  const auto rules = Rules(*handle.library);
  for (uint32_t index = 0; index < rules.size(); ++index) {
    const double score = context.ruleValues[index];
    if (context.ruleEvaluated[index] == RuleMemoised && score > ReportLoopThreshold &&
        (rules[index].flags & RuleFlagTopLevel) != 0) {
      visit(index, score);
    }
  }
}

}  // namespace veltor
