// A C host loads the library at run time under a series of address-space
// limits (see address_limit_host.c): at each limit no library, no handle, or
// a handle that reports what an unlimited one reports; never an abort.
#include <gtest/gtest.h>

#include "engine/api/api_fixture.h"
#include "support/process.h"
#include "compiler/bytecode/expression_tree.h"

namespace veltor::testing {
namespace {

using namespace bytecode;

TEST(AddressSpaceLimit, EveryLimitGivesNoHandleOrAWholeOne) {
  TempDir dir;
  // Long and short patterns, so that the matcher builds all its tables.
  const auto database =
      WriteDatabase(dir, "rules.vlb", {Signature(1, "needle"), Signature(2, "ei"), Signature(3, "like")},
                    {Rule(1, "Found.Needle", And(SignatureRef(1), SignatureRef(2), SignatureRef(3))),
                     Rule(2, "Found.Deeper", Not(Not(RuleRef(1))))});
  const auto file = dir.Write("file.txt", "an EICAR-like needle");
  const auto result = RunProcess(dir, VELTOR_ADDRESS_LIMIT_HOST,
                                 {BuiltLibraryPath().string(), database.string(), file.string()});
  EXPECT_EQ(0, result.exitCode) << result.out << result.err;
  std::printf("%s", result.out.c_str());
}

}  // namespace
}  // namespace veltor::testing
