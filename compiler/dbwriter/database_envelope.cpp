#include "compiler/dbwriter/database_envelope.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "engine/database/database_format.h"
#include "engine/database/database_key.h"
#include "engine/database/rc4.h"

namespace veltor {
namespace {

// RC4 is its own inverse; the cipher takes signed 32-bit lengths, so longer
// ranges go through in pieces of one continuing keystream.
void CryptWithDatabaseKey(std::span<const uint8_t> input, uint8_t* output) {
  Rc4State cipher;
  Rc4Init(cipher, BuildDatabaseKey());
  constexpr std::size_t Piece = std::numeric_limits<int32_t>::max();
  for (std::size_t done = 0; done < input.size();) {
    const std::size_t length = std::min(Piece, input.size() - done);
    Rc4Crypt(cipher, input.data() + done, output + done, static_cast<int32_t>(length));
    done += length;
  }
}

}  // namespace

std::vector<uint8_t> SealDatabase(std::span<const uint8_t> body, std::span<const uint8_t> filler) {
  if (!filler.empty() && filler.size() != EnvelopeFillerSize) {
    throw std::invalid_argument("the envelope filler must be 240 bytes");
  }
  if (body.size() > std::numeric_limits<uint32_t>::max() - EnvelopeHeaderSize) {
    throw std::length_error("the database body is too large");
  }
  std::vector<uint8_t> file(EnvelopeHeaderSize + body.size(), 0);
  std::memcpy(file.data(), EnvelopeMagic.data(), EnvelopeMagic.size());
  if (!filler.empty()) std::memcpy(file.data() + EnvelopeMagic.size(), filler.data(), filler.size());
  CryptWithDatabaseKey(body, file.data() + EnvelopeHeaderSize);
  return file;
}

std::optional<std::vector<uint8_t>> UnsealDatabase(std::span<const uint8_t> file) {
  if (file.size() <= EnvelopeHeaderSize) return std::nullopt;
  if (!std::equal(EnvelopeMagic.begin(), EnvelopeMagic.end(), file.begin())) return std::nullopt;
  const std::span<const uint8_t> encrypted = file.subspan(EnvelopeHeaderSize);
  std::vector<uint8_t> body(encrypted.size());
  CryptWithDatabaseKey(encrypted, body.data());
  return body;
}

}  // namespace veltor
