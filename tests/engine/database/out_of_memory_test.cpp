// Every allocation of a load, failed in turn: the load returns null and
// leaves nothing allocated, and the walk ends with a load that succeeds.
#include <gtest/gtest.h>

#include "engine/database/database_file.h"
#include "compiler/dbwriter/database_envelope.h"
#include "support/records.h"
#include "support/allocation_failure.h"
#include "support/temp_dir.h"

namespace veltor::testing {
namespace {

// Checks the walk over `load`; returns the number of allocation points.
int64_t WalkFailures(const std::function<SignatureLibraryPtr()>& load) {
  const int64_t before = LiveAllocationCount();
  int64_t failed = 0;
  const int64_t points = ForEachAllocationFailure([&](const AllocationFailureScope& scope) {
    const bool loaded = load() != nullptr;
    if (scope.Triggered()) {
      EXPECT_FALSE(loaded);
      ++failed;
    } else {
      EXPECT_TRUE(loaded);
    }
  });
  EXPECT_EQ(failed, points);
  EXPECT_EQ(LiveAllocationCount(), before);
  return points;
}

TEST(OutOfMemory, ParseDatabaseBodyReturnsNullAndLeaksNothing) {
  const std::vector<uint8_t> body = SampleBody();
  // The library, its two arrays and one buffer per non-empty field (32).
  EXPECT_EQ(WalkFailures([&] { return Parse(body); }), 35);
}

TEST(OutOfMemory, LoadDatabaseFileReturnsNullAndLeaksNothing) {
  TempDir dir;
  const std::string path = dir.Write("db.vlb", SealDatabase(SampleBody())).string();
  // The file and body buffers, then the parse.
  EXPECT_EQ(WalkFailures([&] { return LoadDatabaseFile(path.c_str()); }), 37);
}

// A forged count is refused before anything is allocated, so it cannot ask
// for gigabytes; a forged record length is refused before its buffer exists.
TEST(OutOfMemory, ForgedCountsAllocateNothing) {
  for (const bool forgeSignatures : {true, false}) {
    BodyOptions options;
    (forgeSignatures ? options.overrides.signatureCount : options.overrides.ruleCount) = 0xFFFFFFFFU;
    const std::vector<uint8_t> body = SampleBody(options);
    const int64_t points = ForEachAllocationFailure([&](const AllocationFailureScope&) { EXPECT_FALSE(Parse(body)); });
    EXPECT_EQ(points, 0);
  }
}

TEST(OutOfMemory, ForgedLengthLeaksNothing) {
  SignatureInput signature = Signature(1, "abc");
  signature.patternLengthField = 0xFFFFFFFFU;
  const std::vector<SignatureInput> signatures{Signature(2, "ok"), signature};
  const std::vector<uint8_t> body = WriteDatabaseBody(signatures, SampleRules());
  const int64_t before = LiveAllocationCount();
  const int64_t points = ForEachAllocationFailure([&](const AllocationFailureScope&) { EXPECT_FALSE(Parse(body)); });
  EXPECT_EQ(points, 3);  // the library, the signature array, the first pattern
  EXPECT_EQ(LiveAllocationCount(), before);
}

}  // namespace
}  // namespace veltor::testing
