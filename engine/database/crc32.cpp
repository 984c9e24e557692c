#include "engine/database/crc32.h"

#include <array>

namespace veltor {
namespace {

constexpr std::array<uint32_t, 256> MakeCrcTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t value = n;
    for (int bit = 0; bit < 8; ++bit) {
      value = (value & 1U) != 0 ? (value >> 1) ^ 0xEDB88320U : value >> 1;
    }
    table[n] = value;
  }
  return table;
}

constexpr std::array<uint32_t, 256> CrcTable = MakeCrcTable();

}  // namespace

uint32_t Crc32(const uint8_t* bytes, uint32_t length) noexcept {
  if (bytes == nullptr || length == 0) return 0;
  uint32_t crc = 0xFFFFFFFFU;
  for (uint32_t n = 0; n < length; ++n) {
    crc = CrcTable[(crc ^ bytes[n]) & 0xFFU] ^ (crc >> 8);
  }
  return ~crc;
}

}  // namespace veltor
