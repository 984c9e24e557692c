#include "database/database_file.h"

#include <algorithm>
#include <fstream>
#include <limits>
#include <memory>
#include <new>

#include "database/database_key.h"
#include "database/rc4.h"

namespace veltor {
namespace {

// File sizes are signed 32-bit counts: a file of 2 GiB or more is refused
// whole, never read as the low half of its size.
constexpr int64_t MaxFileSize = std::numeric_limits<int32_t>::max();

// The whole file, or null when it cannot be opened, sized, held or read in
// full (a file that shrank after it was sized leaves no unread bytes behind).
// The stream closes itself on every path.
std::unique_ptr<uint8_t[]> ReadWholeFile(const char* path, uint32_t& size) {
  std::ifstream file(path, std::ios::binary);
  if (!file.is_open()) return nullptr;
  file.seekg(0, std::ios::end);
  const int64_t end = static_cast<int64_t>(file.tellg());
  if (end < 0 || end > MaxFileSize) return nullptr;
  file.seekg(0, std::ios::beg);
  if (!file) return nullptr;

  const auto length = static_cast<uint32_t>(end);
  auto bytes = std::make_unique_for_overwrite<uint8_t[]>(length);
  file.read(reinterpret_cast<char*>(bytes.get()), static_cast<std::streamsize>(length));
  if (file.gcount() != static_cast<std::streamsize>(length)) return nullptr;
  size = length;
  return bytes;
}

SignatureLibraryPtr LoadDatabase(const char* path) {
  uint32_t size = 0;
  std::unique_ptr<uint8_t[]> file = ReadWholeFile(path, size);
  if (!file || size <= EnvelopeHeaderSize) return nullptr;
  if (!std::equal(EnvelopeMagic.begin(), EnvelopeMagic.end(), file.get())) return nullptr;

  const uint32_t bodyLength = size - EnvelopeHeaderSize;
  auto body = std::make_unique_for_overwrite<uint8_t[]>(bodyLength);
  Rc4State cipher;
  {
    // The plain key lives only for the key schedule.
    const std::array<uint8_t, DatabaseKeyLength> key = BuildDatabaseKey();
    Rc4Init(cipher, key);
  }
  // bodyLength < 2^31, so it fits the cipher's signed length.
  Rc4Crypt(cipher, file.get() + EnvelopeHeaderSize, body.get(), static_cast<int32_t>(bodyLength));
  file.reset();

  return ParseDatabaseBody(body.get(), bodyLength);
}

}  // namespace

SignatureLibraryPtr LoadDatabaseFile(const char* path) noexcept {
  if (path == nullptr) return nullptr;
  try {
    return LoadDatabase(path);
  } catch (const std::bad_alloc&) {
    // Buffers and the stream are owned by RAII objects and already released.
    return nullptr;
  }
}

}  // namespace veltor
