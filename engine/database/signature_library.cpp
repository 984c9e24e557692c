#include "engine/database/signature_library.h"

#include <algorithm>
#include <cstring>

#include "engine/database/crc32.h"
#include "engine/database/table_reader.h"

namespace veltor {
namespace {

// A table lies within the first totalSize bytes. Written as a subtraction so
// that offset + length cannot wrap.
bool TableFits(uint32_t offset, uint32_t length, uint32_t totalSize) noexcept {
  return offset <= totalSize && length <= totalSize - offset;
}

bool TableCrcMatches(const uint8_t* body, uint32_t offset, uint32_t length, uint32_t storedCrc) noexcept {
  return Crc32(body + offset, length) == storedCrc;
}

// The bytes followed by `zeros` zero bytes, in 64-bit arithmetic so that a
// length near 0xFFFFFFFF cannot wrap to a tiny buffer. False when memory runs
// out: loading never throws.
template <typename Byte>
bool CopyBytes(std::span<const uint8_t> bytes, std::size_t zeros, HeapArray<Byte>& copy) noexcept {
  copy = NewBuffer<Byte>(std::size_t{bytes.size()} + zeros);
  if (!copy) return false;
  std::memcpy(copy.get(), bytes.data(), bytes.size());
  std::memset(copy.get() + bytes.size(), 0, zeros);
  return true;
}

// Copies a record read from its table into the library's own buffers.
// False when memory runs out.
bool CopySignature(const SignatureRecordView& view, SignatureRecord& record) noexcept {
  record.id = view.id;
  record.flags = view.flags;
  record.reserved1 = view.reserved1;
  record.reserved2 = view.reserved2;
  record.patternLength = static_cast<uint32_t>(view.pattern.size());
  record.extraLength = static_cast<uint32_t>(view.extra.size());
  if (!view.pattern.empty() && !CopyBytes(view.pattern, 2, record.pattern)) return false;
  return view.extra.empty() || CopyBytes(view.extra, 2, record.extra);
}

bool CopyRule(const RuleRecordView& view, RuleRecord& record) noexcept {
  record.id = view.id;
  record.flags = view.flags;
  record.nameLength = static_cast<uint32_t>(view.name.size());
  record.expressionLength = static_cast<uint32_t>(view.expression.size());
  if (!view.name.empty() && !CopyBytes(view.name, 2, record.name)) return false;
  return view.expression.empty() || CopyBytes(view.expression, 0, record.expression);
}

// Builds the library from a body whose header, extents and CRCs have been
// checked. Null when a record runs past its table or memory runs out.
SignatureLibraryPtr BuildLibrary(std::span<const uint8_t> body, const DatabaseHeader& header) noexcept {
  SignatureLibraryPtr library(NewObject<SignatureLibrary>().release());
  if (!library) return nullptr;
  library->header = header;

  if (header.signatureCount != 0) {
    library->signatures = NewArray<SignatureRecord>(header.signatureCount);
    if (!library->signatures) return nullptr;
    TableReader reader = SignatureTableReader(body, header);
    for (uint32_t n = 0; n < header.signatureCount; ++n) {
      SignatureRecordView view;
      if (!reader.ReadSignature(view) || !CopySignature(view, library->signatures[n])) return nullptr;
    }
  }
  if (header.ruleCount != 0) {
    library->rules = NewArray<RuleRecord>(header.ruleCount);
    if (!library->rules) return nullptr;
    TableReader reader = RuleTableReader(body, header);
    for (uint32_t n = 0; n < header.ruleCount; ++n) {
      RuleRecordView view;
      if (!reader.ReadRule(view) || !CopyRule(view, library->rules[n])) return nullptr;
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
  if (library == nullptr || library->references.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  if (library->filedBody) ForgetSharedLibrary(library);
  // The library owns its arrays and each record owns its buffers, so
  // releasing the library releases everything, also when it was left
  // half-built.
  DeleteObject(library);
}

size_t SignatureLibraryMemory(const SignatureLibrary* library) noexcept {
  if (library == nullptr) return 0;
  // Buffers that end in two zeros hold their length plus two; see the records.
  auto terminated = [](uint32_t length) -> size_t { return length == 0 ? 0 : size_t{length} + 2; };
  size_t bytes = sizeof(SignatureLibrary) + (library->filedBody ? size_t{library->filedLength} : 0);
  for (const SignatureRecord& record : Signatures(*library)) {
    bytes += sizeof(SignatureRecord) + terminated(record.patternLength) + terminated(record.extraLength);
  }
  for (const RuleRecord& record : Rules(*library)) {
    bytes += sizeof(RuleRecord) + terminated(record.nameLength) + record.expressionLength;
  }
  return bytes;
}

const char* CheckDatabaseBody(const uint8_t* body, uint32_t length) noexcept {
  if (body == nullptr || length < BodyHeaderSize) return "the body is shorter than its 128-byte header";
  if (!std::equal(BodyMagic.begin(), BodyMagic.end(), body)) return "the body does not start with its magic 'QDLB'";
  const DatabaseHeader header = DecodeDatabaseHeader(std::span<const uint8_t, BodyHeaderSize>(body, BodyHeaderSize));

  if (Crc32(body, HeaderCrcCoverage) != header.headerCrc) return "the header's CRC does not match";
  if (header.totalSize > length) return "the header's total size is larger than the body";
  if (!TableFits(header.signatureTableOffset, header.signatureTableLength, header.totalSize)) {
    return "the signature table lies outside the body";
  }
  if (!TableCrcMatches(body, header.signatureTableOffset, header.signatureTableLength, header.signatureTableCrc)) {
    return "the signature table's CRC does not match";
  }
  if (!TableFits(header.ruleTableOffset, header.ruleTableLength, header.totalSize)) {
    return "the rule table lies outside the body";
  }
  if (!TableCrcMatches(body, header.ruleTableOffset, header.ruleTableLength, header.ruleTableCrc)) {
    return "the rule table's CRC does not match";
  }

  // Every record needs at least its fixed part, so a table cannot hold more
  // records than this; a forged count is refused before any allocation is
  // sized by it.
  if (header.signatureCount > header.signatureTableLength / SignatureRecordFixedSize) {
    return "the signature count is more than the signature table can hold";
  }
  if (header.ruleCount > header.ruleTableLength / RuleRecordFixedSize) {
    return "the rule count is more than the rule table can hold";
  }
  return nullptr;
}

SignatureLibraryPtr ParseDatabaseBody(const uint8_t* body, uint32_t length) noexcept {
  if (CheckDatabaseBody(body, length) != nullptr) return nullptr;
  const DatabaseHeader header = DecodeDatabaseHeader(std::span<const uint8_t, BodyHeaderSize>(body, BodyHeaderSize));
  // Whatever was built is owned by smart pointers and released on failure.
  return BuildLibrary({body, length}, header);
}

}  // namespace veltor
