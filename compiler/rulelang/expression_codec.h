#pragma once
// Rule expressions between bytecode and trees of bytecode nodes
// (bytecode::ExpressionNode), the form between source text and bytecode in
// both directions. One node is one bytecode node, so the tree says exactly
// which bytes it encodes to. The compiler never sets a node's malformation
// fields; malformed expressions stay raw bytes.
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "compiler/bytecode/expression_tree.h"

namespace veltor::rulelang {

// How deep a tree may nest: the decoder gives up beyond it (the expression is
// then shown as raw bytes) and the parser refuses deeper source, so that the
// parser's recursion (about ten calls a level) stays well inside a 1 MiB
// stack. Real rules nest a few levels; the evaluator itself reads deeper.
inline constexpr uint32_t MaxExpressionDepth = 200;

// Appends the bytecode of a tree, through the bytecode builder. The compiler
// splits chains longer than 255 before it gets here.
void EncodeExpression(const bytecode::ExpressionNode& node, std::vector<uint8_t>& out);
std::vector<uint8_t> EncodeExpression(const bytecode::ExpressionNode& node);

// The tree of an expression when the bytes are exactly one complete node
// (no cut node, nothing after the root, no deeper than MaxExpressionDepth);
// otherwise nothing, and the expression can only be shown as raw bytes.
// EncodeExpression of the result gives back the same bytes.
std::optional<bytecode::ExpressionNode> DecodeExpression(std::span<const uint8_t> bytes);

// Every reference in a tree, in prefix order.
void CollectReferences(const bytecode::ExpressionNode& node, std::vector<const bytecode::ExpressionNode*>& references);

}  // namespace veltor::rulelang
