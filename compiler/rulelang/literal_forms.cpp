#include "compiler/rulelang/literal_forms.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>

#include "engine/rules/bytecode.h"

namespace veltor::rulelang {
namespace {

std::string Hex(uint64_t value, int digits) {
  char buffer[24];
  std::snprintf(buffer, sizeof buffer, "0x%0*llX", digits, static_cast<unsigned long long>(value));
  return buffer;
}

// A float spelling must read as a float, not as an integer: "1" becomes "1.0".
std::string EnsureFloatSpelling(std::string text) {
  if (text.find_first_of(".e") == std::string::npos) text += ".0";
  return text;
}

std::string FormatFloat64(uint64_t bits) {
  const double value = Float64FromBits(bits);
  if (std::isnan(value)) {
    if (bits == Float64QuietNan) return "nan";
    if (bits == (Float64QuietNan | Float64SignBit)) return "-nan";
    return "float64bits(" + Hex(bits, 16) + ")";
  }
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return EnsureFloatSpelling(std::string(buffer, result.ptr));
}

std::string FormatFloat32(uint32_t bits) {
  const float value = Float32FromBits(bits);
  if (std::isnan(value)) {
    if (bits == Float32QuietNan) return "float32(nan)";
    if (bits == (Float32QuietNan | Float32SignBit)) return "float32(-nan)";
    return "float32bits(" + Hex(bits, 8) + ")";
  }
  if (std::isinf(value)) return value < 0 ? "float32(-inf)" : "float32(inf)";
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr) + "f";
}

}  // namespace

uint64_t Float64Bits(double value) noexcept { return std::bit_cast<uint64_t>(value); }
double Float64FromBits(uint64_t bits) noexcept { return std::bit_cast<double>(bits); }
uint32_t Float32Bits(float value) noexcept { return std::bit_cast<uint32_t>(value); }
float Float32FromBits(uint32_t bits) noexcept { return std::bit_cast<float>(bits); }

uint32_t Float64BitsToFloat32Bits(uint64_t bits) noexcept {
  const double value = Float64FromBits(bits);
  if (std::isnan(value)) return Float32QuietNan | ((bits & Float64SignBit) != 0 ? Float32SignBit : 0u);
  return Float32Bits(static_cast<float>(value));
}

std::string FormatLiteral(const bytecode::ExpressionNode& node) {
  switch (node.opcode) {
    case OpInt32: return std::to_string(static_cast<int32_t>(static_cast<uint32_t>(node.operand)));
    case OpBool:
      if (node.operand == 0) return "false";
      if (node.operand == 1) return "true";
      return "bool(" + std::to_string(node.operand) + ")";
    case OpFloat32: return FormatFloat32(static_cast<uint32_t>(node.operand));
    default: return FormatFloat64(node.operand);
  }
}

bool LiteralStartsWithMinus(const bytecode::ExpressionNode& node) noexcept {
  switch (node.opcode) {
    case OpInt32: return static_cast<int32_t>(static_cast<uint32_t>(node.operand)) < 0;
    case OpFloat32: {
      const float value = Float32FromBits(static_cast<uint32_t>(node.operand));
      return !std::isnan(value) && !std::isinf(value) && std::signbit(value);
    }
    case OpFloat64: {
      const double value = Float64FromBits(node.operand);
      return std::signbit(value) && (!std::isnan(value) || node.operand == (Float64QuietNan | Float64SignBit));
    }
    default: return false;
  }
}

}  // namespace veltor::rulelang
