#include "support/allocation_failure.h"

#include <gtest/gtest.h>

#include <memory>
#include <new>

namespace veltor::testing {
namespace {

// Three allocations with a recovery path for each: the walk must visit all
// three and leave nothing allocated.
bool MakeThree() {
  try {
    auto a = std::make_unique<int>(1);
    auto b = std::make_unique<int[]>(10);
    auto c = std::unique_ptr<int>(new (std::nothrow) int(3));
    return c != nullptr;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

TEST(AllocationFailure, WalksEveryAllocationOnce) {
  const int64_t before = LiveAllocationCount();
  int failures = 0;
  const int64_t points = ForEachAllocationFailure([&](const AllocationFailureScope& scope) {
    const bool made = MakeThree();
    if (scope.Triggered()) {
      EXPECT_FALSE(made);
      ++failures;
    } else {
      EXPECT_TRUE(made);
    }
  });
  EXPECT_EQ(points, 3);
  EXPECT_EQ(failures, 3);
  EXPECT_EQ(LiveAllocationCount(), before);
}

}  // namespace
}  // namespace veltor::testing
