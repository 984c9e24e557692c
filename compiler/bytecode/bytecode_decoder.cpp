#include "compiler/bytecode/bytecode_decoder.h"

#include <cstddef>

#include "engine/rules/bytecode.h"
#include "engine/text/little_endian.h"

namespace veltor::bytecode {
namespace {

// Reads one node at `position`, advancing it past the node. The recursion
// is bounded by MaxEvaluationDepth.
std::optional<ExpressionNode> ReadNode(std::span<const uint8_t> bytes, size_t& position, uint32_t depth) {
  if (depth > MaxEvaluationDepth) return std::nullopt;
  const size_t available = bytes.size() - position;
  if (available < OpcodeSize) return std::nullopt;
  const uint8_t* node = bytes.data() + position;
  ExpressionNode result;
  result.opcode = LoadU32(node);
  if (IsLiteral(result.opcode) || IsReference(result.opcode)) {
    const uint32_t size = IsLiteral(result.opcode) ? LiteralNodeSize(result.opcode) : ReferenceNodeSize;
    if (available < size) return std::nullopt;
    uint8_t operand[8] = {};
    for (uint32_t i = OpcodeSize; i < size; ++i) operand[i - OpcodeSize] = node[i];
    result.operand = LoadU64(operand);
    position += size;
    return result;
  }
  if (available < AggregateHeaderSize) return std::nullopt;
  const uint32_t count = node[OpcodeSize];
  position += AggregateHeaderSize;
  result.children.reserve(count);
  for (uint32_t k = 0; k < count; ++k) {
    std::optional<ExpressionNode> child = ReadNode(bytes, position, depth + 1);
    if (!child) return std::nullopt;
    result.children.push_back(std::move(*child));
  }
  return result;
}

}  // namespace

std::optional<ExpressionNode> Decode(std::span<const uint8_t> bytes) {
  size_t position = 0;
  std::optional<ExpressionNode> root = ReadNode(bytes, position, 1);
  if (!root || position != bytes.size()) return std::nullopt;
  return root;
}

}  // namespace veltor::bytecode
