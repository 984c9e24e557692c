#pragma once
// Sealing a body into a database file and opening one again: EnvelopeMagic,
// 240 free bytes, then the body RC4-encrypted with the database key.
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "engine/database/database_format.h"

namespace veltor {

// The envelope header's free bytes, after the magic.
inline constexpr uint32_t EnvelopeFillerSize = EnvelopeHeaderSize - static_cast<uint32_t>(EnvelopeMagic.size());

// The database file for `body`. `filler` fills bytes 16 to 255 of the file
// and must be empty (zeros are written) or exactly EnvelopeFillerSize bytes
// (std::invalid_argument otherwise). The body is written as given, checked
// or not, so that tests can seal broken bodies. std::length_error when the
// file would reach 4 GiB.
std::vector<uint8_t> SealDatabase(std::span<const uint8_t> body, std::span<const uint8_t> filler = {});

// The decrypted body of a database file, or nothing when the file is not
// larger than the envelope header or does not start with EnvelopeMagic. The
// body itself is not checked (ParseDatabaseBody does that).
std::optional<std::vector<uint8_t>> UnsealDatabase(std::span<const uint8_t> file);

}  // namespace veltor
