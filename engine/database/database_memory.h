#pragma once
// Loading a database held in memory (an upload, an embedded image, a file a
// host has already read): the same checks as a database file.
#include <cstdint>
#include <memory>
#include <span>

#include "engine/database/signature_library.h"
#include "engine/platform/allocation.h"

namespace veltor {

// Checks the envelope magic, decrypts the body and parses it, or shares the
// library already loaded from identical bytes (ShareDatabaseBody). The image
// is only read and not retained. Null on any failure (short, foreign or
// corrupt image, an image larger than MaxDatabaseSize, out of memory).
SignatureLibraryPtr LoadDatabaseImage(std::span<const uint8_t> image) noexcept;

// The first half of LoadDatabaseImage, for a loader that frees the image
// before it parses: the decrypted body, image.size() - EnvelopeHeaderSize
// bytes, or null on a short, foreign or too large image or out of memory.
HeapArray<uint8_t> DecryptDatabaseImage(std::span<const uint8_t> image) noexcept;

}  // namespace veltor
