// The body checks, in the order the loader makes them, and what a loaded
// library holds.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "engine/text/little_endian.h"
#include "engine/database/signature_library.h"
#include "support/records.h"

namespace veltor::testing {
namespace {

constexpr uint32_t Max = 0xFFFFFFFFU;

std::vector<uint8_t> EmptyBody(const BodyOptions& options = {}) { return WriteDatabaseBody({}, {}, options); }

// Sample body with one header field forced; the header CRC is recomputed so
// that the forged field itself is what the loader sees.
std::vector<uint8_t> Forged(const std::function<void(HeaderOverrides&)>& forge, BodyOptions options = {}) {
  forge(options.overrides);
  return SampleBody(options);
}

DatabaseHeader HeaderOf(const std::vector<uint8_t>& body) {
  return DecodeDatabaseHeader(std::span<const uint8_t, BodyHeaderSize>(body.data(), BodyHeaderSize));
}

struct BodyCase {
  std::string name;
  std::function<std::vector<uint8_t>()> make;
  bool loads;
};

// Shown by name in test output, not as raw bytes.
void PrintTo(const BodyCase& c, std::ostream* out) { *out << c.name; }

std::string CaseName(const ::testing::TestParamInfo<BodyCase>& info) { return info.param.name; }

class BodyChecks : public ::testing::TestWithParam<BodyCase> {};

TEST_P(BodyChecks, LoadsOrIsRejected) {
  const SignatureLibraryPtr library = Parse(GetParam().make());
  EXPECT_EQ(library != nullptr, GetParam().loads);
}

BodyOptions WithTrailingBytes(uint32_t count) {
  BodyOptions options;
  options.bytesAfterTotalSize = count;
  return options;
}

BodyOptions RulesFirst() {
  BodyOptions options;
  options.order = TableOrder::RulesFirst;
  return options;
}

// Size, magic, header CRC and totalSize.
INSTANTIATE_TEST_SUITE_P(
    Header, BodyChecks,
    ::testing::Values(
        BodyCase{"Body127Bytes",
                 [] {
                   auto body = EmptyBody();
                   body.resize(127);
                   return body;
                 },
                 false},
        BodyCase{"Body128BytesEmpty", [] { return EmptyBody(); }, true},
        BodyCase{"WrongMagic", [] { return Forged([](auto& o) { o.magic = {'Q', 'D', 'L', 'b'}; }); }, false},
        BodyCase{"WrongHeaderCrc",
                 [] {
                   auto body = SampleBody();
                   StoreU32(body.data() + 116, HeaderOf(body).headerCrc ^ 1);
                   return body;
                 },
                 false},
        BodyCase{"TotalSizeEqualsLength", [] { return SampleBody(); }, true},
        BodyCase{"TotalSizeOneMoreThanLength",
                 [] { return Forged([](auto& o) { o.totalSize = static_cast<uint32_t>(SampleBody().size() + 1); }); },
                 false},
        BodyCase{"TotalSizeMax", [] { return Forged([](auto& o) { o.totalSize = Max; }); }, false},
        BodyCase{"TotalSizeCoversTrailingBytes",
                 [] {
                   return Forged([](auto& o) { o.totalSize = static_cast<uint32_t>(SampleBody().size() + 7); },
                                 WithTrailingBytes(7));
                 },
                 true},
        BodyCase{"TotalSizeCutsLastTable",
                 [] { return Forged([](auto& o) { o.totalSize = static_cast<uint32_t>(SampleBody().size() - 1); }); },
                 false}),
    CaseName);

// Table extents and CRCs. The sample ends with the rule table (signatures
// first) or with the signature table (rules first), so "ends at totalSize"
// is the natural layout; a trailing byte keeps a one-byte-longer table inside
// the body, so that only the extent check can refuse it.
INSTANTIATE_TEST_SUITE_P(
    Tables, BodyChecks,
    ::testing::Values(
        BodyCase{"RuleTableEndsAtTotalSize", [] { return SampleBody(WithTrailingBytes(1)); }, true},
        BodyCase{"RuleTableOneByteLonger",
                 [] {
                   const auto length = HeaderOf(SampleBody()).ruleTableLength;
                   return Forged([&](auto& o) { o.ruleTableLength = length + 1; }, WithTrailingBytes(1));
                 },
                 false},
        BodyCase{"SignatureTableEndsAtTotalSize", [] { return SampleBody(RulesFirst()); }, true},
        BodyCase{"SignatureTableOneByteLonger",
                 [] {
                   auto options = RulesFirst();
                   options.bytesAfterTotalSize = 1;
                   const auto length = HeaderOf(SampleBody(options)).signatureTableLength;
                   return Forged([&](auto& o) { o.signatureTableLength = length + 1; }, options);
                 },
                 false},
        BodyCase{"EmptySignatureTableAtTotalSize", [] { return WriteDatabaseBody({}, SampleRules(), RulesFirst()); },
                 true},
        BodyCase{"SignatureTableOffsetPastTotalSize",
                 [] {
                   BodyOptions options = WithTrailingBytes(1);
                   options.overrides.signatureTableOffset = BodyHeaderSize + 1;
                   return WriteDatabaseBody({}, {}, options);
                 },
                 false},
        BodyCase{"RuleTableOffsetPastTotalSize",
                 [] {
                   BodyOptions options = WithTrailingBytes(1);
                   options.overrides.ruleTableOffset = BodyHeaderSize + 1;
                   return WriteDatabaseBody({}, {}, options);
                 },
                 false},
        BodyCase{"SignatureExtentWraps",
                 [] {
                   return Forged([](auto& o) {
                     o.signatureTableOffset = Max;
                     o.signatureTableLength = Max;
                   });
                 },
                 false},
        BodyCase{"RuleExtentWraps",
                 [] {
                   return Forged([](auto& o) {
                     o.ruleTableOffset = 16;
                     o.ruleTableLength = Max - 15;
                   });
                 },
                 false},
        BodyCase{"EmptyTablesInsideHeader",
                 [] {
                   BodyOptions options;
                   options.overrides.signatureTableOffset = 0;
                   options.overrides.ruleTableOffset = 60;
                   return WriteDatabaseBody({}, {}, options);
                 },
                 true},
        BodyCase{"EmptyTableWithNonZeroCrc",
                 [] {
                   BodyOptions options;
                   options.overrides.ruleTableCrc = 1;
                   return WriteDatabaseBody(SampleSignatures(), {}, options);
                 },
                 false},
        BodyCase{"WrongSignatureTableCrc",
                 [] { return Forged([](auto& o) { o.signatureTableCrc = 0x1234; }); }, false},
        BodyCase{"WrongRuleTableCrc", [] { return Forged([](auto& o) { o.ruleTableCrc = 0x1234; }); }, false},
        BodyCase{"RulesFirstWithGapsAndSlack",
                 [] {
                   BodyOptions options = RulesFirst();
                   options.gapBeforeTables = 5;
                   options.gapBetweenTables = 3;
                   options.signatureTableSlack = 11;
                   options.ruleTableSlack = 2;
                   options.bytesAfterTotalSize = 9;
                   options.filler = 0xCC;
                   return SampleBody(options);
                 },
                 true}),
    CaseName);

uint32_t Count(const auto& records) { return static_cast<uint32_t>(records.size()); }

SignatureInput WithPatternLength(uint32_t field) {
  SignatureInput signature = Signature(5, "abc", 0, "de");
  signature.patternLengthField = field;
  return signature;
}

SignatureInput WithExtraLength(uint32_t field) {
  SignatureInput signature = Signature(5, "abc", 0, "de");
  signature.extraLengthField = field;
  return signature;
}

RuleInput WithNameLength(uint32_t field) {
  RuleInput rule = RawRule(5, "name", {1, 2});
  rule.nameLengthField = field;
  return rule;
}

RuleInput WithExpressionLength(uint32_t field) {
  RuleInput rule = RawRule(5, "name", {1, 2});
  rule.expressionLengthField = field;
  return rule;
}

// The forged record comes first, its table is followed by the other table,
// so a record that overruns reaches into real body bytes, not past the end.
std::vector<uint8_t> WithSignature(SignatureInput forged) {
  std::vector<SignatureInput> signatures{std::move(forged)};
  return WriteDatabaseBody(signatures, SampleRules());
}

std::vector<uint8_t> WithRule(RuleInput forged) {
  std::vector<RuleInput> rules{std::move(forged)};
  return WriteDatabaseBody(SampleSignatures(), rules, RulesFirst());
}

// Counts and record lengths that claim more than the table holds.
INSTANTIATE_TEST_SUITE_P(
    Records, BodyChecks,
    ::testing::Values(
        BodyCase{"SignatureCountMax", [] { return Forged([](auto& o) { o.signatureCount = Max; }); }, false},
        BodyCase{"RuleCountMax", [] { return Forged([](auto& o) { o.ruleCount = Max; }); }, false},
        BodyCase{"SignatureCountOneMore",
                 [] { return Forged([](auto& o) { o.signatureCount = Count(SampleSignatures()) + 1; }); }, false},
        BodyCase{"RuleCountOneMore", [] { return Forged([](auto& o) { o.ruleCount = Count(SampleRules()) + 1; }); },
                 false},
        BodyCase{"SignatureCountLessThanRecords", [] { return Forged([](auto& o) { o.signatureCount = 1; }); },
                 true},
        BodyCase{"ExtraSignatureReadFromSlack",
                 [] {
                   BodyOptions options;
                   options.signatureTableSlack = SignatureRecordFixedSize;
                   return Forged([](auto& o) { o.signatureCount = 4; }, options);
                 },
                 true},
        BodyCase{"ExtraRuleReadFromSlack",
                 [] {
                   BodyOptions options;
                   options.ruleTableSlack = RuleRecordFixedSize;
                   return Forged([](auto& o) { o.ruleCount = 4; }, options);
                 },
                 true},
        // Each record fits the minimum-size bound but together they overrun.
        BodyCase{"SignatureCountFitsMinimumButRecordsOverrun",
                 [] {
                   std::vector<SignatureInput> signatures{Signature(1, "abcdefghijklmnopqrstuvwx"),
                                                          Signature(2, "abcdefghijklmnopqrstuvwx")};
                   BodyOptions options;
                   options.overrides.signatureCount = 3;
                   return WriteDatabaseBody(signatures, SampleRules(), options);
                 },
                 false},
        BodyCase{"SignatureTableShorterThanItsRecords",
                 [] {
                   const auto length = HeaderOf(SampleBody()).signatureTableLength;
                   return Forged([&](auto& o) { o.signatureTableLength = length - 1; });
                 },
                 false},
        // Passes the count bound (64 bytes hold two fixed parts) but the
        // second record's fixed part is cut after 10 bytes.
        BodyCase{"SignatureTableCutsFixedPart",
                 [] {
                   std::vector<SignatureInput> signatures{Signature(1, "abcdefghijklmnopqrstuvwxyz0123"),
                                                          Signature(2, "")};
                   BodyOptions options;
                   options.overrides.signatureTableLength = SignatureRecordFixedSize + 30 + 10;
                   return WriteDatabaseBody(signatures, SampleRules(), options);
                 },
                 false},
        BodyCase{"RuleTableShorterThanItsRecords",
                 [] {
                   const auto length = HeaderOf(SampleBody()).ruleTableLength;
                   return Forged([&](auto& o) { o.ruleTableLength = length - 1; }, WithTrailingBytes(1));
                 },
                 false},
        BodyCase{"PatternLengthOneMore", [] { return WithSignature(WithPatternLength(4)); }, false},
        BodyCase{"PatternLengthMax", [] { return WithSignature(WithPatternLength(Max)); }, false},
        BodyCase{"PatternLengthMaxMinusOne", [] { return WithSignature(WithPatternLength(Max - 1)); }, false},
        BodyCase{"PatternLengthWrapsRecordSize", [] { return WithSignature(WithPatternLength(Max - 23)); }, false},
        BodyCase{"ExtraLengthOneMore", [] { return WithSignature(WithExtraLength(3)); }, false},
        BodyCase{"ExtraLengthMax", [] { return WithSignature(WithExtraLength(Max)); }, false},
        BodyCase{"ExtraLengthMaxMinusOne", [] { return WithSignature(WithExtraLength(Max - 1)); }, false},
        BodyCase{"NameLengthOneMore", [] { return WithRule(WithNameLength(5)); }, false},
        BodyCase{"NameLengthMax", [] { return WithRule(WithNameLength(Max)); }, false},
        BodyCase{"NameLengthWrapsRecordSize", [] { return WithRule(WithNameLength(Max - 15)); }, false},
        BodyCase{"ExpressionLengthOneMore", [] { return WithRule(WithExpressionLength(3)); }, false},
        BodyCase{"ExpressionLengthMax", [] { return WithRule(WithExpressionLength(Max)); }, false},
        BodyCase{"ExpressionLengthMaxMinusOne", [] { return WithRule(WithExpressionLength(Max - 1)); }, false},
        BodyCase{"ForgedRecordsUnforged", [] { return WithRule(RawRule(5, "name", {1, 2})); }, true}),
    CaseName);

// Flipping any byte the CRCs cover is caught; bytes outside the header and
// both tables, before or after totalSize, are never looked at.
TEST(BodyBytes, EveryCoveredByteIsCheckedAndNoOtherIs) {
  BodyOptions options;
  options.gapBeforeTables = 4;
  options.gapBetweenTables = 4;
  options.bytesAfterTotalSize = 4;
  const std::vector<uint8_t> body = SampleBody(options);
  const DatabaseHeader header = HeaderOf(body);
  auto inTable = [](uint32_t at, uint32_t offset, uint32_t length) { return at >= offset && at - offset < length; };
  ASSERT_TRUE(Parse(body));
  for (uint32_t at = 0; at < body.size(); ++at) {
    const bool covered = at < BodyHeaderSize ||
                         inTable(at, header.signatureTableOffset, header.signatureTableLength) ||
                         inTable(at, header.ruleTableOffset, header.ruleTableLength);
    std::vector<uint8_t> changed = body;
    changed[at] ^= 0x01;
    EXPECT_EQ(Parse(changed) == nullptr, covered) << "byte " << at;
  }
}

TEST(LoadedLibrary, EmptyBodyHasNoArrays) {
  const SignatureLibraryPtr library = Parse(EmptyBody());
  ASSERT_TRUE(library);
  EXPECT_EQ(library->header.signatureCount, 0U);
  EXPECT_EQ(library->header.ruleCount, 0U);
  EXPECT_EQ(library->signatures, nullptr);
  EXPECT_EQ(library->rules, nullptr);
}

TEST(LoadedLibrary, HeaderIsCopiedVerbatim) {
  BodyOptions options;
  options.reserved1 = 0x01020304;
  options.reserved2 = 0xF0E0D0C0;
  options.buildTime = 0x01D9'1234'5678'9ABCULL;
  for (std::size_t n = 0; n < options.reservedArea.size(); ++n) options.reservedArea[n] = static_cast<uint8_t>(n + 1);
  const std::vector<uint8_t> body = SampleBody(options);
  const SignatureLibraryPtr library = Parse(body);
  ASSERT_TRUE(library);
  const auto copy = EncodeDatabaseHeader(library->header);
  EXPECT_TRUE(std::equal(copy.begin(), copy.end(), body.begin()));
  EXPECT_EQ(BuildTime(library->header), options.buildTime);
}

// Ids compare as unsigned: 1 before 0x80000000 before 0xFFFFFFFF. Duplicates
// are kept; each record's own fields travel with it.
TEST(LoadedLibrary, RecordsAreSortedByUnsignedId) {
  const std::vector<SignatureInput> signatures{Signature(0xFFFFFFFFU, "max"), Signature(1, "one"),
                                               Signature(0x80000000U, "high"), Signature(0, "zero"),
                                               Signature(1, "one")};
  const std::vector<RuleInput> rules{RawRule(0xFFFFFFFFU, "max"), RawRule(0x80000000U, "high"), RawRule(1, "one"),
                                     RawRule(7, "seven"), RawRule(7, "seven")};
  const SignatureLibraryPtr library = Parse(WriteDatabaseBody(signatures, rules));
  ASSERT_TRUE(library);

  const uint32_t signatureIds[] = {0, 1, 1, 0x80000000U, 0xFFFFFFFFU};
  const char* patterns[] = {"zero", "one", "one", "high", "max"};
  ASSERT_EQ(Signatures(*library).size(), 5U);
  for (std::size_t n = 0; n < 5; ++n) {
    const SignatureRecord& record = Signatures(*library)[n];
    EXPECT_EQ(record.id, signatureIds[n]);
    EXPECT_STREQ(reinterpret_cast<const char*>(record.pattern.get()), patterns[n]);
    EXPECT_EQ(record.reserved1, record.id ^ 0xA5A5A5A5U);
  }
  const uint32_t ruleIds[] = {1, 7, 7, 0x80000000U, 0xFFFFFFFFU};
  const char* names[] = {"one", "seven", "seven", "high", "max"};
  ASSERT_EQ(Rules(*library).size(), 5U);
  for (std::size_t n = 0; n < 5; ++n) {
    EXPECT_EQ(Rules(*library)[n].id, ruleIds[n]);
    EXPECT_STREQ(Rules(*library)[n].name.get(), names[n]);
  }
}

TEST(LoadedLibrary, FieldsAndBuffersAreCopied) {
  SignatureInput wide = Signature(2, "ab", SignatureFlagWide | 0x100, std::string_view("\0\1", 2));
  const std::vector<SignatureInput> signatures{wide, Signature(1, "")};
  const std::vector<RuleInput> rules{RawRule(9, "Top", {0xAA, 0xBB}, RuleFlagTopLevel | 0x80), RawRule(8, "", {}, 0)};
  const SignatureLibraryPtr library = Parse(WriteDatabaseBody(signatures, rules));
  ASSERT_TRUE(library);

  const SignatureRecord& empty = library->signatures[0];
  EXPECT_EQ(empty.patternLength, 0U);
  EXPECT_EQ(empty.pattern, nullptr);
  EXPECT_EQ(empty.extraLength, 0U);
  EXPECT_EQ(empty.extra, nullptr);

  const SignatureRecord& full = library->signatures[1];
  EXPECT_EQ(full.flags, SignatureFlagWide | 0x100);
  EXPECT_EQ(full.reserved1, wide.reserved1);
  EXPECT_EQ(full.reserved2, wide.reserved2);
  ASSERT_EQ(full.patternLength, 2U);
  EXPECT_EQ(std::vector<uint8_t>(full.pattern.get(), full.pattern.get() + 4), (std::vector<uint8_t>{'a', 'b', 0, 0}));
  ASSERT_EQ(full.extraLength, 2U);
  EXPECT_EQ(std::vector<uint8_t>(full.extra.get(), full.extra.get() + 4), (std::vector<uint8_t>{0, 1, 0, 0}));

  const RuleRecord& unnamed = library->rules[0];
  EXPECT_EQ(unnamed.nameLength, 0U);
  EXPECT_EQ(unnamed.name, nullptr);
  EXPECT_EQ(unnamed.expressionLength, 0U);
  EXPECT_EQ(unnamed.expression, nullptr);

  const RuleRecord& top = library->rules[1];
  EXPECT_EQ(top.flags, RuleFlagTopLevel | 0x80);
  ASSERT_EQ(top.nameLength, 3U);
  EXPECT_EQ(std::string(top.name.get(), 5), std::string("Top\0\0", 5));
  ASSERT_EQ(top.expressionLength, 2U);
  EXPECT_EQ(top.expression[0], 0xAA);
  EXPECT_EQ(top.expression[1], 0xBB);
}

TEST(LoadedLibrary, FreeAcceptsNull) { FreeSignatureLibrary(nullptr); }

}  // namespace
}  // namespace veltor::testing
