#include "engine/scan/scan_context.h"

#include <bit>
#include <climits>
#include <cstring>

#include "engine/platform/platform.h"
#include "engine/rules/evaluator.h"
#include "engine/rules/score_values.h"
#include "engine/platform/allocation.h"

namespace veltor {
namespace {

// Wide forms are registered as the UTF-16 units' bytes, which are UTF-16LE
// on every host we build for.
static_assert(std::endian::native == std::endian::little);

// Registers the signature's pattern, then its UTF-16LE form for wide
// signatures, under the signature's index. False when a form cannot be registered (out of
// memory, or a pattern too long for the matcher): a context that misses a
// signature would answer "clean" where it should report, so the whole load
// fails instead.
bool RegisterSignature(PatternMatcher& matcher, const SignatureRecord& signature, int32_t tag) noexcept {
  if (signature.patternLength == 0 || !signature.pattern) return true;
  // Sizes in 64 bits: the wide form of a pattern of 1 GiB or more is longer
  // than the matcher takes, and must fail the load rather than wrap.
  const uint64_t length = signature.patternLength;
  const uint64_t wideCapacity = length + 16;
  if (length > static_cast<uint64_t>(INT32_MAX)) return false;
  const int32_t exactCase = (signature.flags & SignatureFlagExactCase) != 0 ? 1 : 0;
  if (AddPattern(&matcher, signature.pattern.get(), static_cast<int32_t>(length), exactCase, tag) != 1) return false;

  if ((signature.flags & SignatureFlagWide) == 0) return true;
  if (wideCapacity > static_cast<uint64_t>(INT32_MAX)) return false;
  const HeapArray<char16_t> wide = NewBuffer<char16_t>(static_cast<size_t>(wideCapacity));
  if (!wide) return false;
  const int32_t units = platform::AnsiToWide(reinterpret_cast<const char*>(signature.pattern.get()),
                                             static_cast<int32_t>(length), wide.get(),
                                             static_cast<int32_t>(wideCapacity));
  // A conversion that yields nothing leaves the signature without a wide
  // form, as the code page decides; that is not a failure.
  if (units <= 0) return true;
  const uint64_t wideBytes = 2 * static_cast<uint64_t>(units);
  if (wideBytes > static_cast<uint64_t>(INT32_MAX)) return false;
  if (AddPattern(&matcher, reinterpret_cast<const uint8_t*>(wide.get()), static_cast<int32_t>(wideBytes), exactCase,
                 tag) != 1) {
    return false;
  }
  return true;
}

// A signature's part of the key: its pattern length, a flag byte, then the
// pattern's bytes.
constexpr size_t KeyHeadBytes = 5;
void KeyHead(const SignatureRecord& signature, uint8_t (&head)[KeyHeadBytes]) noexcept {
  std::memcpy(head, &signature.patternLength, 4);
  head[4] = static_cast<uint8_t>(((signature.flags & SignatureFlagExactCase) != 0 ? 1 : 0) |
                                 ((signature.flags & SignatureFlagWide) != 0 ? 2 : 0));
}

std::span<const uint8_t> PatternBytes(const SignatureRecord& signature) noexcept {
  if (signature.patternLength == 0 || !signature.pattern) return {};
  return {signature.pattern.get(), signature.patternLength};
}

// What the finder's tables are made of, written out as the key they are
// shared under: per signature, in index order (the index is the tag), its
// pattern's length, the flags that decide its forms and its bytes. Equal
// keys give equal tables in one process (the wide forms depend only on the
// process's code page). False when memory runs out.
bool FinderKey(const SignatureLibrary& library, GrowableArray<uint8_t>& key) noexcept {
  const auto signatures = Signatures(library);
  size_t bytes = 0;
  for (const SignatureRecord& signature : signatures) bytes += KeyHeadBytes + PatternBytes(signature).size();
  if (!key.Reserve(bytes)) return false;
  for (const SignatureRecord& signature : signatures) {
    uint8_t head[KeyHeadBytes];
    KeyHead(signature, head);
    key.AppendRange(head, sizeof head);  // reserved
    const auto pattern = PatternBytes(signature);
    if (!pattern.empty()) key.AppendRange(pattern.data(), pattern.size());
  }
  return true;
}

// Whether `key` is the one FinderKey writes for the library `owner`,
// compared without writing it.
bool LibraryHasKey(const void* owner, std::span<const uint8_t> key) noexcept {
  size_t at = 0;
  for (const SignatureRecord& signature : Signatures(*static_cast<const SignatureLibrary*>(owner))) {
    uint8_t head[KeyHeadBytes];
    KeyHead(signature, head);
    const auto pattern = PatternBytes(signature);
    if (key.size() - at < sizeof head + pattern.size() || std::memcmp(key.data() + at, head, sizeof head) != 0 ||
        (!pattern.empty() && std::memcmp(key.data() + at + sizeof head, pattern.data(), pattern.size()) != 0)) {
      return false;
    }
    at += sizeof head + pattern.size();
  }
  return at == key.size();
}

void ReleaseLibrary(const void* owner) noexcept {
  FreeSignatureLibrary(const_cast<SignatureLibrary*>(static_cast<const SignatureLibrary*>(owner)));
}

// The finder tables for the library: those of another context over the same
// signatures when there is one, else built and filed for the next.
FinderTablesPtr SharedFinderTables(const SignatureLibrary& library) noexcept {
  GrowableArray<uint8_t> key;
  if (!FinderKey(library, key)) return nullptr;
  if (FinderTablesPtr shared = FindSharedFinderTables({key.data(), key.size()})) return shared;
  // The matcher only collects the registrations and is released once the
  // tables hold them.
  FinderTablesPtr built;
  {
    const PatternMatcherPtr registered = RegisterLibraryPatterns(library);
    if (!registered) return nullptr;
    built = BuildFinderTables(registered.get());
  }
  if (!built) return nullptr;
  if (library.filedBody) {
    // A shared library is freed by its last holder, so the tables can be
    // one and read the key from its records instead of keeping a copy of
    // every pattern (it stays loaded while they do).
    library.references.fetch_add(1, std::memory_order_relaxed);
    return ShareFinderTables(std::move(built), {key.data(), key.size()},
                             FinderKeyHolder{&library, LibraryHasKey, ReleaseLibrary});
  }
  return ShareFinderTables(std::move(built), std::move(key));
}

}  // namespace

PatternMatcherPtr RegisterLibraryPatterns(const SignatureLibrary& library) noexcept {
  PatternMatcherPtr matcher = CreateMatcher();
  if (!matcher) return nullptr;
  const auto signatures = Signatures(library);
  for (size_t index = 0; index < signatures.size(); ++index) {
    if (!RegisterSignature(*matcher, signatures[index], static_cast<int32_t>(index))) return nullptr;
  }
  return matcher;
}

void FreeScanContext(ScanContext* context) noexcept { DeleteObject(context); }

ScanContextPtr BuildScanContext(const SignatureLibrary* library) noexcept {
  if (library == nullptr) return nullptr;
  ScanContextPtr context(NewObject<ScanContext>().release());
  if (!context) return nullptr;
  if (!AllocateEvaluationState(*library, context->evaluation)) return nullptr;

  // A context is built whole or not at all: every signature registered and
  // the finder built, so that a scan cannot fail.
  context->finder = NewLiteralFinder(SharedFinderTables(*library));
  if (!context->finder) return nullptr;
  return context;
}

void MarkSignatureHit(int32_t /*position*/, int32_t tag, void* userData) noexcept {
  EvaluationState& state = static_cast<ScanContext*>(userData)->evaluation;
  if (tag < 0 || !state.signatureHits || static_cast<uint32_t>(tag) >= state.library->header.signatureCount) return;
  state.signatureHits[static_cast<size_t>(tag)] = 1;
}

void BeginScanPass(ScanContext* context) noexcept {
  if (context == nullptr || context->evaluation.library == nullptr) return;
  ClearEvaluationState(context->evaluation);
  context->passFired = false;
  BeginFinderScan(context->finder.get());
}

void FeedScanPass(ScanContext* context, const uint8_t* bytes, size_t length) noexcept {
  if (context == nullptr || context->evaluation.library == nullptr || bytes == nullptr) return;
  const EvaluationState& state = context->evaluation;
  const size_t hitCount = state.signatureHits ? state.library->header.signatureCount : 0;
  FeedFinder(context->finder.get(), bytes, length, state.signatureHits.get(), hitCount);
}

int32_t FinishScanPass(ScanContext* context) noexcept {
  if (context == nullptr) return ScanPassBadArguments;
  if (context->evaluation.library == nullptr) return ScanPassNoLibrary;
  int32_t fired = 0;
  const auto rules = Rules(*context->evaluation.library);
  for (uint32_t index = 0; index < rules.size(); ++index) {
    if ((rules[index].flags & RuleFlagTopLevel) == 0) continue;
    // Fired: strictly above 0.0001; NaN never is.
    if (EvaluateRule(context->evaluation, index) > TruthThreshold) ++fired;
  }
  context->passFired = fired > 0;
  return fired;
}

int32_t RunScanPass(ScanContext* context, const uint8_t* bytes, uint32_t length) noexcept {
  // A range longer than INT32_MAX is refused rather than scanned in part, as
  // it always was; a refused pass leaves the previous scan's state alone.
  if (context == nullptr || bytes == nullptr || length == 0 || length > static_cast<uint32_t>(INT32_MAX)) {
    return ScanPassBadArguments;
  }
  if (context->evaluation.library == nullptr) return ScanPassNoLibrary;
  BeginScanPass(context);
  FeedScanPass(context, bytes, length);
  return FinishScanPass(context);
}

size_t ScanContextMemory(const ScanContext* context) noexcept {
  if (context == nullptr) return 0;
  return sizeof(ScanContext) + LiteralFinderMemory(context->finder.get()) +
         EvaluationStateMemory(context->evaluation);
}

}  // namespace veltor

