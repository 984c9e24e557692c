#pragma once
// Expression trees to bytecode: the emitter of the rule compiler and of
// tests.
#include <cstdint>
#include <optional>
#include <vector>

#include "compiler/bytecode/expression_tree.h"

namespace veltor::bytecode {

// Appends the node's bytecode to `out`. False, with `out` as it was, when a
// node has more than 255 children and no child-count override.
bool EncodeTo(const ExpressionNode& node, std::vector<uint8_t>& out);

// The node's bytecode; nullopt when it cannot be encoded (see EncodeTo).
std::optional<std::vector<uint8_t>> Encode(const ExpressionNode& node);

// `levels` nested one-child nodes of `opcode` around `leaf`, written
// directly: chains far deeper than a tree should hold (a tree's own
// destruction recurses).
std::optional<std::vector<uint8_t>> EncodeNestedChain(uint32_t opcode, uint32_t levels, const ExpressionNode& leaf);

}  // namespace veltor::bytecode
