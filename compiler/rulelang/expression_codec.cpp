#include "compiler/rulelang/expression_codec.h"

#include <algorithm>
#include <stdexcept>

#include "engine/rules/bytecode.h"
#include "compiler/bytecode/bytecode_decoder.h"
#include "compiler/bytecode/bytecode_encoder.h"

namespace veltor::rulelang {
namespace {

uint32_t Depth(const bytecode::ExpressionNode& node, uint32_t limit) {
  uint32_t deepest = 0;
  for (const bytecode::ExpressionNode& child : node.children) {
    deepest = std::max(deepest, Depth(child, limit));
    if (deepest >= limit) break;
  }
  return deepest + 1;
}

}  // namespace

void EncodeExpression(const bytecode::ExpressionNode& node, std::vector<uint8_t>& out) {
  // Only a node of more than 255 children fails, and the parser splits those.
  if (!bytecode::EncodeTo(node, out)) throw std::logic_error("expression node with more than 255 children");
}

std::vector<uint8_t> EncodeExpression(const bytecode::ExpressionNode& node) {
  std::vector<uint8_t> out;
  EncodeExpression(node, out);
  return out;
}

std::optional<bytecode::ExpressionNode> DecodeExpression(std::span<const uint8_t> bytes) {
  std::optional<bytecode::ExpressionNode> tree = bytecode::Decode(bytes);
  if (tree && Depth(*tree, MaxExpressionDepth + 1) > MaxExpressionDepth) return std::nullopt;
  return tree;
}

void CollectReferences(const bytecode::ExpressionNode& node, std::vector<const bytecode::ExpressionNode*>& references) {
  if (IsReference(node.opcode)) references.push_back(&node);
  for (const bytecode::ExpressionNode& child : node.children) CollectReferences(child, references);
}

}  // namespace veltor::rulelang
