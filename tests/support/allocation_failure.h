#pragma once
// Allocation fault injection for tests. Linking veltor_allocation_failure
// into a test executable replaces the global operator new and delete, and
// the engine's own allocation calls (platform/allocation.h), with counting
// versions that can be told to fail one chosen allocation, so that
// every out-of-memory path of an operation can be walked in turn.
#include <cstdint>
#include <functional>

namespace veltor::testing {

// Allocations made through operator new and not yet freed, on all threads.
int64_t LiveAllocationCount();

// While alive, the `failAt`-th allocation on this thread (1-based) fails:
// throwing operator new throws std::bad_alloc, nothrow new returns null.
class AllocationFailureScope {
 public:
  explicit AllocationFailureScope(int64_t failAt);
  ~AllocationFailureScope();
  AllocationFailureScope(const AllocationFailureScope&) = delete;
  AllocationFailureScope& operator=(const AllocationFailureScope&) = delete;
  // True once the chosen allocation has been refused.
  bool Triggered() const;
};

// Runs `operation` with its 1st allocation failing, then its 2nd, and so on,
// until a run ends without reaching the chosen allocation; `operation` can
// ask the scope whether the failure was hit. Returns the number of
// allocation points walked.
int64_t ForEachAllocationFailure(const std::function<void(const AllocationFailureScope&)>& operation);

}  // namespace veltor::testing
