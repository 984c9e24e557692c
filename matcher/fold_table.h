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

}  // namespace veltor
