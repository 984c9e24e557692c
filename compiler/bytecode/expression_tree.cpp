#include "compiler/bytecode/expression_tree.h"

#include <bit>

namespace veltor::bytecode {
namespace {

ExpressionNode Leaf(uint32_t opcode, uint64_t operand) {
  ExpressionNode node;
  node.opcode = opcode;
  node.operand = operand;
  return node;
}

}  // namespace

ExpressionNode Int32(int32_t value) { return Leaf(OpInt32, static_cast<uint32_t>(value)); }
ExpressionNode Bool(bool value) { return Leaf(OpBool, value ? 1u : 0u); }
ExpressionNode BoolByte(uint8_t byte) { return Leaf(OpBool, byte); }
ExpressionNode Float32(float value) { return Leaf(OpFloat32, std::bit_cast<uint32_t>(value)); }
ExpressionNode Float64(double value) { return Leaf(OpFloat64, std::bit_cast<uint64_t>(value)); }
ExpressionNode SignatureRef(uint32_t id) { return Leaf(OpSignatureRef, id); }
ExpressionNode RuleRef(uint32_t id) { return Leaf(OpRuleRef, id); }

ExpressionNode Aggregate(uint32_t opcode, std::vector<ExpressionNode> children) {
  ExpressionNode node;
  node.opcode = opcode;
  node.children = std::move(children);
  return node;
}

ExpressionNode Cut(ExpressionNode node, uint32_t keptBytes) {
  node.keptBytes = keptBytes;
  return node;
}

ExpressionNode WithChildCount(ExpressionNode node, uint8_t childCount) {
  node.childCountOverride = childCount;
  return node;
}

ExpressionNode RawBytes(std::vector<uint8_t> bytes) {
  ExpressionNode node;
  node.rawBytes = std::move(bytes);
  return node;
}

}  // namespace veltor::bytecode
