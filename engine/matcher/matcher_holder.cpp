// The scan context's entry to the matcher: builds once, then searches.
#include "engine/matcher/pattern_matcher.h"

namespace veltor {
namespace {

void IgnoreHit(int32_t, int32_t, void*) noexcept {}

}  // namespace

int32_t HolderSearch(MatcherHolder* holder, const uint8_t* input, int32_t length, HitCallback callback,
                     void* userData) noexcept {
  if (holder == nullptr || holder->matcher == nullptr) return HolderNoMatcher;
  if (input == nullptr || length <= 0) return HolderBadInput;
  if (!holder->ready) {
    if (BuildTables(holder->matcher.get()) == 0) return HolderBuildFailed;
    holder->ready = true;
  }
  return SearchBuffer(holder->matcher.get(), input, length, callback != nullptr ? callback : IgnoreHit, userData);
}

}  // namespace veltor
