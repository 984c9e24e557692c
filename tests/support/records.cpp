#include "support/records.h"

#include <stdexcept>
#include <string>
#include <utility>

#include "compiler/bytecode/bytecode_encoder.h"

namespace veltor::testing {

using namespace bytecode;

std::vector<uint8_t> Bytes(std::string_view text) { return {text.begin(), text.end()}; }

SignatureInput Signature(uint32_t id, std::string_view pattern, uint32_t flags, std::string_view extra) {
  SignatureInput signature;
  signature.id = id;
  signature.flags = flags;
  // Fields the engine stores but never reads: not zero, so that a reader
  // that mixes them up with their neighbours shows it.
  signature.reserved1 = id ^ 0xA5A5A5A5u;
  signature.reserved2 = id ^ 0x5A5A5A5Au;
  signature.pattern = Bytes(pattern);
  signature.extra = Bytes(extra);
  return signature;
}

RuleInput Rule(uint32_t id, std::string_view name, const ExpressionNode& expression, uint32_t flags) {
  auto bytes = Encode(expression);
  if (!bytes) throw std::invalid_argument("expression cannot be encoded");
  return RawRule(id, name, std::move(*bytes), flags);
}

RuleInput InnerRule(uint32_t id, std::string_view name, const ExpressionNode& expression) {
  return Rule(id, name, expression, 0);
}

RuleInput RawRule(uint32_t id, std::string_view name, std::vector<uint8_t> expression, uint32_t flags) {
  RuleInput rule;
  rule.id = id;
  rule.flags = flags;
  rule.name = Bytes(name);
  rule.expression = std::move(expression);
  return rule;
}

std::vector<SignatureInput> SampleSignatures() {
  return {Signature(30, "needle", SignatureFlagExactCase, "extra bytes"),
          Signature(10, ""),
          Signature(20, "wide", SignatureFlagWide),
          Signature(40, "Mixed", SignatureFlagWide | SignatureFlagExactCase),
          Signature(50, "ab"),
          Signature(60, "z", SignatureFlagExactCase),
          Signature(60, "dup"),
          Signature(70, std::string(260, 'q'), 0, "tail"),
          Signature(0xFFFFFFFFu, "last")};
}

std::vector<RuleInput> SampleRules() {
  return {
      Rule(100, "Sample.Needle", SignatureRef(30)),
      Rule(200, "Sample.Either", Or(SignatureRef(20), SignatureRef(40), RuleRef(300))),
      InnerRule(300, "Sample.Helper", And(SignatureRef(50), Not(SignatureRef(60)))),
      Rule(400, "Sample.Score",
           Quotient(Sum(Int32(3), Float32(0.5f), Float64(0.25)), Max(Int32(2), Min(Int32(5), Int32(4))))),
      Rule(500, "Sample.Compare",
           Xor(Greater(RuleRef(400), Float64(0.5)), LessEqual(Int32(1), Int32(2)), Equal(Bool(true), Int32(1)))),
      Rule(600, "Sample.Cycle", Or(RuleRef(700), SignatureRef(30))),
      Rule(700, "Sample.Cycle2", And(RuleRef(600), Bool(true))),
      Rule(800, "Sample.Power", Power(Int32(2), Root(Int32(9), Int32(2)))),
      Rule(900, "Sample.Unknown", Aggregate(99, {Int32(1)})),
      Rule(1000, "", Difference(SignatureRef(70), Product(SignatureRef(0xFFFFFFFFu), Int32(2)))),
      Rule(1100, "Sample.Less", Less(Difference(Int32(1), Product(Int32(2), Int32(3))), GreaterEqual(Int32(0), Int32(0)))),
      RawRule(1200, "Sample.Empty", {}, 0),
  };
}

std::vector<uint8_t> SampleBody(const BodyOptions& options) {
  return WriteDatabaseBody(SampleSignatures(), SampleRules(), options);
}

SignatureLibraryPtr Parse(const std::vector<uint8_t>& body) {
  return ParseDatabaseBody(body.data(), static_cast<uint32_t>(body.size()));
}

}  // namespace veltor::testing
