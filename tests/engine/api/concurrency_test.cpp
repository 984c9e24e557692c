// Handles share only what never changes (the loaded records of identical
// databases, the finder's tables of identical signatures): threads that each
// open, use and close handles on the same database, an identical copy and one
// that differs only in its rule names, at the same time, each get exactly
// their own reports.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>

#include "engine/api/api_fixture.h"
#include "compiler/bytecode/expression_tree.h"

namespace veltor::testing {
namespace {

using namespace bytecode;

TEST(Concurrency, EightThreadsEightHandlesOneDatabase) {
  constexpr int ThreadCount = 8;
  constexpr int HandlesPerThread = 6;
  constexpr int ScansPerHandle = 10;
  TempDir dir;
  std::vector<SignatureInput> signatures;
  std::vector<RuleInput> rules;
  std::vector<RuleInput> renamedRules;
  for (uint32_t n = 0; n < ThreadCount; ++n) {
    signatures.push_back(Signature(n, "marker-" + std::to_string(n) + "!"));
    rules.push_back(Rule(n, "Thread." + std::to_string(n), SignatureRef(n)));
    renamedRules.push_back(Rule(n, "Renamed." + std::to_string(n), SignatureRef(n)));
  }
  const auto database = WriteDatabase(dir, "shared.vlb", signatures, rules);
  const auto copy = dir.path() / "copy.vlb";
  std::filesystem::copy_file(database, copy);
  const auto renamed = WriteDatabase(dir, "renamed.vlb", signatures, renamedRules);

  std::vector<int> mismatches(ThreadCount, 0);
  std::vector<std::thread> threads;
  for (int n = 0; n < ThreadCount; ++n) {
    threads.emplace_back([&, n] {
      const std::string text = std::string(4096, 'x') + "marker-" + std::to_string(n) + "!" + std::string(4096, 'y');
      const std::vector<AnsiReport> expected{{1, "Thread." + std::to_string(n)}};
      const std::vector<AnsiReport> expectedRenamed{{1, "Renamed." + std::to_string(n)}};
      // Handles come and go while the others scan: the shared libraries and
      // tables are taken, loaded and released concurrently.
      for (int round = 0; round < HandlesPerThread; ++round) {
        const int which = (n + round) % 3;
        Handle handle(Open(which == 0 ? database : which == 1 ? copy : renamed));
        if (!handle) {
          mismatches[static_cast<size_t>(n)] = -1;
          return;
        }
        for (int scan = 0; scan < ScansPerHandle; ++scan) {
          if (ScanText(handle.get(), text) != (which == 2 ? expectedRenamed : expected)) {
            ++mismatches[static_cast<size_t>(n)];
          }
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(mismatches, std::vector<int>(ThreadCount, 0));
}

}  // namespace
}  // namespace veltor::testing
