#include "matcher/scan_context.h"

#include <algorithm>
#include <bit>
#include <climits>
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
// signatures, under the signature's index. A form that cannot be registered
// (out of memory, or a code page that yields nothing) is simply absent.
void RegisterSignature(PatternMatcher* matcher, const SignatureRecord& signature, int32_t tag) noexcept {
  if (matcher == nullptr || signature.patternLength == 0 || !signature.pattern) return;
  if (signature.patternLength > static_cast<uint32_t>(INT32_MAX - 16)) return;
  const auto length = static_cast<int32_t>(signature.patternLength);
  const int32_t exactCase = (signature.flags & SignatureFlagExactCase) != 0 ? 1 : 0;
  AddPattern(matcher, signature.pattern.get(), length, exactCase, tag);

  if ((signature.flags & SignatureFlagWide) == 0) return;
  const int32_t capacity = length + 16;
  std::unique_ptr<char16_t[]> wide(new (std::nothrow) char16_t[static_cast<size_t>(capacity)]);
  if (!wide) return;
  const int32_t units =
      platform::AnsiToWide(reinterpret_cast<const char*>(signature.pattern.get()), length, wide.get(), capacity);
  if (units > 0) {
    AddPattern(matcher, reinterpret_cast<const uint8_t*>(wide.get()), units * 2, exactCase, tag);
  }
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
    // A matcher that cannot be created leaves a context without one: its
    // scans mark nothing but still evaluate the rules.
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

  MatcherHolder& holder = *context->matcherHolder;
  const auto signatures = Signatures(*library);
  for (size_t index = 0; index < signatures.size(); ++index) {
    RegisterSignature(holder.matcher.get(), signatures[index], static_cast<int32_t>(index));
  }
  // Tables are built once per context; a failed build is retried by every
  // scan until one succeeds.
  if (holder.matcher && !holder.ready && BuildTables(holder.matcher.get()) == 1) holder.ready = true;
  return context;
}

void MarkSignatureHit(int32_t /*position*/, int32_t tag, void* userData) noexcept {
  auto* context = static_cast<ScanContext*>(userData);
  if (tag < 0 || !context->signatureHits || static_cast<uint32_t>(tag) >= context->library->header.signatureCount) {
    return;
  }
  context->signatureHits[static_cast<size_t>(tag)] = 1;
}

int32_t RunScanPass(ScanContext* context, const uint8_t* bytes, uint32_t length) noexcept {
  // The matcher takes signed 32-bit lengths; a longer range is refused
  // rather than scanned in part.
  if (context == nullptr || bytes == nullptr || length == 0 || length > static_cast<uint32_t>(INT32_MAX)) {
    return ScanPassBadArguments;
  }
  if (context->library == nullptr) return ScanPassNoLibrary;
  const SignatureLibrary& library = *context->library;

  if (context->signatureHits) std::fill_n(context->signatureHits.get(), library.header.signatureCount, uint8_t{0});
  if (context->ruleEvaluated) std::fill_n(context->ruleEvaluated.get(), library.header.ruleCount, uint8_t{0});

  // Without a matcher, or with tables that cannot be built, nothing is
  // marked; the rules are evaluated all the same.
  if (context->matcherHolder) {
    HolderSearch(context->matcherHolder.get(), bytes, static_cast<int32_t>(length), MarkSignatureHit, context);
  }

  int32_t fired = 0;
  const auto rules = Rules(library);
  for (uint32_t index = 0; index < rules.size(); ++index) {
    if ((rules[index].flags & RuleFlagTopLevel) == 0) continue;
    // Fired: strictly above 0.0001; NaN never is.
    if (EvaluateRule(*context, index) > TruthThreshold) ++fired;
  }
  return fired;
}

}  // namespace veltor
