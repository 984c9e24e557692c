#pragma once
// The report loop: which rules a finished scan pass reports, and with what
// score. The one place that chooses them; the exports, explain, the tools
// and the Python module all walk it.
#include <bit>
#include <cstdint>

#include "engine/rules/evaluation_state.h"
#include "engine/scan/scan_context.h"

namespace veltor {

// The report loop takes rules scoring strictly above this (0.001).
inline constexpr double ReportLoopThreshold = std::bit_cast<double>(uint64_t{0x3F50624DD2F1A9FC});

// Calls visit(ruleIndex, score) for every rule the report loop of the last
// finished pass takes, in rule id order: nothing unless the pass fired; then
// every top-level rule memoised with a score above ReportLoopThreshold. The
// caller's report threshold (ReportLevel) filters further. Nothing for a
// null context.
template <typename Visit>
void ForEachReportLoopRule(const ScanContext* context, Visit&& visit) {
  if (context == nullptr || context->evaluation.library == nullptr || !context->passFired) return;
  const EvaluationState& state = context->evaluation;
  const auto rules = Rules(*state.library);
  for (uint32_t index = 0; index < rules.size(); ++index) {
    const double score = state.ruleValues[index];
    if (state.ruleEvaluated[index] == RuleMemoised && score > ReportLoopThreshold &&
        (rules[index].flags & RuleFlagTopLevel) != 0) {
      visit(index, score);
    }
  }
}

}  // namespace veltor
