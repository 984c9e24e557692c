// The C example host, built as C against the public header, run as a
// process over a real database and file.
#include <gtest/gtest.h>

#include <string>

#include "engine/api/api_fixture.h"
#include "support/process.h"
#include "compiler/bytecode/expression_tree.h"

namespace veltor::testing {
namespace {

using namespace bytecode;

TEST(ExampleHost, ScansAFileAndPrintsTheReports) {
  TempDir dir;
  const auto database = WriteDatabase(dir, "rules.vlb", {Signature(1, "evil")},
                                      {Rule(1, "Demo.Evil", SignatureRef(1)),
                                       Rule(2, "Demo.Maybe", Product(SignatureRef(1), Float64(0.6)))});
  const auto infected = dir.Write("infected.txt", "some EVIL content");
  const auto clean = dir.Write("clean.txt", "nothing to see");
  const std::filesystem::path example = VELTOR_EXAMPLE_PATH;

  auto found = RunProcess(dir, example, {database.string(), infected.string()});
  std::erase(found.out, '\r');  // a C program's text output ends lines with CR LF on Windows
  EXPECT_EQ(found.exitCode, 1);
  EXPECT_EQ(found.out, infected.string() + ": Demo.Evil (level 1)\n" + infected.string() + ": Demo.Maybe (level 2)\n");

  const auto nothing = RunProcess(dir, example, {database.string(), clean.string()});
  EXPECT_EQ(nothing.exitCode, 0);
  EXPECT_EQ(nothing.out, "");

  const auto failed = RunProcess(dir, example, {(dir.path() / "missing.vlb").string(), clean.string()});
  EXPECT_EQ(failed.exitCode, 2);
  EXPECT_NE(failed.err, "");
}

}  // namespace
}  // namespace veltor::testing
