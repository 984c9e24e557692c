#pragma once
// The one key every database is encrypted with. It is stored masked and
// rebuilt at every load; everything that writes database files takes the
// key from here.
#include <array>
#include <cstdint>

namespace veltor {

inline constexpr uint32_t DatabaseKeyLength = 276;

extern const std::array<uint8_t, DatabaseKeyLength> DatabaseKeyTable;  // key bytes XOR DatabaseKeyMask
extern const uint8_t DatabaseKeyMask;

// The plain key: DatabaseKeyTable with every byte XORed with DatabaseKeyMask.
std::array<uint8_t, DatabaseKeyLength> BuildDatabaseKey() noexcept;

}  // namespace veltor
