#include "engine/database/crc32.h"

#include <gtest/gtest.h>

#include <string_view>

namespace veltor {
namespace {

uint32_t CrcOf(std::string_view text) {
  return Crc32(reinterpret_cast<const uint8_t*>(text.data()), static_cast<uint32_t>(text.size()));
}

TEST(Crc32, KnownValues) {
  struct Case {
    std::string_view text;
    uint32_t crc;
  };
  const Case cases[] = {
      {"123456789", 0xCBF43926U},
      {"a", 0xE8B7BE43U},
      {"The quick brown fox jumps over the lazy dog", 0x414FA339U},
      {std::string_view("\0\0\0\0", 4), 0x2144DF1CU},
  };
  for (const Case& c : cases) EXPECT_EQ(CrcOf(c.text), c.crc) << c.text;
}

TEST(Crc32, EmptyOrNullRangeIsZero) {
  const uint8_t byte = 0x42;
  EXPECT_EQ(Crc32(&byte, 0), 0U);
  EXPECT_EQ(Crc32(nullptr, 0), 0U);
  EXPECT_EQ(Crc32(nullptr, 16), 0U);
}

}  // namespace
}  // namespace veltor
