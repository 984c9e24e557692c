// A C host loads the library at run time under a series of address-space
// limits (see address_limit_host.c): at each limit no library, no handle, or
// a handle that reports what an unlimited one reports, from memory and from
// a file; never an abort.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/api/api_fixture.h"
#include "support/process.h"
#include "compiler/bytecode/expression_tree.h"

namespace veltor::testing {
namespace {

using namespace bytecode;

constexpr char Needle[] = "an EICAR-like needle";

ProcessResult Sweep(const TempDir& dir, const std::filesystem::path& database, const std::filesystem::path& file,
                    const std::vector<std::string>& limits) {
  std::vector<std::string> arguments{BuiltLibraryPath().string(), database.string(), file.string()};
  arguments.insert(arguments.end(), limits.begin(), limits.end());
  return RunProcess(dir, VELTOR_ADDRESS_LIMIT_HOST, arguments);
}

TEST(AddressSpaceLimit, EveryLimitGivesNoHandleOrAWholeOne) {
  TempDir dir;
  // Long and short patterns, so that the matcher builds all its tables.
  const auto database =
      WriteDatabase(dir, "rules.vlb", {Signature(1, "needle"), Signature(2, "ei"), Signature(3, "like")},
                    {Rule(1, "Found.Needle", And(SignatureRef(1), SignatureRef(2), SignatureRef(3))),
                     Rule(2, "Found.Deeper", Not(Not(RuleRef(1))))});
  const auto file = dir.Write("file.txt", Needle);
  // From far too little, 64 KiB at a time, until a 16 MiB stretch of limits
  // all give whole handles.
  const auto result = Sweep(dir, database, file, {"4096", "1048576", "64", "256"});
  EXPECT_EQ(0, result.exitCode) << result.out << result.err;
  std::printf("%s", result.out.c_str());
}

// A large database, whose load is where memory runs out, and the largest
// file the library reads, with the needle at its very end: the file is read
// through the handle's own buffer, so a handle that loaded scans it whole.
// Make's test target sweeps in coarse steps (chosen so that they land in the
// stretch where the load or the old whole-file read ran out); the long
// target (VELTOR_FULL_ADDRESS_SWEEP=1, `make test-long`) takes every MiB.
TEST(AddressSpaceLimit, ALargeDatabaseAndTheLargestFile) {
  TempDir dir;
  std::vector<SignatureInput> signatures{Signature(1, "needle"), Signature(2, "ei"), Signature(3, "like")};
  for (uint32_t id = 10; id < 150'010; ++id) {
    char pattern[16];
    std::snprintf(pattern, sizeof pattern, "zq%07uxk", id);
    signatures.push_back(Signature(id, pattern));
  }
  const auto database =
      WriteDatabase(dir, "large.vlb", signatures,
                    {Rule(1, "Found.Needle", And(SignatureRef(1), SignatureRef(2), SignatureRef(3))),
                     Rule(2, "Found.Deeper", Not(Not(RuleRef(1))))});
  std::string text(16 * 1024 * 1024 - (sizeof Needle - 1), '.');
  text += Needle;
  const auto file = dir.Write("largest.txt", text);
  const bool full = std::getenv("VELTOR_FULL_ADDRESS_SWEEP") != nullptr;
  const auto result = Sweep(dir, database, file, {"16384", full ? "409600" : "131072", full ? "1024" : "5120"});
  EXPECT_EQ(0, result.exitCode) << result.out << result.err;
  std::printf("%s", result.out.c_str());
}

}  // namespace
}  // namespace veltor::testing
