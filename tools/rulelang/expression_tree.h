#pragma once
// A rule expression as a tree of bytecode nodes: the form between source text
// and bytecode in both directions. One node is one bytecode node, so the
// tree says exactly which bytes it encodes to.
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace veltor::rulelang {

struct ExprNode {
  uint32_t opcode = 0;  // an Opcode, or any other value for an unrecognised one
  // Literals: the operand's bits (i32 two's complement, the bool byte, f32 or
  // f64 bits). References: the id. Unused for aggregates.
  uint64_t operand = 0;
  std::vector<ExprNode> children;  // aggregates and unrecognised opcodes: at most 255
};

// How deep a tree may nest: the decoder gives up beyond it (the expression is
// then shown as raw bytes) and the parser refuses deeper source, so that
// neither recursion can exhaust the stack.
inline constexpr uint32_t MaxExpressionDepth = 200;

// Appends the bytecode of a tree. Children beyond 255 are not encoded; the
// compiler splits longer chains before it gets here.
void EncodeExpression(const ExprNode& node, std::vector<uint8_t>& out);
std::vector<uint8_t> EncodeExpression(const ExprNode& node);

// The tree of an expression when the bytes are exactly one complete node
// (no cut node, nothing after the root, no deeper than MaxExpressionDepth);
// otherwise nothing, and the expression can only be shown as raw bytes.
// EncodeExpression of the result gives back the same bytes.
std::optional<ExprNode> DecodeExpression(std::span<const uint8_t> bytes);

// Every reference in a tree, in prefix order.
void CollectReferences(const ExprNode& node, std::vector<const ExprNode*>& references);

}  // namespace veltor::rulelang
