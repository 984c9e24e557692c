// Opening a handle with each of its allocations failing in turn: the load
// either fails (no handle) or gives a handle that detects what a load with
// all the memory it wants detects. Never a handle that answers "clean".
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/api/api_fixture.h"
#include "engine/api/scan.h"
#include "engine/api/scan_handle.h"
#include "support/allocation_failure.h"
#include "compiler/bytecode/expression_tree.h"

namespace veltor::testing {
namespace {

using namespace bytecode;

// A database whose two rules need short and long patterns, an exact-case
// and a wide one, so that every table of the matcher is built, and a text
// that both rules report.
struct Case {
  TempDir dir;
  std::string path;
  std::string text;

  Case() {
    path = WriteDatabase(dir, "rules.vlb",
                         {Signature(1, "ab"), Signature(2, "needle in a haystack"),
                          Signature(3, "Exact", SignatureFlagExactCase), Signature(4, "wide", SignatureFlagWide)},
                         {Rule(1, "All.Four", And(SignatureRef(1), SignatureRef(2), SignatureRef(3), SignatureRef(4))),
                          Rule(2, "Deep", Not(Not(RuleRef(1))))})
               .string();
    static constexpr char16_t WideWord[] = u"wide";
    text = "ab, a needle in a haystack, Exact, ";
    text.append(reinterpret_cast<const char*>(WideWord), 8);
  }

  int32_t Scan(ScanHandle& handle) const {
    ReportSink sink;
    handle.sink = &sink;
    ScanBuffer(handle, reinterpret_cast<const uint8_t*>(text.data()), static_cast<uint32_t>(text.size()));
    handle.sink = nullptr;
    return sink.reportCount;
  }
};

TEST(OutOfMemory, ALoadGivesNoHandleOrAWholeOne) {
  const Case c;
  std::vector<ScanHandle> loaded;
  loaded.reserve(1000);
  int64_t refused = 0;
  const int64_t points = ForEachAllocationFailure([&](const AllocationFailureScope& scope) {
    ScanHandle handle;
    if (LoadHandle(handle, c.path.c_str())) {
      loaded.push_back(std::move(handle));
      return;
    }
    EXPECT_TRUE(scope.Triggered());
    ++refused;
  });
  EXPECT_GT(points, 10);
  EXPECT_GT(refused, 10);
  ASSERT_FALSE(loaded.empty());  // the last run, which no failure reached
  for (ScanHandle& handle : loaded) EXPECT_EQ(2, c.Scan(handle)) << "a handle that misses what it should report";
}

// A scan cannot fail halfway: once a handle exists, it allocates nothing.
TEST(OutOfMemory, AScanAllocatesNothing) {
  const Case c;
  ScanHandle handle;
  ASSERT_TRUE(LoadHandle(handle, c.path.c_str()));
  int32_t reports = 0;
  EXPECT_EQ(0, ForEachAllocationFailure([&](const AllocationFailureScope&) { reports = c.Scan(handle); }));
  EXPECT_EQ(2, reports);
}

}  // namespace
}  // namespace veltor::testing
