#pragma once
// Case folding for matching: ASCII a-z map to A-Z, every other byte
// (0x80-0xFF included) to itself.
#include <array>
#include <cstddef>
#include <cstdint>

namespace veltor {

inline constexpr std::array<uint8_t, 256> FoldTable = [] {
  std::array<uint8_t, 256> table{};
  for (int b = 0; b < 256; ++b) {
    table[static_cast<size_t>(b)] = static_cast<uint8_t>(b >= 'a' && b <= 'z' ? b - ('a' - 'A') : b);
  }
  return table;
}();

// The same mapping by arithmetic, which a compiler can apply to many bytes
// at once.
constexpr uint8_t FoldByte(uint8_t b) noexcept {
  return static_cast<uint8_t>(static_cast<uint8_t>(b - 'a') < 26 ? b - ('a' - 'A') : b);
}

inline constexpr bool FoldByteMatchesTable = [] {
  for (int b = 0; b < 256; ++b) {
    if (FoldByte(static_cast<uint8_t>(b)) != FoldTable[static_cast<size_t>(b)]) return false;
  }
  return true;
}();
static_assert(FoldByteMatchesTable);

}  // namespace veltor
