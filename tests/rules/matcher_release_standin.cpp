// The rules tests build scan contexts without a matcher. A context's
// destructor still reaches DestroyMatcher through its MatcherHolder, so until
// the matcher is part of the engine this stand-in takes its place; with no
// matcher in any test context it is never called.
#include "matcher/pattern_matcher.h"

namespace veltor {

void DestroyMatcher(PatternMatcher* matcher) noexcept { static_cast<void>(matcher); }

}  // namespace veltor
