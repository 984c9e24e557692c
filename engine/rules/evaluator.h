#pragma once
// The rule expression evaluator: one walk that both parses and evaluates,
// reading the bytecode in place. It keeps its open aggregates and the rules
// under evaluation on an explicit stack (rules/evaluation_stack.h), never on
// the machine stack, so every rule is evaluated exactly however deep its
// nesting and reference chains go, and a host thread's small stack is
// enough.
#include <cstdint>

#include "engine/rules/bytecode.h"
#include "engine/rules/evaluation_state.h"

namespace veltor {

// Evaluates the node at `node` inside a span of `length` bytes. References
// read the state's hit flags and fill its rule memo; without a state they
// yield 0. When `end` is given it receives the position just after the node,
// except for a node cut short by the span end, which yields 0 and leaves
// `end` alone. For the tools and tests, not the scan: it allocates a stack
// for the expression's own nesting (and yields 0, `end` untouched, when it
// cannot).
double EvaluateExpression(EvaluationState* state, const uint8_t* node, uint32_t length,
                          const uint8_t** end) noexcept;

// Finds the rings of rule references: sets of rules that reach each other
// through references (a rule that names itself is a ring of one). Sets
// ringOf[i] (ruleCount entries) to the ring of rule i, numbered from 0, or
// NoRing. The evaluator reads 0 for a reference from a rule to a rule of its
// own ring, so that a ring's scores do not depend on which of its rules a
// scan evaluates first, that is on rule ids. False when memory runs out.
bool FindRuleRings(const SignatureLibrary& library, uint32_t* ringOf) noexcept;

// The memoised step of the scan pass: evaluates rule `index` unless this
// scan already did, and returns its score. Yields 0 for an index outside the
// library, a state without library or memo, and a rule whose evaluation is
// already in progress (a cycle). Uses the state's evaluation stack and
// allocates nothing.
double EvaluateRule(EvaluationState& state, uint32_t index) noexcept;

}  // namespace veltor
