#pragma once
// Runs test code on a thread with a stack of a chosen size, such as the
// 1 MiB that Windows gives a thread by default, so that a test shows that
// deep work fits in it. Overflowing the stack crashes the test; work that
// has not finished by the deadline ends the test program with a message, so
// that a regression to exponential work fails in seconds, not at the CTest
// timeout.
#include <chrono>
#include <cstddef>
#include <functional>

namespace veltor::testing {

inline constexpr size_t OneMebibyte = size_t{1} << 20;
// Generous for sanitizer builds; what runs here takes well under a second
// in a release build.
inline constexpr std::chrono::seconds SmallStackDeadline{30};

struct SmallStackRun {
  bool ran = false;       // the thread was started and joined
  size_t peakStackBytes = 0;  // the most stack the body used; 0 where it cannot be measured (Windows)
};

// Runs `body` on a new thread whose whole stack is `stackBytes`, and waits
// for it, at most SmallStackDeadline. On Linux the stack is painted beforehand, so the peak use can be
// read back afterwards; a guard page below it turns an overflow into a crash.
SmallStackRun RunOnSmallStack(size_t stackBytes, const std::function<void()>& body);

}  // namespace veltor::testing
