#include "compiler/bytecode/bytecode_encoder.h"

#include <cstddef>

#include "engine/text/little_endian.h"

namespace veltor::bytecode {
namespace {

// Operand bytes after the opcode of a literal or reference; 0 otherwise.
uint32_t OperandSize(uint32_t opcode) {
  if (IsLiteral(opcode)) return LiteralNodeSize(opcode) - OpcodeSize;
  if (IsReference(opcode)) return ReferenceNodeSize - OpcodeSize;
  return 0;
}

void AppendU32(std::vector<uint8_t>& out, uint32_t value) {
  const size_t at = out.size();
  out.resize(at + 4);
  StoreU32(out.data() + at, value);
}

bool Append(const ExpressionNode& node, std::vector<uint8_t>& out) {
  const size_t start = out.size();
  if (node.rawBytes) {
    out.insert(out.end(), node.rawBytes->begin(), node.rawBytes->end());
  } else {
    AppendU32(out, node.opcode);
    if (IsLiteral(node.opcode) || IsReference(node.opcode)) {
      uint8_t operand[8];
      StoreU64(operand, node.operand);
      out.insert(out.end(), operand, operand + OperandSize(node.opcode));
    } else {
      if (!node.childCountOverride && node.children.size() > MaxChildCount) return false;
      out.push_back(node.childCountOverride ? *node.childCountOverride : static_cast<uint8_t>(node.children.size()));
      for (const ExpressionNode& child : node.children) {
        if (!Append(child, out)) return false;
      }
    }
  }
  if (node.keptBytes && *node.keptBytes < out.size() - start) out.resize(start + *node.keptBytes);
  return true;
}

}  // namespace

bool EncodeTo(const ExpressionNode& node, std::vector<uint8_t>& out) {
  const size_t start = out.size();
  if (Append(node, out)) return true;
  out.resize(start);
  return false;
}

std::optional<std::vector<uint8_t>> Encode(const ExpressionNode& node) {
  std::vector<uint8_t> out;
  if (!EncodeTo(node, out)) return std::nullopt;
  return out;
}

std::optional<std::vector<uint8_t>> EncodeNestedChain(uint32_t opcode, uint32_t levels, const ExpressionNode& leaf) {
  std::vector<uint8_t> out;
  out.reserve(size_t{levels} * AggregateHeaderSize + 16);
  for (uint32_t level = 0; level < levels; ++level) {
    AppendU32(out, opcode);
    out.push_back(1);
  }
  if (!EncodeTo(leaf, out)) return std::nullopt;
  return out;
}

}  // namespace veltor::bytecode
