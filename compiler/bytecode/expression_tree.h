#pragma once
// Rule expressions as trees: what the rule compiler builds and emits, what
// the decompiler reads back, and what tests write to state the expression
// they evaluate:
//
//   Or(And(SignatureRef(100), SignatureRef(200)), Greater(RuleRef(7), Float64(0.5)))
//
// A tree can also describe deliberately malformed bytecode (a node cut short,
// a child count that disagrees with the children, raw bytes), so that tests
// and hostile-input fixtures read like the expression they stand for.
#include <concepts>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "engine/rules/bytecode.h"

namespace veltor::bytecode {

struct ExpressionNode {
  uint32_t opcode = OpInt32;
  // Literals: the operand's bits (i32, u8, f32 or f64, in the low bytes);
  // references: the id. Bits rather than values, so NaNs and the exact byte
  // of an OpBool survive a round trip.
  uint64_t operand = 0;
  std::vector<ExpressionNode> children;  // aggregates and unrecognised opcodes

  // Malformations; a compiler never sets them and the decoder never yields them.
  std::optional<uint8_t> childCountOverride;     // written instead of children.size()
  std::optional<uint32_t> keptBytes;             // only this many leading bytes are written
  std::optional<std::vector<uint8_t>> rawBytes;  // written verbatim instead of the node

  bool operator==(const ExpressionNode&) const = default;
};

// Literals and references.
ExpressionNode Int32(int32_t value);
ExpressionNode Bool(bool value);
ExpressionNode BoolByte(uint8_t byte);  // any operand byte; nonzero reads as true
ExpressionNode Float32(float value);
ExpressionNode Float64(double value);
ExpressionNode SignatureRef(uint32_t id);
ExpressionNode RuleRef(uint32_t id);

// An aggregate, or an unrecognised opcode read like one.
ExpressionNode Aggregate(uint32_t opcode, std::vector<ExpressionNode> children);

// Malformed nodes.
ExpressionNode Cut(ExpressionNode node, uint32_t keptBytes);  // the node's first keptBytes bytes
ExpressionNode WithChildCount(ExpressionNode node, uint8_t childCount);
ExpressionNode RawBytes(std::vector<uint8_t> bytes);

// The aggregates by name: Sum(Int32(10), Int32(3)).
template <typename T>
concept Node = std::same_as<T, ExpressionNode>;

ExpressionNode Sum(Node auto... c) { return Aggregate(OpSum, {std::move(c)...}); }
ExpressionNode Difference(Node auto... c) { return Aggregate(OpDifference, {std::move(c)...}); }
ExpressionNode Product(Node auto... c) { return Aggregate(OpProduct, {std::move(c)...}); }
ExpressionNode Quotient(Node auto... c) { return Aggregate(OpQuotient, {std::move(c)...}); }
ExpressionNode Power(Node auto... c) { return Aggregate(OpPower, {std::move(c)...}); }
ExpressionNode Root(Node auto... c) { return Aggregate(OpRoot, {std::move(c)...}); }
ExpressionNode And(Node auto... c) { return Aggregate(OpAnd, {std::move(c)...}); }
ExpressionNode Or(Node auto... c) { return Aggregate(OpOr, {std::move(c)...}); }
ExpressionNode Not(Node auto... c) { return Aggregate(OpNot, {std::move(c)...}); }
ExpressionNode Xor(Node auto... c) { return Aggregate(OpXor, {std::move(c)...}); }
ExpressionNode Max(Node auto... c) { return Aggregate(OpMax, {std::move(c)...}); }
ExpressionNode Min(Node auto... c) { return Aggregate(OpMin, {std::move(c)...}); }
ExpressionNode Greater(Node auto... c) { return Aggregate(OpGreater, {std::move(c)...}); }
ExpressionNode GreaterEqual(Node auto... c) { return Aggregate(OpGreaterEqual, {std::move(c)...}); }
ExpressionNode Equal(Node auto... c) { return Aggregate(OpEqual, {std::move(c)...}); }
ExpressionNode LessEqual(Node auto... c) { return Aggregate(OpLessEqual, {std::move(c)...}); }
ExpressionNode Less(Node auto... c) { return Aggregate(OpLess, {std::move(c)...}); }

}  // namespace veltor::bytecode
