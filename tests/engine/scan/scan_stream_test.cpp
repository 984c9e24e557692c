// The streamed scan pass: any split of the same bytes into chunks marks the
// same signatures and scores the same rules as the one-buffer pass.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "compiler/dbwriter/database_writer.h"
#include "engine/scan/scan_context.h"
#include "compiler/bytecode/bytecode_encoder.h"

namespace veltor {
namespace {

struct Outcome {
  int32_t fired;
  std::vector<uint8_t> hits;
  bool operator==(const Outcome&) const = default;
};

Outcome Read(const ScanContext& context, int32_t fired) {
  const uint32_t count = context.evaluation.library->header.signatureCount;
  return {fired, {context.evaluation.signatureHits.get(), context.evaluation.signatureHits.get() + count}};
}

// Random signatures over a four-letter alphabet (so that they occur), plain,
// exact-case or wide, one top-level rule each.
SignatureLibraryPtr RandomLibrary(std::mt19937& random) {
  std::vector<SignatureInput> signatures;
  std::vector<RuleInput> rules;
  const auto count = 1 + random() % 12;
  for (uint32_t id = 1; id <= count; ++id) {
    SignatureInput signature;
    signature.id = id;
    signature.flags = random() % 8 & (SignatureFlagExactCase | SignatureFlagWide);
    const auto length = 1 + random() % (random() % 4 == 0 ? 40 : 6);
    for (uint32_t i = 0; i < length; ++i) signature.pattern.push_back(static_cast<uint8_t>("abAB"[random() % 4]));
    signatures.push_back(signature);
    RuleInput rule;
    rule.id = id;
    rule.flags = RuleFlagTopLevel;
    rule.expression = *bytecode::Encode(bytecode::SignatureRef(id));
    rules.push_back(rule);
  }
  const auto body = WriteDatabaseBody(signatures, rules);
  return ParseDatabaseBody(body.data(), static_cast<uint32_t>(body.size()));
}

TEST(ScanStream, AnySplitGivesTheOneBufferResult) {
  std::mt19937 random(20261209);
  for (int round = 0; round < 300; ++round) {
    const auto library = RandomLibrary(random);
    ASSERT_TRUE(library);
    const auto context = BuildScanContext(library.get());
    ASSERT_TRUE(context);
    std::vector<uint8_t> input(1 + random() % 300);
    for (auto& byte : input) byte = static_cast<uint8_t>(random() % 5 == 0 ? 0 : "abAB"[random() % 4]);

    const Outcome whole = Read(*context, RunScanPass(context.get(), input.data(), static_cast<uint32_t>(input.size())));
    for (size_t chunk : {size_t{1}, size_t{2}, size_t{3}, size_t{7}, size_t{1 + random() % 64}}) {
      BeginScanPass(context.get());
      for (size_t at = 0; at < input.size(); at += chunk) {
        FeedScanPass(context.get(), input.data() + at, std::min(chunk, input.size() - at));
        FeedScanPass(context.get(), input.data(), 0);  // empty chunks change nothing
      }
      ASSERT_EQ(Read(*context, FinishScanPass(context.get())), whole) << "round " << round << ", chunk " << chunk;
    }
  }
}

TEST(ScanStream, ANewStreamForgetsTheLastOne) {
  std::vector<SignatureInput> signatures(1);
  signatures[0].id = 1;
  signatures[0].pattern = {'a', 'b', 'c'};
  RuleInput rule;
  rule.id = 1;
  rule.flags = RuleFlagTopLevel;
  rule.expression = *bytecode::Encode(bytecode::SignatureRef(1));
  const std::vector<RuleInput> rules{rule};
  const auto body = WriteDatabaseBody(signatures, rules);
  const auto library = ParseDatabaseBody(body.data(), static_cast<uint32_t>(body.size()));
  const auto context = BuildScanContext(library.get());
  ASSERT_TRUE(context);
  const uint8_t first[] = {'x', 'a', 'b'};
  const uint8_t second[] = {'c', 'x'};
  BeginScanPass(context.get());
  FeedScanPass(context.get(), first, sizeof first);
  BeginScanPass(context.get());  // "ab" must not join a new stream's "c"
  FeedScanPass(context.get(), second, sizeof second);
  EXPECT_EQ(FinishScanPass(context.get()), 0);
  BeginScanPass(context.get());
  FeedScanPass(context.get(), first, sizeof first);
  FeedScanPass(context.get(), second, sizeof second);
  EXPECT_EQ(FinishScanPass(context.get()), 1);
}

}  // namespace
}  // namespace veltor
