#include "matcher/scan_context.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstring>
#include <new>

#include "platform/platform.h"
#include "rules/evaluator.h"
#include "rules/score_values.h"

namespace veltor {
namespace {

// Wide forms are registered as the UTF-16 units' bytes, which are UTF-16LE
// on every host we build for.
static_assert(std::endian::native == std::endian::little);

// Registers the signature's pattern, then its UTF-16LE form for wide
// signatures, under the signature's index, and raises `longest` to the
// longest form registered. False when a form cannot be registered (out of
// memory, or a pattern too long for the matcher): a context that misses a
// signature would answer "clean" where it should report, so the whole load
// fails instead.
bool RegisterSignature(PatternMatcher& matcher, const SignatureRecord& signature, int32_t tag,
                       size_t& longest) noexcept {
  if (signature.patternLength == 0 || !signature.pattern) return true;
  // Sizes in 64 bits: the wide form of a pattern of 1 GiB or more is longer
  // than the matcher takes, and must fail the load rather than wrap.
  const uint64_t length = signature.patternLength;
  const uint64_t wideCapacity = length + 16;
  if (length > static_cast<uint64_t>(INT32_MAX)) return false;
  const int32_t exactCase = (signature.flags & SignatureFlagExactCase) != 0 ? 1 : 0;
  if (AddPattern(&matcher, signature.pattern.get(), static_cast<int32_t>(length), exactCase, tag) != 1) return false;
  longest = std::max(longest, static_cast<size_t>(length));

  if ((signature.flags & SignatureFlagWide) == 0) return true;
  if (wideCapacity > static_cast<uint64_t>(INT32_MAX)) return false;
  std::unique_ptr<char16_t[]> wide(new (std::nothrow) char16_t[static_cast<size_t>(wideCapacity)]);
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
  longest = std::max(longest, static_cast<size_t>(wideBytes));
  return true;
}

// Searches one piece of the stream (at most INT32_MAX bytes) for the pass.
void SearchPiece(ScanContext& context, const uint8_t* bytes, size_t length) noexcept {
  HolderSearch(context.matcherHolder.get(), bytes, static_cast<int32_t>(length), MarkSignatureHit, &context);
}

// Feeds one piece: the bytes around the border with the stream so far, then
// the piece itself, then keeps the stream's last carryLimit bytes.
void FeedPiece(ScanContext& context, const uint8_t* bytes, size_t length) noexcept {
  const size_t carryLimit = context.carryLimit;
  uint8_t* border = context.border.get();
  if (carryLimit != 0 && context.carryLength != 0) {
    const size_t head = std::min(length, carryLimit);
    std::memcpy(border + context.carryLength, bytes, head);
    SearchPiece(context, border, context.carryLength + head);
  }
  SearchPiece(context, bytes, length);
  if (carryLimit == 0) return;
  if (length >= carryLimit) {
    std::memcpy(border, bytes + (length - carryLimit), carryLimit);
    context.carryLength = carryLimit;
    return;
  }
  // A piece shorter than the carry: the border already holds the old carry
  // followed by the whole piece; keep its last carryLimit bytes.
  const size_t total = context.carryLength + length;
  if (context.carryLength == 0) std::memcpy(border, bytes, length);
  const size_t drop = total > carryLimit ? total - carryLimit : 0;
  std::memmove(border, border + drop, total - drop);
  context.carryLength = total - drop;
}

}  // namespace

void FreeScanContext(ScanContext* context) noexcept { std::unique_ptr<ScanContext> owned(context); }

ScanContextPtr BuildScanContext(const SignatureLibrary* library) noexcept {
  if (library == nullptr) return nullptr;
  ScanContextPtr context;
  try {
    context.reset(std::make_unique<ScanContext>().release());
    context->library = library;
    context->matcherHolder = std::make_unique<MatcherHolder>();
      context->matcherHolder->matcher = CreateMatcher();
    if (library->header.signatureCount != 0) {
      context->signatureHits = std::make_unique<uint8_t[]>(library->header.signatureCount);
    }
    if (library->header.ruleCount != 0) {
      context->ruleValues = std::make_unique<double[]>(library->header.ruleCount);
      context->ruleEvaluated = std::make_unique<uint8_t[]>(library->header.ruleCount);
    }
  } catch (const std::bad_alloc&) {
    return nullptr;
  }

  // A context is built whole or not at all: every signature registered, the
  // tables built and the border allocated, so that a scan cannot fail.
  MatcherHolder& holder = *context->matcherHolder;
  if (!holder.matcher) return nullptr;
  const auto signatures = Signatures(*library);
  size_t longest = 0;
  for (size_t index = 0; index < signatures.size(); ++index) {
    if (!RegisterSignature(*holder.matcher, signatures[index], static_cast<int32_t>(index), longest)) return nullptr;
  }
  if (BuildTables(holder.matcher.get()) != 1) return nullptr;
  if (!AllocateEvaluationStack(*library, context->evaluationStack)) return nullptr;
  holder.ready = true;
  context->carryLimit = longest > 0 ? longest - 1 : 0;
  if (context->carryLimit != 0) {
    context->border.reset(new (std::nothrow) uint8_t[2 * context->carryLimit]);
    if (!context->border) return nullptr;
  }
  return context;
}

void MarkSignatureHit(int32_t /*position*/, int32_t tag, void* userData) noexcept {
  auto* context = static_cast<ScanContext*>(userData);
  if (tag < 0 || !context->signatureHits || static_cast<uint32_t>(tag) >= context->library->header.signatureCount) {
    return;
  }
  context->signatureHits[static_cast<size_t>(tag)] = 1;
}

void BeginScanPass(ScanContext* context) noexcept {
  if (context == nullptr || context->library == nullptr) return;
  const SignatureLibrary& library = *context->library;
  if (context->signatureHits) std::fill_n(context->signatureHits.get(), library.header.signatureCount, uint8_t{0});
  if (context->ruleEvaluated) std::fill_n(context->ruleEvaluated.get(), library.header.ruleCount, uint8_t{0});
  context->carryLength = 0;
}

void FeedScanPass(ScanContext* context, const uint8_t* bytes, size_t length) noexcept {
  if (context == nullptr || context->library == nullptr || bytes == nullptr || !context->matcherHolder) return;
  // The matcher takes signed 32-bit lengths: longer chunks go in pieces,
  // whose borders are handled like any other.
  constexpr size_t MaxPiece = size_t{1} << 30;
  while (length != 0) {
    const size_t piece = std::min(length, MaxPiece);
    FeedPiece(*context, bytes, piece);
    bytes += piece;
    length -= piece;
  }
}

int32_t FinishScanPass(ScanContext* context) noexcept {
  if (context == nullptr) return ScanPassBadArguments;
  if (context->library == nullptr) return ScanPassNoLibrary;
  int32_t fired = 0;
  const auto rules = Rules(*context->library);
  for (uint32_t index = 0; index < rules.size(); ++index) {
    if ((rules[index].flags & RuleFlagTopLevel) == 0) continue;
    // Fired: strictly above 0.0001; NaN never is.
    if (EvaluateRule(*context, index) > TruthThreshold) ++fired;
  }
  return fired;
}

int32_t RunScanPass(ScanContext* context, const uint8_t* bytes, uint32_t length) noexcept {
  // A longer range than the matcher's signed lengths is refused rather than
  // scanned in part; a refused pass leaves the previous scan's state alone.
  if (context == nullptr || bytes == nullptr || length == 0 || length > static_cast<uint32_t>(INT32_MAX)) {
    return ScanPassBadArguments;
  }
  if (context->library == nullptr) return ScanPassNoLibrary;
  BeginScanPass(context);
  FeedScanPass(context, bytes, length);
  return FinishScanPass(context);
}

}  // namespace veltor
