#include "database/database_format.h"

#include <gtest/gtest.h>

#include <numeric>

namespace veltor {
namespace {

TEST(DatabaseHeaderLayout, DecodeThenEncodeGivesTheSameBytes) {
  std::array<uint8_t, BodyHeaderSize> bytes{};
  std::iota(bytes.begin(), bytes.end(), uint8_t{1});
  EXPECT_EQ(EncodeDatabaseHeader(DecodeDatabaseHeader(bytes)), bytes);
}

TEST(DatabaseHeaderLayout, FieldsSitAtTheirOffsets) {
  DatabaseHeader header;
  header.magic = BodyMagic;
  header.buildTimeLow = 0x11223344;
  header.totalSize = 0xAABBCCDD;
  header.ruleCount = 7;
  header.ruleTableCrc = 0x01020304;
  const auto bytes = EncodeDatabaseHeader(header);
  EXPECT_EQ(bytes[0], 'Q');
  EXPECT_EQ(bytes[3], 'B');
  EXPECT_EQ(bytes[12], 0x44);
  EXPECT_EQ(bytes[15], 0x11);
  EXPECT_EQ(bytes[20], 0xDD);
  EXPECT_EQ(bytes[44], 7);
  EXPECT_EQ(bytes[124], 0x04);
  EXPECT_EQ(bytes[127], 0x01);
}

}  // namespace
}  // namespace veltor
