// Handles share only what never changes (the finder's tables): threads that
// each open, use and close handles on the same database, at the same time,
// each get exactly their own reports.
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
  constexpr int HandlesPerThread = 4;
  constexpr int ScansPerHandle = 10;
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
      const std::string text = std::string(4096, 'x') + "marker-" + std::to_string(n) + "!" + std::string(4096, 'y');
      const std::vector<AnsiReport> expected{{1, "Thread." + std::to_string(n)}};
      // Handles come and go while the others scan: the shared tables are
      // taken, built and released concurrently.
      for (int round = 0; round < HandlesPerThread; ++round) {
        Handle handle(Open(database));
        if (!handle) {
          mismatches[static_cast<size_t>(n)] = -1;
          return;
        }
        for (int scan = 0; scan < ScansPerHandle; ++scan) {
          if (ScanText(handle.get(), text) != expected) ++mismatches[static_cast<size_t>(n)];
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(mismatches, std::vector<int>(ThreadCount, 0));
}

}  // namespace
}  // namespace veltor::testing
