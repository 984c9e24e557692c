#pragma once
// Unaligned little-endian access to database and bytecode bytes. Both file
// formats are little-endian whatever the host's byte order.
#include <cstdint>

namespace veltor {

inline uint32_t LoadU32(const uint8_t* bytes) noexcept {
  return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
         static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

inline uint64_t LoadU64(const uint8_t* bytes) noexcept {
  return static_cast<uint64_t>(LoadU32(bytes)) | static_cast<uint64_t>(LoadU32(bytes + 4)) << 32;
}

inline void StoreU32(uint8_t* bytes, uint32_t value) noexcept {
  bytes[0] = static_cast<uint8_t>(value);
  bytes[1] = static_cast<uint8_t>(value >> 8);
  bytes[2] = static_cast<uint8_t>(value >> 16);
  bytes[3] = static_cast<uint8_t>(value >> 24);
}

inline void StoreU64(uint8_t* bytes, uint64_t value) noexcept {
  StoreU32(bytes, static_cast<uint32_t>(value));
  StoreU32(bytes + 4, static_cast<uint32_t>(value >> 32));
}

}  // namespace veltor
