#include "engine/rules/evaluation_state.h"

#include <algorithm>
#include <utility>

#include "engine/rules/evaluator.h"

namespace veltor {

bool AllocateEvaluationState(const SignatureLibrary& library, EvaluationState& state) noexcept {
  state = EvaluationState{};
  state.library = &library;
  if (library.header.signatureCount != 0) {
    state.signatureHits = NewArray<uint8_t>(library.header.signatureCount);
    if (!state.signatureHits) return false;
  }
  if (library.header.ruleCount != 0) {
    state.ruleValues = NewArray<double>(library.header.ruleCount);
    state.ruleEvaluated = NewArray<uint8_t>(library.header.ruleCount);
    if (!state.ruleValues || !state.ruleEvaluated) return false;
    // The rings never change during a scan: one array for every state over
    // the library (which handles of one database share).
    state.ringOf = library.ruleRings.Get();
    if (state.ringOf == nullptr) {
      HeapArray<uint32_t> rings = NewBuffer<uint32_t>(library.header.ruleCount);
      if (!rings || !FindRuleRings(library, rings.get())) return false;
      state.ringOf = library.ruleRings.Install(std::move(rings));
    }
  }
  return AllocateEvaluationStack(library, state.evaluationStack);
}

void ClearEvaluationState(EvaluationState& state) noexcept {
  if (state.library == nullptr) return;
  if (state.signatureHits) std::fill_n(state.signatureHits.get(), state.library->header.signatureCount, uint8_t{0});
  if (state.ruleEvaluated) std::fill_n(state.ruleEvaluated.get(), state.library->header.ruleCount, RuleNotEvaluated);
}

size_t EvaluationStateMemory(const EvaluationState& state) noexcept {
  size_t bytes = size_t{state.evaluationStack.capacity} * sizeof(EvaluationFrame);
  if (state.library == nullptr) return bytes;
  const auto& header = state.library->header;
  if (state.signatureHits) bytes += header.signatureCount;
  if (state.ruleEvaluated) bytes += header.ruleCount;
  if (state.ruleValues) bytes += header.ruleCount * sizeof(double);
  if (state.ringOf) bytes += header.ruleCount * sizeof(uint32_t);
  return bytes;
}

}  // namespace veltor
