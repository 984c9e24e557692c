// The database writer against the real loader: what it writes and seals
// comes back from disk unchanged, and its forged fields are written as asked.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "engine/database/database_file.h"
#include "engine/text/little_endian.h"
#include "compiler/dbwriter/atomic_file.h"
#include "compiler/dbwriter/database_envelope.h"
#include "support/records.h"
#include "support/temp_dir.h"

namespace veltor::testing {
namespace {

std::vector<uint8_t> ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<uint8_t> Buffer(const uint8_t* bytes, uint32_t length, uint32_t terminator) {
  if (bytes == nullptr) return {};
  return {bytes, bytes + length + terminator};
}

std::vector<uint8_t> WithTwoZeros(std::vector<uint8_t> bytes) {
  if (bytes.empty()) return bytes;
  bytes.push_back(0);
  bytes.push_back(0);
  return bytes;
}

TEST(DatabaseRoundTrip, WrittenSealedAndLoadedRecordsComeBackSortedAndEqual) {
  std::vector<SignatureInput> signatures = SampleSignatures();
  signatures.push_back(Signature(0xFFFFFFFFU, std::string(300, 'x'), 0xFF, std::string(70, '\0')));
  signatures.push_back(Signature(1, "first"));
  std::vector<RuleInput> rules = SampleRules();
  rules.push_back(RawRule(0xFFFFFFFFU, "Last", std::vector<uint8_t>(1000, 0x5E)));
  rules.push_back(RawRule(1, "First", {}, 0));

  BodyOptions options;
  options.buildTime = 0x01DA'0000'1234'5678ULL;
  options.reserved1 = 11;
  options.reserved2 = 22;
  options.reservedArea.fill(0x33);
  options.order = TableOrder::RulesFirst;
  options.gapBetweenTables = 8;
  const std::vector<uint8_t> body = WriteDatabaseBody(signatures, rules, options);
  std::vector<uint8_t> filler(EnvelopeFillerSize);
  for (std::size_t n = 0; n < filler.size(); ++n) filler[n] = static_cast<uint8_t>(n * 7);
  const std::vector<uint8_t> file = SealDatabase(body, filler);

  TempDir dir;
  const auto path = dir.path() / "qzdata.vlb";
  ASSERT_TRUE(WriteFileAtomically(path, file));
  const SignatureLibraryPtr library = LoadDatabaseFile(path.string().c_str());
  ASSERT_TRUE(library);

  const auto header = EncodeDatabaseHeader(library->header);
  EXPECT_TRUE(std::equal(header.begin(), header.end(), body.begin()));
  EXPECT_EQ(BuildTime(library->header), options.buildTime);

  auto byId = [](const auto& a, const auto& b) { return a.id < b.id; };
  std::stable_sort(signatures.begin(), signatures.end(), byId);
  std::stable_sort(rules.begin(), rules.end(), byId);
  ASSERT_EQ(Signatures(*library).size(), signatures.size());
  for (std::size_t n = 0; n < signatures.size(); ++n) {
    const SignatureRecord& loaded = Signatures(*library)[n];
    const SignatureInput& written = signatures[n];
    EXPECT_EQ(loaded.id, written.id);
    EXPECT_EQ(loaded.flags, written.flags);
    EXPECT_EQ(loaded.reserved1, written.reserved1);
    EXPECT_EQ(loaded.reserved2, written.reserved2);
    EXPECT_EQ(Buffer(loaded.pattern.get(), loaded.patternLength, 2), WithTwoZeros(written.pattern));
    EXPECT_EQ(Buffer(loaded.extra.get(), loaded.extraLength, 2), WithTwoZeros(written.extra));
  }
  ASSERT_EQ(Rules(*library).size(), rules.size());
  for (std::size_t n = 0; n < rules.size(); ++n) {
    const RuleRecord& loaded = Rules(*library)[n];
    EXPECT_EQ(loaded.id, rules[n].id);
    EXPECT_EQ(loaded.flags, rules[n].flags);
    EXPECT_EQ(Buffer(reinterpret_cast<const uint8_t*>(loaded.name.get()), loaded.nameLength, 2),
              WithTwoZeros(rules[n].name));
    EXPECT_EQ(Buffer(loaded.expression.get(), loaded.expressionLength, 0), rules[n].expression);
  }
}

TEST(DatabaseEnvelope, SealedFileHasMagicFillerAndEncryptedBody) {
  const std::vector<uint8_t> body = SampleBody();
  const std::vector<uint8_t> file = SealDatabase(body);
  ASSERT_EQ(file.size(), EnvelopeHeaderSize + body.size());
  EXPECT_TRUE(std::equal(EnvelopeMagic.begin(), EnvelopeMagic.end(), file.begin()));
  EXPECT_TRUE(std::all_of(file.begin() + 16, file.begin() + EnvelopeHeaderSize, [](uint8_t b) { return b == 0; }));
  EXPECT_FALSE(std::equal(body.begin(), body.end(), file.begin() + EnvelopeHeaderSize));
  EXPECT_EQ(UnsealDatabase(file), body);
  EXPECT_THROW(SealDatabase(body, std::vector<uint8_t>(239)), std::invalid_argument);
}

TEST(DatabaseEnvelope, UnsealRefusesWhatIsNoDatabaseFile) {
  const std::vector<uint8_t> file = SealDatabase(SampleBody());
  EXPECT_FALSE(UnsealDatabase(std::span(file).first(EnvelopeHeaderSize)));
  std::vector<uint8_t> foreign = file;
  foreign[3] = 0;
  EXPECT_FALSE(UnsealDatabase(foreign));
  EXPECT_EQ(UnsealDatabase(std::span(file).first(EnvelopeHeaderSize + 1))->size(), 1U);
}

TEST(DatabaseWriter, ForcedFieldsAreWrittenAsGiven) {
  SignatureInput signature = Signature(4, "abc", 0, "de");
  signature.patternLengthField = 0xFFFFFFF0U;
  RuleInput rule = RawRule(5, "nm", {7});
  rule.expressionLengthField = 9;
  const std::vector<uint8_t> signatureBytes = EncodeSignatureRecord(signature);
  EXPECT_EQ(signatureBytes.size(), 24U + 3 + 2);
  EXPECT_EQ(LoadU32(signatureBytes.data() + 12), 0xFFFFFFF0U);
  EXPECT_EQ(LoadU32(signatureBytes.data() + 16), 2U);
  const std::vector<uint8_t> ruleBytes = EncodeRuleRecord(rule);
  EXPECT_EQ(ruleBytes.size(), 16U + 2 + 1);
  EXPECT_EQ(LoadU32(ruleBytes.data() + 8), 2U);
  EXPECT_EQ(LoadU32(ruleBytes.data() + 14), 9U);

  BodyOptions options;
  options.overrides.signatureCount = 0xFFFFFFFFU;
  options.overrides.ruleTableOffset = 0x12345678U;
  options.overrides.headerCrc = 0xDEADBEEFU;
  const std::vector<uint8_t> body = SampleBody(options);
  const DatabaseHeader header =
      DecodeDatabaseHeader(std::span<const uint8_t, BodyHeaderSize>(body.data(), BodyHeaderSize));
  EXPECT_EQ(header.signatureCount, 0xFFFFFFFFU);
  EXPECT_EQ(header.ruleTableOffset, 0x12345678U);
  EXPECT_EQ(header.headerCrc, 0xDEADBEEFU);
  EXPECT_EQ(header.ruleTableCrc, 0U);  // the forged range lies outside the body
}

TEST(AtomicFile, ReplacesTheTargetAndLeavesNothingElse) {
  TempDir dir;
  const auto path = dir.Write("out.vlb", std::string_view("old content"));
  const std::vector<uint8_t> bytes = Bytes("new");
  ASSERT_TRUE(WriteFileAtomically(path, bytes));
  EXPECT_EQ(ReadFile(path), bytes);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), std::filesystem::directory_iterator()), 1);
}

TEST(AtomicFile, FailsInAMissingFolderAndLeavesTheFolderEmpty) {
  TempDir dir;
  EXPECT_FALSE(WriteFileAtomically(dir.path() / "missing" / "out.vlb", Bytes("x")));
  // The target is a folder: the rename fails and the temporary file goes.
  std::filesystem::create_directory(dir.path() / "taken");
  std::filesystem::create_directory(dir.path() / "taken" / "inner");
  EXPECT_FALSE(WriteFileAtomically(dir.path() / "taken", Bytes("x")));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), std::filesystem::directory_iterator()), 1);
}

}  // namespace
}  // namespace veltor::testing
