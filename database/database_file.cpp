#include "database/database_file.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <new>

#include "database/database_key.h"
#include "database/rc4.h"
#include "platform/platform.h"

namespace veltor {
namespace {

// File sizes are signed 32-bit counts: a file of 2 GiB or more is refused
// whole, never read as the low half of its size.
constexpr uint64_t MaxFileSize = std::numeric_limits<int32_t>::max();

}  // namespace

SignatureLibraryPtr LoadDatabaseFile(const char* path) noexcept {
  if (path == nullptr) return nullptr;
  // Nothing here throws: out of memory is an ordinary null, so a host
  // without the C++ runtime's per-thread state never needs it.
  platform::FileContents file;
  if (!platform::ReadRegularFile(path, MaxFileSize, file)) return nullptr;
  // A file that shrank after it was sized is refused, not read in part.
  if (file.read != file.size || file.size <= EnvelopeHeaderSize) return nullptr;
  if (!std::equal(EnvelopeMagic.begin(), EnvelopeMagic.end(), file.bytes.get())) return nullptr;

  const auto bodyLength = static_cast<uint32_t>(file.size - EnvelopeHeaderSize);
  std::unique_ptr<uint8_t[]> body(new (std::nothrow) uint8_t[bodyLength]);
  if (!body) return nullptr;
  Rc4State cipher;
  {
    // The plain key lives only for the key schedule.
    const std::array<uint8_t, DatabaseKeyLength> key = BuildDatabaseKey();
    Rc4Init(cipher, key);
  }
  // bodyLength < 2^31, so it fits the cipher's signed length.
  Rc4Crypt(cipher, file.bytes.get() + EnvelopeHeaderSize, body.get(), static_cast<int32_t>(bodyLength));
  file = platform::FileContents{};

  return ParseDatabaseBody(body.get(), bodyLength);
}

}  // namespace veltor
