#pragma once
// Loading a database held in memory (an upload, an embedded image, a file a
// host has already read): the same checks as a database file.
#include <cstdint>
#include <span>

#include "database/signature_library.h"

namespace veltor {

// Checks the envelope magic, decrypts the body and parses it. The bytes are
// only read and not retained. Null on any failure (short, foreign or corrupt
// image, an image of 2 GiB or more, out of memory).
SignatureLibraryPtr LoadDatabaseImage(std::span<const uint8_t> image) noexcept;

}  // namespace veltor
