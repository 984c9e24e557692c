#pragma once
// The rule expression evaluator: one walk that both parses and evaluates,
// reading the bytecode in place. It keeps its open aggregates and the rules
// under evaluation on an explicit stack (rules/evaluation_stack.h), never on
// the machine stack, so every rule is evaluated exactly however deep its
// nesting and reference chains go, and a host thread's small stack is
// enough.
#include <cstdint>

#include "matcher/scan_context.h"
#include "rules/bytecode.h"

namespace veltor {

// States of a rule's `ruleEvaluated` byte during a scan. The scan pass
// clears every byte to RuleNotEvaluated; the report loop takes only rules
// whose byte is exactly RuleMemoised. RuleInProgress marks a rule whose
// expression is being evaluated right now: a reference that meets it has
// found a cycle (a rule that reaches itself through references), yields 0
// and memoises nothing, so the walk ends instead of recursing forever. The
// byte never stays RuleInProgress once EvaluateRule has returned.
inline constexpr uint8_t RuleNotEvaluated = 0;
inline constexpr uint8_t RuleMemoised = 1;
inline constexpr uint8_t RuleInProgress = 2;

// Evaluates the node at `node` inside a span of `length` bytes. References
// read the context's hit flags and fill its rule memo; without a context they
// yield 0. When `end` is given it receives the position just after the node,
// except for a node cut short by the span end, which yields 0 and leaves
// `end` alone. For the tools and tests, not the scan: it allocates a stack
// for the expression's own nesting (and yields 0, `end` untouched, when it
// cannot).
double EvaluateExpression(ScanContext* context, const uint8_t* node, uint32_t length,
                          const uint8_t** end) noexcept;

// The memoised step of the scan pass: evaluates rule `index` unless this
// scan already did, and returns its score. Yields 0 for an index outside the
// library, a context without library or memo, and a rule whose evaluation is
// already in progress (a cycle). Uses the context's evaluation stack and
// allocates nothing.
double EvaluateRule(ScanContext& context, uint32_t index) noexcept;

}  // namespace veltor
