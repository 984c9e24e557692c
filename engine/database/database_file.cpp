#include "engine/database/database_file.h"

#include <memory>
#include <utility>

#include "engine/database/database_format.h"
#include "engine/database/database_memory.h"
#include "engine/platform/platform.h"

namespace veltor {

SignatureLibraryPtr LoadDatabaseFile(const char* path) noexcept {
  if (path == nullptr) return nullptr;
  // Nothing here throws: out of memory is an ordinary null, so a host
  // without the C++ runtime's per-thread state never needs it.
  platform::FileContents file;
  if (!platform::ReadRegularFile(path, MaxDatabaseSize, file)) return nullptr;
  // A file that shrank after it was sized is refused, not read in part.
  if (file.read != file.size || !file.bytes) return nullptr;
  HeapArray<uint8_t> body = DecryptDatabaseImage({file.bytes.get(), file.read});
  if (!body) return nullptr;
  const auto bodyLength = static_cast<uint32_t>(file.read - EnvelopeHeaderSize);
  // The file's bytes are freed before the body is parsed (or found loaded).
  file = platform::FileContents{};
  return ShareDatabaseBody(std::move(body), bodyLength);
}

}  // namespace veltor
