#pragma once
// Bytecode to expression trees: what the decompiler shows. Only well-formed
// bytecode decodes: exactly one complete node filling the bytes, every child
// count matched by complete children inside them, and no node deeper than
// the evaluator reads (MaxEvaluationDepth levels). Anything else (a cut node,
// trailing bytes, a child count running past the end, an empty expression)
// is not a well-formed tree and yields nullopt.
#include <cstdint>
#include <optional>
#include <span>

#include "compiler/bytecode/expression_tree.h"

namespace veltor::bytecode {

std::optional<ExpressionNode> Decode(std::span<const uint8_t> bytes);

}  // namespace veltor::bytecode
