#include "engine/database/database_format.h"

#include <algorithm>

#include "engine/text/little_endian.h"

namespace veltor {

DatabaseHeader DecodeDatabaseHeader(std::span<const uint8_t, BodyHeaderSize> bytes) noexcept {
  DatabaseHeader header;
  std::copy_n(bytes.begin() + HeaderMagicOffset, header.magic.size(), header.magic.begin());
  std::copy_n(bytes.begin() + HeaderReservedAreaOffset, header.reservedArea.size(),
              header.reservedArea.begin());
  for (const HeaderWordField& field : HeaderWordFields) {
    header.*field.member = LoadU32(bytes.data() + field.offset);
  }
  return header;
}

std::array<uint8_t, BodyHeaderSize> EncodeDatabaseHeader(const DatabaseHeader& header) noexcept {
  std::array<uint8_t, BodyHeaderSize> bytes{};
  std::copy(header.magic.begin(), header.magic.end(), bytes.begin() + HeaderMagicOffset);
  std::copy(header.reservedArea.begin(), header.reservedArea.end(),
            bytes.begin() + HeaderReservedAreaOffset);
  for (const HeaderWordField& field : HeaderWordFields) {
    StoreU32(bytes.data() + field.offset, header.*field.member);
  }
  return bytes;
}

}  // namespace veltor
