#pragma once
// The rule expression evaluator: one recursive walk that both parses and
// evaluates, reading the bytecode in place and allocating nothing.
#include <cstdint>

#include "matcher/scan_context.h"

namespace veltor {

// Evaluates the node at `node` inside a span of `length` bytes. References
// read the context's hit flags and fill its rule memo; without a context they
// yield 0. When `end` is given it receives the position just after the node,
// except for a node cut short by the span end (or beyond the depth limit),
// which yields 0 and leaves `end` alone.
double EvaluateExpression(ScanContext* context, const uint8_t* node, uint32_t length,
                          const uint8_t** end) noexcept;

// The memoised step shared by the scan pass and rule references: evaluates
// rule `index` unless this scan already did, and returns its score.
double EvaluateRule(ScanContext& context, uint32_t index) noexcept;

}  // namespace veltor
