#pragma once
// The half of ReadRegularFile that does not depend on the system: sizing
// the buffer once the opened file's size is known.
#include <cstdint>

#include "engine/platform/platform.h"

namespace veltor::platform {

// Sets `contents` up for a file of `size` bytes (a buffer for them, nothing
// read yet); false when the size is over `maxBytes` or this process's
// address space, or the memory is not there.
inline bool PrepareFileContents(uint64_t size, uint64_t maxBytes, FileContents& contents) noexcept {
  if (size > maxBytes || size > SIZE_MAX) return false;
  contents.size = size;
  if (size != 0) {
    contents.bytes = NewBuffer<uint8_t>(static_cast<size_t>(size));
    if (!contents.bytes) return false;
  }
  return true;
}

}  // namespace veltor::platform
