#pragma once
// Reporting a scan's results to the host: one ReportSink per scan call.
#include <bit>
#include <cstdint>

#include "engine/api/veltor.h"

namespace veltor {

struct ReportSink {
  ReportCallbackA ansiCallback = nullptr;  // set by the "A" scan calls
  ReportCallbackW wideCallback = nullptr;  // set by the "W" scan calls
  void* userData = nullptr;
  int32_t reportCount = 0;  // every rule reaching the report threshold, callback or not
};

inline constexpr int32_t ReportLevelCertain = 1;   // score >= 0.999
inline constexpr int32_t ReportLevelProbable = 2;  // 0.501 <= score < 0.999

// The doubles nearest to 0.501 and 0.999, by their bits.
inline constexpr double ReportThreshold = std::bit_cast<double>(uint64_t{0x3FE0083126E978D5});
inline constexpr double CertainThreshold = std::bit_cast<double>(uint64_t{0x3FEFF7CED916872B});

// The level a score is reported with: ReportLevelCertain from 0.999 up,
// ReportLevelProbable from 0.501 up, 0 below (NaN included): not reported.
inline constexpr int32_t ReportLevel(double score) noexcept {
  if (!(score >= ReportThreshold)) return 0;
  return score >= CertainThreshold ? ReportLevelCertain : ReportLevelProbable;
}

// Counts and reports a rule whose score reaches 0.501 (NaN never does), with
// level 1 from 0.999 up. The ANSI callback gets `name` as is (null for an
// unnamed rule); the wide callback a UTF-16 copy (empty for an unnamed rule).
// Not noexcept: a host callback may throw, and the export catches it.
void ReportRule(const char* name, double score, ReportSink* sink);

}  // namespace veltor
