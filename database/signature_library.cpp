#include "database/signature_library.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "database/crc32.h"
#include "database/little_endian.h"

namespace veltor {
namespace {

// Reads one table front to back. Every read is checked against the table's
// end first, so a record that claims more bytes than its table holds stops
// the parse instead of reading past the table (or the body).
struct TableReader {
  std::span<const uint8_t> rest;

  bool ReadU32(uint32_t& value) noexcept {
    if (rest.size() < 4) return false;
    value = LoadU32(rest.data());
    rest = rest.subspan(4);
    return true;
  }

  bool ReadBytes(uint32_t length, std::span<const uint8_t>& bytes) noexcept {
    if (rest.size() < length) return false;
    bytes = rest.first(length);
    rest = rest.subspan(length);
    return true;
  }
};

// A table lies within the first totalSize bytes. Written as a subtraction so
// that offset + length cannot wrap.
bool TableFits(uint32_t offset, uint32_t length, uint32_t totalSize) noexcept {
  return offset <= totalSize && length <= totalSize - offset;
}

bool TableCrcMatches(const uint8_t* body, uint32_t offset, uint32_t length, uint32_t storedCrc) noexcept {
  return Crc32(body + offset, length) == storedCrc;
}

// The bytes followed by `zeros` zero bytes, in 64-bit arithmetic so that a
// length near 0xFFFFFFFF cannot wrap to a tiny buffer. Throws std::bad_alloc.
template <typename Byte>
std::unique_ptr<Byte[]> CopyBytes(std::span<const uint8_t> bytes, std::size_t zeros) {
  auto buffer = std::make_unique<Byte[]>(std::size_t{bytes.size()} + zeros);
  std::memcpy(buffer.get(), bytes.data(), bytes.size());
  return buffer;
}

bool ReadSignature(TableReader& reader, SignatureRecord& record) {
  if (!reader.ReadU32(record.id) || !reader.ReadU32(record.flags) || !reader.ReadU32(record.reserved1) ||
      !reader.ReadU32(record.patternLength) || !reader.ReadU32(record.extraLength) ||
      !reader.ReadU32(record.reserved2)) {
    return false;
  }
  std::span<const uint8_t> bytes;
  if (record.patternLength != 0) {
    if (!reader.ReadBytes(record.patternLength, bytes)) return false;
    record.pattern = CopyBytes<uint8_t>(bytes, 2);
  }
  if (record.extraLength != 0) {
    if (!reader.ReadBytes(record.extraLength, bytes)) return false;
    record.extra = CopyBytes<uint8_t>(bytes, 2);
  }
  return true;
}

bool ReadRule(TableReader& reader, RuleRecord& record) {
  if (!reader.ReadU32(record.id) || !reader.ReadU32(record.flags) || !reader.ReadU32(record.nameLength)) {
    return false;
  }
  std::span<const uint8_t> bytes;
  if (record.nameLength != 0) {
    if (!reader.ReadBytes(record.nameLength, bytes)) return false;
    record.name = CopyBytes<char>(bytes, 2);
  }
  if (!reader.ReadU32(record.expressionLength)) return false;
  if (record.expressionLength != 0) {
    if (!reader.ReadBytes(record.expressionLength, bytes)) return false;
    record.expression = CopyBytes<uint8_t>(bytes, 0);
  }
  return true;
}

// Builds the library from a body whose header, extents and CRCs have been
// checked. Null when a record runs past its table; throws std::bad_alloc.
SignatureLibraryPtr BuildLibrary(const uint8_t* body, const DatabaseHeader& header) {
  SignatureLibraryPtr library(std::make_unique<SignatureLibrary>().release());
  library->header = header;

  if (header.signatureCount != 0) {
    library->signatures = std::make_unique<SignatureRecord[]>(header.signatureCount);
    TableReader reader{{body + header.signatureTableOffset, header.signatureTableLength}};
    for (uint32_t n = 0; n < header.signatureCount; ++n) {
      if (!ReadSignature(reader, library->signatures[n])) return nullptr;
    }
  }
  if (header.ruleCount != 0) {
    library->rules = std::make_unique<RuleRecord[]>(header.ruleCount);
    TableReader reader{{body + header.ruleTableOffset, header.ruleTableLength}};
    for (uint32_t n = 0; n < header.ruleCount; ++n) {
      if (!ReadRule(reader, library->rules[n])) return nullptr;
    }
  }

  // Identifiers are unsigned; records with equal ids keep no particular order.
  auto byId = [](const auto& a, const auto& b) { return a.id < b.id; };
  if (library->signatures) {
    std::sort(library->signatures.get(), library->signatures.get() + header.signatureCount, byId);
  }
  if (library->rules) {
    std::sort(library->rules.get(), library->rules.get() + header.ruleCount, byId);
  }
  return library;
}

}  // namespace

void FreeSignatureLibrary(SignatureLibrary* library) noexcept {
  // The library owns its arrays and each record owns its buffers, so
  // releasing the library releases everything, also when it was left
  // half-built.
  std::unique_ptr<SignatureLibrary> owned(library);
}

SignatureLibraryPtr ParseDatabaseBody(const uint8_t* body, uint32_t length) noexcept {
  if (body == nullptr || length < BodyHeaderSize) return nullptr;
  if (!std::equal(BodyMagic.begin(), BodyMagic.end(), body)) return nullptr;
  const DatabaseHeader header = DecodeDatabaseHeader(std::span<const uint8_t, BodyHeaderSize>(body, BodyHeaderSize));

  if (Crc32(body, HeaderCrcCoverage) != header.headerCrc) return nullptr;
  if (header.totalSize > length) return nullptr;
  if (!TableFits(header.signatureTableOffset, header.signatureTableLength, header.totalSize) ||
      !TableCrcMatches(body, header.signatureTableOffset, header.signatureTableLength, header.signatureTableCrc)) {
    return nullptr;
  }
  if (!TableFits(header.ruleTableOffset, header.ruleTableLength, header.totalSize) ||
      !TableCrcMatches(body, header.ruleTableOffset, header.ruleTableLength, header.ruleTableCrc)) {
    return nullptr;
  }

  // Every record needs at least its fixed part, so a table cannot hold more
  // records than this; a forged count is refused before any allocation is
  // sized by it.
  if (header.signatureCount > header.signatureTableLength / SignatureRecordFixedSize) return nullptr;
  if (header.ruleCount > header.ruleTableLength / RuleRecordFixedSize) return nullptr;

  try {
    return BuildLibrary(body, header);
  } catch (const std::bad_alloc&) {
    // Whatever was built is owned by smart pointers and already released.
    return nullptr;
  }
}

}  // namespace veltor
