// The whole tool chain: a rule file compiled by the veltor program, loaded by
// the real shared library through its exports, scanned, and reported as the
// rules say.
#include <gtest/gtest.h>

#include "engine/api/api_fixture.h"
#include "support/veltor_process.h"

namespace veltor::testing {
namespace {

constexpr const char* RuleFile =
    "signature mz exact = \"MZ\";\n"
    "signature stub = \"this program cannot be run\";\n"
    "signature secret wide = \"secret\";\n"
    "signature absent = \"never in the scanned text\";\n"
    "rule Inner = stub;\n"
    "rule Trojan.Dropper.Generic report = mz and Inner;\n"
    "rule \"Café suspicious\" report = Inner * 0.6;\n"
    "rule Weak report = Inner * 0.4;\n"
    "rule Wide.Secret report = secret;\n"
    "rule Absent report = absent or 0;\n";

std::string WideText(std::string_view text) {
  std::string wide;
  for (const char c : text) {
    wide += c;
    wide += '\0';
  }
  return wide;
}

TEST(EndToEnd, CompiledRulesReportThroughTheSharedLibrary) {
  TempDir scratch;
  const auto source = scratch.Write("rules.vsr", RuleFile);
  const auto database = scratch.path() / "qzdata.vlb";
  const ProcessResult compile = RunVeltor(scratch, {"compile", source.string(), "-o", database.string()});
  ASSERT_EQ(compile.exitCode, 0) << compile.err;

  const Handle handle = Open(database);
  ASSERT_TRUE(handle);

  int32_t count = 0;
  static constexpr char Header[] = "MZ\x90\0 header. THIS PROGRAM CANNOT BE RUN in DOS mode. ";
  const std::string text = std::string(Header, sizeof Header - 1) + WideText("Secret") + " end";
  EXPECT_EQ(ScanText(handle.get(), text, &count),
            (std::vector<AnsiReport>{{1, "Trojan.Dropper.Generic"}, {2, "Caf\xE9 suspicious"}, {1, "Wide.Secret"}}));
  EXPECT_EQ(count, 3);

  // "mz" in lower case misses the exact-case signature; the weighted rule
  // still reaches 0.6.
  EXPECT_EQ(ScanText(handle.get(), "mz: this program cannot be run", &count),
            (std::vector<AnsiReport>{{2, "Caf\xE9 suspicious"}}));
  EXPECT_EQ(count, 1);
  EXPECT_EQ(ScanText(handle.get(), "nothing to see here", &count), std::vector<AnsiReport>{});
  EXPECT_EQ(count, 0);

  // The build date is the one SOURCE_DATE_EPOCH set, 2023-11-14 22:13:20 UTC,
  // in local time.
  VeltorSystemTime date{};
  ASSERT_TRUE(Veltor().getLibDate(handle.get(), &date));
  EXPECT_EQ(date.wYear, 2023);
  EXPECT_EQ(date.wMonth, 11);
}

}  // namespace
}  // namespace veltor::testing
