// The expression evaluator over arbitrary bytecode and a small arbitrary
// library (see evaluator_input.h): the bytecode on its own, every rule
// through the memo (references, cycles, deep chains), and a scan pass.
#include <cstdint>
#include <cstdlib>

#include "engine/database/signature_library.h"
#include "compiler/dbwriter/database_writer.h"
#include "fuzz/evaluator_input.h"
#include "engine/scan/scan_context.h"
#include "engine/rules/evaluator.h"

using namespace veltor;

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

// A node's end, when reported, lies inside the span and past its start.
void CheckEvaluation(EvaluationState* state, std::span<const uint8_t> bytes) {
  const uint8_t* end = nullptr;
  EvaluateExpression(state, bytes.empty() ? nullptr : bytes.data(), static_cast<uint32_t>(bytes.size()), &end);
  if (end != nullptr) Require(end > bytes.data() && end <= bytes.data() + bytes.size());
}

// After any evaluation no rule is left marked as in progress.
void CheckMemo(const ScanContext& context) {
  const EvaluationState& state = context.evaluation;
  for (uint32_t k = 0; k < state.library->header.ruleCount; ++k) {
    Require(state.ruleEvaluated[k] == RuleNotEvaluated || state.ruleEvaluated[k] == RuleMemoised);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const fuzz::EvaluatorInput input = fuzz::DecodeEvaluatorInput({data, size});
  const std::vector<uint8_t> body = WriteDatabaseBody(input.signatures, input.rules);
  SignatureLibraryPtr library = ParseDatabaseBody(body.data(), static_cast<uint32_t>(body.size()));
  Require(library != nullptr);
  ScanContextPtr context = BuildScanContext(library.get());
  Require(context != nullptr);

  CheckEvaluation(nullptr, input.expression);

  const uint32_t signatureCount = library->header.signatureCount;
  for (uint32_t k = 0; k < signatureCount; ++k) context->evaluation.signatureHits[k] = (input.hitFlags >> (k % 8)) & 1;
  CheckEvaluation(&context->evaluation, input.expression);
  if (library->header.ruleCount != 0) {
    CheckMemo(*context);
    for (uint32_t k = 0; k < library->header.ruleCount; ++k) EvaluateRule(context->evaluation, k);
    CheckMemo(*context);
  }

  if (!input.expression.empty()) {
    const int32_t fired =
        RunScanPass(context.get(), input.expression.data(), static_cast<uint32_t>(input.expression.size()));
    Require(fired >= 0 && static_cast<uint32_t>(fired) <= library->header.ruleCount);
    if (library->header.ruleCount != 0) CheckMemo(*context);
  }
  return 0;
}
