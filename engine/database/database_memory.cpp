#include "engine/database/database_memory.h"

#include <algorithm>
#include <utility>

#include "engine/database/database_format.h"
#include "engine/database/database_key.h"
#include "engine/database/rc4.h"
#include "engine/platform/allocation.h"

namespace veltor {

HeapArray<uint8_t> DecryptDatabaseImage(std::span<const uint8_t> image) noexcept {
  if (image.size() <= EnvelopeHeaderSize || image.size() > MaxDatabaseSize) return nullptr;
  if (!std::equal(EnvelopeMagic.begin(), EnvelopeMagic.end(), image.begin())) return nullptr;

  const auto bodyLength = static_cast<uint32_t>(image.size() - EnvelopeHeaderSize);
  HeapArray<uint8_t> body = NewBuffer<uint8_t>(bodyLength);
  if (!body) return nullptr;
  Rc4State cipher;
  {
    // The plain key lives only for the key schedule.
    const std::array<uint8_t, DatabaseKeyLength> key = BuildDatabaseKey();
    Rc4Init(cipher, key);
  }
  // bodyLength < 2^31, so it fits the cipher's signed length.
  Rc4Crypt(cipher, image.data() + EnvelopeHeaderSize, body.get(), static_cast<int32_t>(bodyLength));
  return body;
}

SignatureLibraryPtr LoadDatabaseImage(std::span<const uint8_t> image) noexcept {
  HeapArray<uint8_t> body = DecryptDatabaseImage(image);
  if (!body) return nullptr;
  return ShareDatabaseBody(std::move(body), static_cast<uint32_t>(image.size() - EnvelopeHeaderSize));
}

}  // namespace veltor
