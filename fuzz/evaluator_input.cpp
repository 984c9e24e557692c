#include "fuzz/evaluator_input.h"

#include "fuzz/fuzz_support.h"

namespace veltor::fuzz {

inline constexpr uint8_t MaxRecords = 8;
inline constexpr uint8_t MaxPatternLength = 2;

EvaluatorInput DecodeEvaluatorInput(std::span<const uint8_t> data) {
  ByteReader reader{data};
  EvaluatorInput input;
  const uint8_t signatureCount = reader.Byte() % MaxRecords;
  for (uint8_t k = 0; k < signatureCount; ++k) {
    SignatureInput& signature = input.signatures.emplace_back();
    signature.id = reader.Byte();
    signature.flags = reader.Byte();
    const auto pattern = reader.Take(static_cast<size_t>(reader.Byte() % (MaxPatternLength + 1)));
    signature.pattern.assign(pattern.begin(), pattern.end());
    // A wide 2-byte pattern registers a 4-byte form: a long pattern.
    if (pattern.size() == MaxPatternLength) signature.flags &= ~SignatureFlagWide;
  }
  const uint8_t ruleCount = reader.Byte() % MaxRecords;
  for (uint8_t k = 0; k < ruleCount; ++k) {
    RuleInput& rule = input.rules.emplace_back();
    rule.id = reader.Byte();
    rule.flags = reader.Byte();
    rule.name = {static_cast<uint8_t>('R'), static_cast<uint8_t>('0' + k)};
    const uint32_t length = reader.Byte() | static_cast<uint32_t>(reader.Byte()) << 8;
    const auto expression = reader.Take(length);
    rule.expression.assign(expression.begin(), expression.end());
  }
  input.hitFlags = reader.Byte();
  input.expression = reader.Rest();
  return input;
}

std::vector<uint8_t> EncodeEvaluatorInput(const EvaluatorInput& input) {
  std::vector<uint8_t> out;
  out.push_back(static_cast<uint8_t>(input.signatures.size()));
  for (const SignatureInput& signature : input.signatures) {
    out.push_back(static_cast<uint8_t>(signature.id));
    out.push_back(static_cast<uint8_t>(signature.flags));
    out.push_back(static_cast<uint8_t>(signature.pattern.size()));
    out.insert(out.end(), signature.pattern.begin(), signature.pattern.end());
  }
  out.push_back(static_cast<uint8_t>(input.rules.size()));
  for (const RuleInput& rule : input.rules) {
    out.push_back(static_cast<uint8_t>(rule.id));
    out.push_back(static_cast<uint8_t>(rule.flags));
    out.push_back(static_cast<uint8_t>(rule.expression.size()));
    out.push_back(static_cast<uint8_t>(rule.expression.size() >> 8));
    out.insert(out.end(), rule.expression.begin(), rule.expression.end());
  }
  out.push_back(input.hitFlags);
  out.insert(out.end(), input.expression.begin(), input.expression.end());
  return out;
}

}  // namespace veltor::fuzz
