#pragma once
// The loaded database: a verbatim copy of the body header and both record
// tables, each sorted by id (unsigned). A record's position in its sorted
// array is its index everywhere in the engine: hit flags, rule memo and
// matcher tags all use it.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <type_traits>

#include "engine/database/database_format.h"
#include "engine/platform/allocation.h"

namespace veltor {

struct SignatureRecord {
  uint32_t id = 0;
  uint32_t flags = 0;
  uint32_t reserved1 = 0;
  uint32_t patternLength = 0;
  uint32_t extraLength = 0;
  uint32_t reserved2 = 0;
  HeapArray<uint8_t> pattern;  // patternLength + 2 bytes, two zeros last; null when empty
  HeapArray<uint8_t> extra;       // extraLength + 2 bytes, two zeros last; null when empty
};

struct RuleRecord {
  uint32_t id = 0;
  uint32_t flags = 0;
  uint32_t nameLength = 0;
  HeapArray<char> name;  // nameLength + 2 bytes, two zeros last; null when empty
  uint32_t expressionLength = 0;
  HeapArray<uint8_t> expression;  // exactly expressionLength bytes; null when empty
};

// An array derived from a library by a layer above it, made once for every
// holder: the first to need it installs it, later ones take that one. Owns
// the array.
template <typename T>
struct DerivedArray {
  static_assert(std::is_trivially_destructible_v<T>);
  DerivedArray() noexcept = default;
  DerivedArray(const DerivedArray&) = delete;
  DerivedArray& operator=(const DerivedArray&) = delete;
  ~DerivedArray() { const HeapArray<T> owned(items.load(std::memory_order_relaxed)); }

  // The installed array, or null.
  const T* Get() const noexcept { return items.load(std::memory_order_acquire); }
  // Installs `made` unless an array is installed already (which then stays,
  // and `made` is freed); the installed array.
  const T* Install(HeapArray<T> made) const noexcept {
    T* expected = nullptr;
    if (items.compare_exchange_strong(expected, made.get(), std::memory_order_acq_rel, std::memory_order_acquire)) {
      return made.release();
    }
    return expected;
  }

 private:
  mutable std::atomic<T*> items{nullptr};
};

// The header's signatureCount and ruleCount are the library's only counts.
// Read-only once parsed: a library may be shared by every handle of the
// process whose database has the same bytes (ShareDatabaseBody).
struct SignatureLibrary {
  DatabaseHeader header;
  HeapArray<SignatureRecord> signatures;  // null when signatureCount is 0
  HeapArray<RuleRecord> rules;                 // null when ruleCount is 0

  // Each rule's ring of references (rules/evaluation_state.cpp), ruleCount
  // entries: the only field set after the parse, once, by the first scan
  // state built over the library.
  DerivedArray<uint32_t> ruleRings;

  // Holders of the library; the last release frees it. A holder may take
  // its reference through a const library (it is not the library's value).
  mutable std::atomic<int32_t> references{1};
  // Filing (library_cache.cpp), guarded by the process-state lock: the
  // decrypted body the library was parsed from, the bytes it is shared
  // under; null for a library that is not filed.
  HeapArray<uint8_t> filedBody;
  uint32_t filedLength = 0;
  SignatureLibrary* filedNext = nullptr;
};

// Releases one holder's reference; the last one releases the library and
// every buffer it owns (and unfiles a shared library). Accepts null.
void FreeSignatureLibrary(SignatureLibrary* library) noexcept;

struct SignatureLibraryDeleter {
  void operator()(SignatureLibrary* library) const noexcept { FreeSignatureLibrary(library); }
};
using SignatureLibraryPtr = std::unique_ptr<SignatureLibrary, SignatureLibraryDeleter>;

// Checks a decrypted body and copies it into a new library. The body is only
// read and not retained. Null when the body is rejected or memory runs out.
// Checks, in order: size and magic, header CRC, totalSize within the body,
// each table's extent within totalSize and its CRC, each count within what
// its table can hold (24 bytes per signature record, 16 per rule record at
// least; refused before anything is allocated), then every record within its
// table, checked as it is read.
SignatureLibraryPtr ParseDatabaseBody(const uint8_t* body, uint32_t length) noexcept;

// The library of a decrypted body, shared in the process: when a library
// parsed from byte-identical bytes is held already, one more reference to it
// (identical bytes pass the same checks); else the body is parsed as
// ParseDatabaseBody does and the library keeps it, filed for the next load.
// Thread-safe; allocates nothing beyond the parse. Null when the body is
// rejected or memory runs out.
SignatureLibraryPtr ShareDatabaseBody(HeapArray<uint8_t> body, uint32_t length) noexcept;

// Unfiles a library whose last reference is being released.
void ForgetSharedLibrary(SignatureLibrary* library) noexcept;

// The checks of ParseDatabaseBody before any record is read: null when the
// body passes them, else which one failed, as a sentence for a person
// ("the rule table's CRC does not match").
const char* CheckDatabaseBody(const uint8_t* body, uint32_t length) noexcept;

// Bytes the library really allocated: the library, both record arrays,
// every record's buffers and a shared library's body (allocator overhead not
// counted). 0 for null.
size_t SignatureLibraryMemory(const SignatureLibrary* library) noexcept;

inline std::span<const SignatureRecord> Signatures(const SignatureLibrary& library) noexcept {
  return library.signatures ? std::span<const SignatureRecord>(library.signatures.get(), library.header.signatureCount)
                            : std::span<const SignatureRecord>();
}

inline std::span<const RuleRecord> Rules(const SignatureLibrary& library) noexcept {
  return library.rules ? std::span<const RuleRecord>(library.rules.get(), library.header.ruleCount)
                       : std::span<const RuleRecord>();
}

}  // namespace veltor
