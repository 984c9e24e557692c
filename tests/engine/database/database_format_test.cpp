#include "engine/database/database_format.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <vector>

namespace veltor {
namespace {

TEST(DatabaseHeaderLayout, DecodeThenEncodeGivesTheSameBytes) {
  std::array<uint8_t, BodyHeaderSize> bytes{};
  std::iota(bytes.begin(), bytes.end(), uint8_t{1});
  EXPECT_EQ(EncodeDatabaseHeader(DecodeDatabaseHeader(bytes)), bytes);
}

TEST(DatabaseHeaderLayout, FieldsSitAtTheirOffsets) {
  // Each word field holds 0x0A0B0C00 plus its offset, little-endian.
  const auto word = [](uint32_t offset) { return 0x0A0B0C00u + offset; };
  DatabaseHeader header;
  header.magic = BodyMagic;
  header.reserved1 = word(4);
  header.reserved2 = word(8);
  header.buildTimeLow = word(12);
  header.buildTimeHigh = word(16);
  header.totalSize = word(20);
  header.signatureTableOffset = word(24);
  header.signatureTableLength = word(28);
  header.signatureCount = word(32);
  header.ruleTableOffset = word(36);
  header.ruleTableLength = word(40);
  header.ruleCount = word(44);
  header.reservedArea.fill(0xEE);
  header.headerCrc = word(116);
  header.signatureTableCrc = word(120);
  header.ruleTableCrc = word(124);
  const auto bytes = EncodeDatabaseHeader(header);
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 4), (std::vector<uint8_t>{'Q', 'D', 'L', 'B'}));
  for (const uint32_t offset : {4, 8, 12, 16, 20, 24, 28, 32, 36, 40, 44, 116, 120, 124}) {
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + offset, bytes.begin() + offset + 4),
              (std::vector<uint8_t>{static_cast<uint8_t>(offset), 0x0C, 0x0B, 0x0A}))
        << "offset " << offset;
  }
  EXPECT_TRUE(std::all_of(bytes.begin() + 48, bytes.begin() + 116, [](uint8_t b) { return b == 0xEE; }));
}

}  // namespace
}  // namespace veltor
