#pragma once
// The source forms of literal nodes. Each literal type has its own spelling,
// so that a printed literal compiles back to the same opcode and the same
// operand bits:
//   int32    42, -7
//   bool     true, false, bool(2)
//   float32  1.5f, float32(inf), float32(nan), float32bits(0x7FC00001)
//   float64  1.5, 1.0, -0.0, inf, -inf, nan, float64bits(0x7FF0000000000001)
// Finite floats print in their shortest form that reads back exactly.
#include <cstdint>
#include <string>

#include "compiler/bytecode/expression_tree.h"

namespace veltor::rulelang {

uint64_t Float64Bits(double value) noexcept;
double Float64FromBits(uint64_t bits) noexcept;
uint32_t Float32Bits(float value) noexcept;
float Float32FromBits(uint32_t bits) noexcept;

inline constexpr uint64_t Float64QuietNan = 0x7FF8000000000000ull;
inline constexpr uint32_t Float32QuietNan = 0x7FC00000u;
inline constexpr uint64_t Float64SignBit = 0x8000000000000000ull;
inline constexpr uint32_t Float32SignBit = 0x80000000u;

// float32(x) of a double: rounds to nearest; a NaN becomes the quiet NaN of
// the same sign, whatever its payload, so the result is the same everywhere.
uint32_t Float64BitsToFloat32Bits(uint64_t bits) noexcept;

// The source form of a literal node (OpInt32 .. OpFloat64).
std::string FormatLiteral(const bytecode::ExpressionNode& node);

// True when FormatLiteral starts with a minus sign: such a literal binds like
// a unary minus and needs parentheses where a power operand stands.
bool LiteralStartsWithMinus(const bytecode::ExpressionNode& node) noexcept;

}  // namespace veltor::rulelang
