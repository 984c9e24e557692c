#include "tools/rulelang/expression_tree.h"

#include "database/little_endian.h"
#include "rules/bytecode.h"

namespace veltor::rulelang {
namespace {

struct Decoder {
  std::span<const uint8_t> bytes;
  size_t position = 0;

  bool Node(ExprNode& node, uint32_t depth) {
    if (depth > MaxExpressionDepth || bytes.size() - position < OpcodeSize) return false;
    node.opcode = LoadU32(bytes.data() + position);
    if (IsLiteral(node.opcode)) {
      const uint32_t size = LiteralNodeSize(node.opcode);
      if (bytes.size() - position < size) return false;
      const uint8_t* operand = bytes.data() + position + OpcodeSize;
      switch (node.opcode) {
        case OpBool: node.operand = operand[0]; break;
        case OpFloat64: node.operand = LoadU64(operand); break;
        default: node.operand = LoadU32(operand); break;
      }
      position += size;
      return true;
    }
    if (IsReference(node.opcode)) {
      if (bytes.size() - position < ReferenceNodeSize) return false;
      node.operand = LoadU32(bytes.data() + position + OpcodeSize);
      position += ReferenceNodeSize;
      return true;
    }
    if (bytes.size() - position < AggregateHeaderSize) return false;
    const uint8_t count = bytes[position + OpcodeSize];
    position += AggregateHeaderSize;
    node.children.resize(count);
    for (ExprNode& child : node.children) {
      if (!Node(child, depth + 1)) return false;
    }
    return true;
  }
};

}  // namespace

void EncodeExpression(const ExprNode& node, std::vector<uint8_t>& out) {
  uint8_t word[8];
  StoreU32(word, node.opcode);
  out.insert(out.end(), word, word + OpcodeSize);
  if (IsLiteral(node.opcode)) {
    switch (node.opcode) {
      case OpBool: out.push_back(static_cast<uint8_t>(node.operand)); break;
      case OpFloat64:
        StoreU64(word, node.operand);
        out.insert(out.end(), word, word + 8);
        break;
      default:
        StoreU32(word, static_cast<uint32_t>(node.operand));
        out.insert(out.end(), word, word + 4);
        break;
    }
    return;
  }
  if (IsReference(node.opcode)) {
    StoreU32(word, static_cast<uint32_t>(node.operand));
    out.insert(out.end(), word, word + 4);
    return;
  }
  const size_t count = node.children.size() < MaxChildCount ? node.children.size() : MaxChildCount;
  out.push_back(static_cast<uint8_t>(count));
  for (size_t i = 0; i < count; ++i) EncodeExpression(node.children[i], out);
}

std::vector<uint8_t> EncodeExpression(const ExprNode& node) {
  std::vector<uint8_t> out;
  EncodeExpression(node, out);
  return out;
}

std::optional<ExprNode> DecodeExpression(std::span<const uint8_t> bytes) {
  Decoder decoder{bytes, 0};
  ExprNode root;
  if (!decoder.Node(root, 0) || decoder.position != bytes.size()) return std::nullopt;
  return root;
}

void CollectReferences(const ExprNode& node, std::vector<const ExprNode*>& references) {
  if (IsReference(node.opcode)) references.push_back(&node);
  for (const ExprNode& child : node.children) CollectReferences(child, references);
}

}  // namespace veltor::rulelang
