#include "database/database_memory.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <new>

#include "database/database_format.h"
#include "database/database_key.h"
#include "database/rc4.h"

namespace veltor {

SignatureLibraryPtr LoadDatabaseImage(std::span<const uint8_t> image) noexcept {
  // Image sizes are signed 32-bit counts, as for database files.
  if (image.size() <= EnvelopeHeaderSize || image.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
    return nullptr;
  }
  if (!std::equal(EnvelopeMagic.begin(), EnvelopeMagic.end(), image.begin())) return nullptr;

  const auto bodyLength = static_cast<uint32_t>(image.size() - EnvelopeHeaderSize);
  std::unique_ptr<uint8_t[]> body(new (std::nothrow) uint8_t[bodyLength]);
  if (!body) return nullptr;
  Rc4State cipher;
  {
    // The plain key lives only for the key schedule.
    const std::array<uint8_t, DatabaseKeyLength> key = BuildDatabaseKey();
    Rc4Init(cipher, key);
  }
  Rc4Crypt(cipher, image.data() + EnvelopeHeaderSize, body.get(), static_cast<int32_t>(bodyLength));
  return ParseDatabaseBody(body.get(), bodyLength);
}

}  // namespace veltor
