#pragma once
// Rule expression bytecode: prefix order, little-endian, unaligned.
//
// A node starts with a 4-byte opcode.
//   literal:    opcode, operand (4, 1, 4 or 8 bytes)
//   reference:  opcode, u32 id
//   aggregate:  opcode, u8 child count, then that many complete nodes
// Every opcode not listed here is read like an aggregate and yields 0.
#include <cstdint>

namespace veltor {

enum Opcode : uint32_t {
  OpInt32 = 0,     // i32 operand
  OpBool = 1,      // u8 operand
  OpFloat32 = 2,   // f32 operand
  OpFloat64 = 3,   // f64 operand
  OpSum = 32,
  OpDifference = 33,
  OpProduct = 34,
  OpQuotient = 35,
  OpPower = 36,
  OpRoot = 37,
  OpAnd = 38,
  OpOr = 39,
  OpNot = 40,
  OpXor = 41,
  OpMax = 42,
  OpMin = 43,
  OpGreater = 44,
  OpGreaterEqual = 45,
  OpEqual = 46,
  OpLessEqual = 47,
  OpLess = 48,
  OpSignatureRef = 0xFFFFFFFEu,  // u32 signature id
  OpRuleRef = 0xFFFFFFFFu,       // u32 rule id
};

inline constexpr uint32_t OpcodeSize = 4;
inline constexpr uint32_t AggregateHeaderSize = 5;  // opcode + child count
inline constexpr uint32_t ReferenceNodeSize = 8;
inline constexpr uint32_t MaxChildCount = 255;

// The deepest nesting, node levels and rule references counted together,
// that the project's tools decode and show (the decoder recurses). The
// engine's evaluator reads any depth.
inline constexpr uint32_t MaxEvaluationDepth = 1000;

inline constexpr bool IsLiteral(uint32_t opcode) noexcept { return opcode <= OpFloat64; }
inline constexpr bool IsReference(uint32_t opcode) noexcept {
  return opcode == OpSignatureRef || opcode == OpRuleRef;
}

// Size of a literal node; 0 for other opcodes.
inline constexpr uint32_t LiteralNodeSize(uint32_t opcode) noexcept {
  switch (opcode) {
    case OpInt32: return 8;
    case OpBool: return 5;
    case OpFloat32: return 8;
    case OpFloat64: return 12;
    default: return 0;
  }
}

}  // namespace veltor
