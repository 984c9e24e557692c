#pragma once
// Per-handle scan state: joins a loaded library to its literal finder and to
// the rule evaluator. Built once per handle; every scan pass reuses it and
// allocates nothing.
#include <cstdint>
#include <memory>

#include "engine/database/signature_library.h"
#include "engine/matcher/literal_finder.h"
#include "engine/matcher/pattern_matcher.h"
#include "engine/rules/evaluation_state.h"

namespace veltor {

struct ScanContext {
  // The library (not owned; it must outlive the context), the hit flags the
  // finder sets and the rule memo the evaluator fills.
  EvaluationState evaluation;
  // Which signatures' patterns occur in the stream: built from the same
  // registrations a PatternMatcher takes, it keeps its own state across fed
  // chunks, so occurrences over chunk borders need no copied bytes. Its
  // tables are shared with every other context over the same signatures in
  // the process; its scan state is its own.
  LiteralFinderPtr finder;
  // Whether the last finished pass had a top-level rule above 0.0001: the
  // report loop runs only then (scan/report_loop.h).
  bool passFired = false;
};

// Frees the arrays, the finder and the context. Accepts null. The library
// must still be alive.
void FreeScanContext(ScanContext* context) noexcept;

struct ScanContextDeleter {
  void operator()(ScanContext* context) const noexcept { FreeScanContext(context); }
};
using ScanContextPtr = std::unique_ptr<ScanContext, ScanContextDeleter>;

// Registers every signature's pattern (and its UTF-16LE form for wide
// signatures) under the signature's index and builds the finder over them,
// or takes the finder tables another context over the same signatures
// already built (thread-safe). Null for a null library, when an array
// cannot be allocated or when a pattern cannot be registered.
ScanContextPtr BuildScanContext(const SignatureLibrary* library) noexcept;

// A matcher holding every signature's pattern, and the UTF-16LE form of wide
// signatures, under the signature's index, in index order, each plain form
// before its wide form: what the context's finder is built from, and what a
// search that needs positions uses. Null when memory runs out or a pattern
// is too long for the matcher.
PatternMatcherPtr RegisterLibraryPatterns(const SignatureLibrary& library) noexcept;

inline constexpr int32_t ScanPassBadArguments = -1;
inline constexpr int32_t ScanPassNoLibrary = -2;

// Clears the hit flags and the memo flags, marks the signatures that occur in
// the bytes, evaluates every top-level rule and returns how many scored above
// 0.0001; -1 for a null context or bytes or a zero length, -2 without a
// library. Allocates nothing itself.
int32_t RunScanPass(ScanContext* context, const uint8_t* bytes, uint32_t length) noexcept;

// The streaming scan pass: the same pass over input that arrives in chunks.
// BeginScanPass clears the hit flags and the memo flags; each FeedScanPass
// marks the signatures that occur in the stream fed so far, occurrences
// across chunk borders included; FinishScanPass evaluates every top-level
// rule, records in passFired whether any scored above 0.0001 and returns how
// many did (-1 for a null context, -2 without a library). Hits only accumulate, so any split of the same bytes
// gives the same result; RunScanPass is Begin, one Feed and Finish.
// Allocates nothing. A chunk of 0 bytes is allowed and changes nothing.
void BeginScanPass(ScanContext* context) noexcept;
void FeedScanPass(ScanContext* context, const uint8_t* bytes, size_t length) noexcept;
int32_t FinishScanPass(ScanContext* context) noexcept;

// The matcher callback that marks a signature: userData is the ScanContext.
void MarkSignatureHit(int32_t position, int32_t tag, void* userData) noexcept;

// Bytes the context uses: its arrays and the finder's tables (which may be
// shared with other contexts). 0 for a null context.
size_t ScanContextMemory(const ScanContext* context) noexcept;

}  // namespace veltor
