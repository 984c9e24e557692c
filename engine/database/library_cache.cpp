// The process's loaded libraries, filed under the decrypted body each was
// parsed from, so that handles of byte-identical databases share one
// read-only copy of the records. The same scheme as the finder's tables
// (matcher/finder_cache.cpp), with the same helpers (platform/process_state.h):
// the list and the filing fields are guarded by the platform's process-state
// lock, the reference counts are atomic, only the last release takes the
// lock (to unlink), and a lookup never revives a library whose count
// reached 0.
#include <cstring>

#include "engine/database/signature_library.h"
#include "engine/platform/process_state.h"

namespace veltor {
namespace {

SignatureLibrary* filedHead = nullptr;  // guarded by the process-state lock

// With the lock held: the filed library parsed from exactly these bytes,
// with one reference more, or null. The length narrows; the bytes decide.
SignatureLibrary* Lookup(const uint8_t* body, uint32_t length) noexcept {
  for (SignatureLibrary* l = filedHead; l != nullptr; l = l->filedNext) {
    if (l->filedLength != length || std::memcmp(l->filedBody.get(), body, length) != 0) continue;
    if (platform::AddReferenceUnlessFreed(l->references)) return l;
  }
  return nullptr;
}

}  // namespace

SignatureLibraryPtr ShareDatabaseBody(HeapArray<uint8_t> body, uint32_t length) noexcept {
  if (!body) return nullptr;
  {
    const platform::ProcessStateLock lock;
    if (SignatureLibrary* filed = Lookup(body.get(), length)) return SignatureLibraryPtr(filed);
  }
  // Bytes that no library holds: checked and parsed as always.
  SignatureLibraryPtr parsed = ParseDatabaseBody(body.get(), length);
  if (!parsed) return nullptr;
  SignatureLibraryPtr dropped;  // released after the lock
  const platform::ProcessStateLock lock;
  if (SignatureLibrary* filed = Lookup(body.get(), length)) {
    // Parsed twice at once: the first filed is kept.
    dropped = std::move(parsed);
    parsed.reset(filed);
    return parsed;
  }
  parsed->filedBody = std::move(body);
  parsed->filedLength = length;
  parsed->filedNext = filedHead;
  filedHead = parsed.get();
  return parsed;
}

void ForgetSharedLibrary(SignatureLibrary* library) noexcept {
  const platform::ProcessStateLock lock;
  for (SignatureLibrary** link = &filedHead; *link != nullptr; link = &(*link)->filedNext) {
    if (*link == library) {
      *link = library->filedNext;
      return;
    }
  }
}

}  // namespace veltor
