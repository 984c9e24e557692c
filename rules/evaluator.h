#pragma once
// The rule expression evaluator: one recursive walk that both parses and
// evaluates, reading the bytecode in place and allocating nothing.
#include <cstdint>

#include "matcher/scan_context.h"

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

// One limit bounds node nesting and rule-reference chains together: the root
// node of an evaluation is level 1, each child one level below its parent and
// the root of a referenced rule one level below the reference. A node deeper
// than MaxEvaluationDepth yields 0 and reports no end, exactly like a node cut
// by the span end: every enclosing aggregate that expects more children folds
// a 0 for it and stops. A reference whose rule root would lie deeper than the
// limit yields 0 without entering or memoising the rule, so the rule keeps
// its proper score for a later, shallower evaluation.
//
// Why 1000: a real rule, nesting and reference chains counted together, stays
// within a few hundred levels at the very most. The limit must also keep the
// walk inside a 1 MiB thread stack (the default on Windows) in every build,
// with room left for the host's own frames. Measured with a painted stack, a
// level costs about 112 bytes in the Release build and at most about 157
// bytes in the AddressSanitizer+UndefinedBehaviorSanitizer build (a chain of
// rule references, the costliest level): about 115 KiB and 160 KiB at the
// limit, a sixth of 1 MiB. The Windows build walks 1000 levels within a
// 128 KiB stack.
inline constexpr uint32_t MaxEvaluationDepth = 1000;

// Evaluates the node at `node` inside a span of `length` bytes. References
// read the context's hit flags and fill its rule memo; without a context they
// yield 0. When `end` is given it receives the position just after the node,
// except for a node cut short by the span end (or beyond the depth limit),
// which yields 0 and leaves `end` alone.
double EvaluateExpression(ScanContext* context, const uint8_t* node, uint32_t length,
                          const uint8_t** end) noexcept;

// The memoised step shared by the scan pass and rule references: evaluates
// rule `index` unless this scan already did, and returns its score. Yields 0
// for an index outside the library, a context without library or memo, and a
// rule whose evaluation is already in progress (a cycle).
double EvaluateRule(ScanContext& context, uint32_t index) noexcept;

}  // namespace veltor
