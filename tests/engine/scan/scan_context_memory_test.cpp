// Out of memory while a scan context is built: no context and no leak; and
// once built, a scan allocates nothing, so it cannot fail halfway.
#include <gtest/gtest.h>

#include "compiler/dbwriter/database_writer.h"
#include "engine/scan/scan_context.h"
#include "support/allocation_failure.h"
#include "compiler/bytecode/bytecode_encoder.h"

namespace veltor {
namespace {

TEST(ScanContextOutOfMemory, BuildFailsWholeAndScansNeverAllocate) {
  SignatureInput signature;
  signature.id = 1;
  signature.flags = SignatureFlagWide;
  signature.pattern = {'n', 'e', 'e', 'd', 'l', 'e'};
  RuleInput always;
  always.id = 1;
  always.flags = RuleFlagTopLevel;
  always.expression = *bytecode::Encode(bytecode::Int32(1));
  const auto body = WriteDatabaseBody(std::vector{signature}, std::vector{always});
  const auto parse = [&] { return ParseDatabaseBody(body.data(), static_cast<uint32_t>(body.size())); };

  // What the contexts derive from the library (its rule rings) goes with it.
  const int64_t before = testing::LiveAllocationCount();
  {
    const auto walked = parse();
    ASSERT_TRUE(walked);
    const int64_t points = testing::ForEachAllocationFailure([&](const testing::AllocationFailureScope& scope) {
      ScanContextPtr context = BuildScanContext(walked.get());
      EXPECT_EQ(context == nullptr, scope.Triggered()) << "a context is built whole or not at all";
    });
    EXPECT_GT(points, 5);
  }
  EXPECT_EQ(testing::LiveAllocationCount(), before);

  const auto library = parse();
  ASSERT_TRUE(library);

  ScanContextPtr context = BuildScanContext(library.get());
  ASSERT_TRUE(context);
  const uint8_t text[] = "a n\0e\0e\0d\0l\0e\0 and more";
  const int64_t live = testing::LiveAllocationCount();
  testing::AllocationFailureScope scope(1);
  EXPECT_EQ(RunScanPass(context.get(), text, sizeof text - 1), 1);
  BeginScanPass(context.get());
  for (const uint8_t& byte : text) FeedScanPass(context.get(), &byte, 1);
  EXPECT_EQ(FinishScanPass(context.get()), 1);
  EXPECT_EQ(context->evaluation.signatureHits[0], 1);
  EXPECT_FALSE(scope.Triggered()) << "a scan allocated";
  EXPECT_EQ(testing::LiveAllocationCount(), live);
}

}  // namespace
}  // namespace veltor
