#pragma once
// What the evaluator reads and writes while a scan evaluates its rules: the
// library, one hit flag per signature, one memo slot per rule and the
// explicit stack. The scan context holds one; tools and tests may hold one
// of their own. The matcher never sees it.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "engine/database/signature_library.h"
#include "engine/rules/evaluation_stack.h"

namespace veltor {

// States of a rule's `ruleEvaluated` byte during a scan. A new scan clears
// every byte to RuleNotEvaluated; the report loop takes only rules whose
// byte is exactly RuleMemoised. RuleInProgress marks a rule whose expression
// is being evaluated right now: a reference that meets it has found a cycle
// (a rule that reaches itself through references), yields 0 and memoises
// nothing, so the walk ends instead of recursing forever. The byte never
// stays RuleInProgress once EvaluateRule has returned.
inline constexpr uint8_t RuleNotEvaluated = 0;
inline constexpr uint8_t RuleMemoised = 1;
inline constexpr uint8_t RuleInProgress = 2;

// ringOf's value for a rule on no ring of references.
inline constexpr uint32_t NoRing = UINT32_MAX;

struct EvaluationState {
  const SignatureLibrary* library = nullptr;  // not owned; must outlive the state
  HeapArray<uint8_t> signatureHits;          // signatureCount bytes: 1 when the signature occurred
  HeapArray<uint8_t> ruleEvaluated;          // ruleCount memo states: RuleMemoised when ruleValues holds this scan's score
  HeapArray<double> ruleValues;               // ruleCount memoised scores
  const uint32_t* ringOf = nullptr;           // ruleCount: each rule's ring of references, or NoRing (the library's)
  EvaluationStack evaluationStack;            // sized for the library
};

// Points the state at the library and allocates its zeroed arrays (none for
// a count of 0) and its stack, and makes the library's rule rings unless another
// state already did, without throwing. False when memory runs out.
bool AllocateEvaluationState(const SignatureLibrary& library, EvaluationState& state) noexcept;

// Clears the hit flags and the memo marks for a new scan; the scores stay
// as they were, unread until memoised again.
void ClearEvaluationState(EvaluationState& state) noexcept;

// Bytes the state's arrays and stack really allocated, and the library's
// rule rings it reads.
size_t EvaluationStateMemory(const EvaluationState& state) noexcept;

}  // namespace veltor
