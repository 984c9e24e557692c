// Handles share nothing: threads that each own a handle on the same database
// scan at the same time and each get exactly their own reports.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "engine/api/api_fixture.h"
#include "compiler/bytecode/expression_tree.h"

namespace veltor::testing {
namespace {

using namespace bytecode;

TEST(Concurrency, EightThreadsEightHandlesOneDatabase) {
  constexpr int ThreadCount = 8;
  constexpr int ScansPerThread = 40;
  TempDir dir;
  std::vector<SignatureInput> signatures;
  std::vector<RuleInput> rules;
  for (uint32_t n = 0; n < ThreadCount; ++n) {
    signatures.push_back(Signature(n, "marker-" + std::to_string(n) + "!"));
    rules.push_back(Rule(n, "Thread." + std::to_string(n), SignatureRef(n)));
  }
  const auto database = WriteDatabase(dir, "shared.vlb", signatures, rules);

  std::vector<int> mismatches(ThreadCount, 0);
  std::vector<std::thread> threads;
  for (int n = 0; n < ThreadCount; ++n) {
    threads.emplace_back([&, n] {
      Handle handle(Open(database));
      if (!handle) {
        mismatches[static_cast<size_t>(n)] = -1;
        return;
      }
      const std::string text = std::string(4096, 'x') + "marker-" + std::to_string(n) + "!" + std::string(4096, 'y');
      const std::vector<AnsiReport> expected{{1, "Thread." + std::to_string(n)}};
      for (int scan = 0; scan < ScansPerThread; ++scan) {
        if (ScanText(handle.get(), text) != expected) ++mismatches[static_cast<size_t>(n)];
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(mismatches, std::vector<int>(ThreadCount, 0));
}

}  // namespace
}  // namespace veltor::testing
