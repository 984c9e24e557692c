#pragma once
#include <cstdint>

namespace veltor {

// The standard reflected CRC-32 (polynomial 0xEDB88320, initial value all
// ones, final complement). 0 for a null pointer or an empty range.
uint32_t Crc32(const uint8_t* bytes, uint32_t length) noexcept;

}  // namespace veltor
