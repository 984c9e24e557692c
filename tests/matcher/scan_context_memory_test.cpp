// Out of memory while a scan context is built: either no context, or a
// context that still scans (patterns that could not be registered are
// absent); never a leak.
#include <gtest/gtest.h>

#include "dbwriter/database_writer.h"
#include "matcher/scan_context.h"
#include "support/allocation_failure.h"
#include "tools/bytecode/bytecode_encoder.h"

namespace veltor {
namespace {

TEST(ScanContextOutOfMemory, EveryFailureLeavesNoContextOrAWorkingOne) {
  SignatureInput signature;
  signature.id = 1;
  signature.flags = SignatureFlagWide;
  signature.pattern = {'n', 'e', 'e', 'd', 'l', 'e'};
  RuleInput always;
  always.id = 1;
  always.flags = RuleFlagTopLevel;
  always.expression = *bytecode::Encode(bytecode::Int32(1));
  const auto body = WriteDatabaseBody(std::vector{signature}, std::vector{always});
  const auto library = ParseDatabaseBody(body.data(), static_cast<uint32_t>(body.size()));
  ASSERT_TRUE(library);

  const int64_t before = testing::LiveAllocationCount();
  int contexts = 0;
  int failures = 0;
  const int64_t points = testing::ForEachAllocationFailure([&](const testing::AllocationFailureScope&) {
    ScanContextPtr context = BuildScanContext(library.get());
    if (!context) {
      ++failures;
      return;
    }
    ++contexts;
    // Whatever the matcher holds, the rules are still evaluated.
    const uint8_t text[] = "a needle";
    EXPECT_EQ(RunScanPass(context.get(), text, sizeof text - 1), 1);
  });
  EXPECT_GT(points, 5);
  EXPECT_GT(failures, 0);
  EXPECT_GT(contexts, 0) << "a failed matcher or pattern does not fail the context";
  EXPECT_EQ(testing::LiveAllocationCount(), before);
}

}  // namespace
}  // namespace veltor
