// Corruption sweep: a real database of a few kilobytes, written with the
// database writer, with every single byte changed in turn (two ways) and
// truncated at every length. Each variant goes through the real loader and,
// where it loads, is used for a scan. Nothing may crash, read outside its
// buffers or leak (the sanitizer build judges that); the checksums must
// catch every change they cover.
//
// The body-level sweeps parse from memory: a file per variant would add only
// the envelope, which the file-level sweep covers through VeltorNewA.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "api/api_fixture.h"
#include "database/little_endian.h"
#include "database/signature_library.h"
#include "dbwriter/database_envelope.h"
#include "dbwriter/database_writer.h"
#include "fuzz/fuzz_support.h"
#include "scan/scan_context.h"
#include "tools/bytecode/expression_tree.h"

namespace veltor::testing {
namespace {

using namespace bytecode;

SignatureInput Signature(uint32_t id, std::string_view pattern, uint32_t flags, std::string_view extra = {}) {
  SignatureInput signature = TextSignature(id, pattern, flags);
  signature.reserved1 = id * 7;
  signature.extra.assign(extra.begin(), extra.end());
  return signature;
}

RuleInput Rule(uint32_t id, std::string_view name, const ExpressionNode& expression, uint32_t flags) {
  RuleInput rule = InnerRule(id, name, expression);
  rule.flags = flags;
  return rule;
}

// Signatures of every kind (short and long, exact-case, wide, empty, with
// extra bytes, a duplicate id, one longer than the matcher's window) and
// rules of every kind (each opcode family, references, a cycle, inner and
// top-level rules, an unknown opcode, empty names and expressions), stored
// out of id order.
std::vector<SignatureInput> SweepSignatures() {
  return {Signature(30, "needle", SignatureFlagExactCase, "extra bytes"),
          Signature(10, "", 0),
          Signature(20, "wide", SignatureFlagWide),
          Signature(40, "Mixed", SignatureFlagWide | SignatureFlagExactCase),
          Signature(50, "ab", 0),
          Signature(60, "z", SignatureFlagExactCase),
          Signature(60, "dup", 0),
          Signature(70, std::string(260, 'q'), 0, "tail"),
          Signature(0xFFFFFFFFu, "last", 0)};
}

std::vector<RuleInput> SweepRules() {
  return {
      Rule(100, "Sweep.Needle", SignatureRef(30), RuleFlagTopLevel),
      Rule(200, "Sweep.Either", Or(SignatureRef(20), SignatureRef(40), RuleRef(300)), RuleFlagTopLevel),
      Rule(300, "Sweep.Helper", And(SignatureRef(50), Not(SignatureRef(60))), 0),
      Rule(400, "Sweep.Score",
           Quotient(Sum(Int32(3), Float32(0.5f), Float64(0.25)), Max(Int32(2), Min(Int32(5), Int32(4)))),
           RuleFlagTopLevel),
      Rule(500, "Sweep.Compare",
           Xor(Greater(RuleRef(400), Float64(0.5)), LessEqual(Int32(1), Int32(2)), Equal(Bool(true), Int32(1))),
           RuleFlagTopLevel),
      Rule(600, "Sweep.Cycle", Or(RuleRef(700), SignatureRef(30)), RuleFlagTopLevel),
      Rule(700, "Sweep.Cycle2", And(RuleRef(600), Bool(true)), RuleFlagTopLevel),
      Rule(800, "Sweep.Power", Power(Int32(2), Root(Int32(9), Int32(2))), RuleFlagTopLevel),
      Rule(900, "Sweep.Unknown", Aggregate(99, {Int32(1)}), RuleFlagTopLevel),
      Rule(1000, "", Difference(SignatureRef(70), Product(SignatureRef(0xFFFFFFFFu), Int32(2))), RuleFlagTopLevel),
      Rule(1100, "Sweep.Less", Less(Difference(Int32(1), Int32(6)), GreaterEqual(Int32(0), Int32(0))), RuleFlagTopLevel),
      Rule(1200, "Sweep.Empty", Or(), 0),
  };
}

std::vector<uint8_t> SweepBody() {
  std::vector<RuleInput> rules = SweepRules();
  rules.back().expression.clear();
  return WriteDatabaseBody(SweepSignatures(), rules);
}

const std::string ScannedText =
    std::string("a needle, NEEDLE, w\0i\0d\0e\0, M\0i\0x\0e\0d\0, abz dup last ", 53) + std::string(270, 'Q');

// Parses the body; where it loads, builds its scan context and runs a scan
// pass over the text. True when it loaded.
bool ParseAndScan(const std::vector<uint8_t>& body) {
  SignatureLibraryPtr library = ParseDatabaseBody(body.data(), static_cast<uint32_t>(body.size()));
  if (!library) return false;
  ScanContextPtr context = BuildScanContext(library.get());
  EXPECT_TRUE(context != nullptr);
  if (!context) return true;
  const int32_t fired =
      RunScanPass(context.get(), reinterpret_cast<const uint8_t*>(ScannedText.data()), static_cast<uint32_t>(ScannedText.size()));
  EXPECT_GE(fired, 0);
  EXPECT_LE(static_cast<uint32_t>(fired), library->header.ruleCount);
  return true;
}

TEST(CorruptionSweep, TheDatabaseIsAFewKilobytesAndFires) {
  const auto body = SweepBody();
  EXPECT_GE(body.size(), 1024u);
  EXPECT_LE(body.size(), 8192u);
  EXPECT_TRUE(ParseAndScan(body));
}

// Every changed byte fails a checksum. With the checksums recomputed over the
// changed bytes, the change reaches the fields and records themselves: the
// body then loads and scans, or is rejected, but never misbehaves. Returns
// how many fixed variants loaded.
size_t SweepChangedBodyBytes(uint8_t mask) {
  const auto body = SweepBody();
  size_t loadedAfterFixing = 0;
  for (size_t position = 0; position < body.size(); ++position) {
    auto changed = body;
    changed[position] ^= mask;
    EXPECT_FALSE(ParseAndScan(changed)) << "byte " << position;
    fuzz::FixBodyChecks(changed);
    if (ParseAndScan(changed)) ++loadedAfterFixing;
  }
  return loadedAfterFixing;
}

// Each sweep is a test of its own, so that CTest can run them side by side.
// Most changes hit names, patterns, expressions and ids, which still load.
TEST(CorruptionSweep, EveryBodyByteInverted) { EXPECT_GT(SweepChangedBodyBytes(0xFF), SweepBody().size() / 2); }

// Off by one in the low bit: lengths and counts one more or one less.
TEST(CorruptionSweep, EveryBodyByteLowBitFlipped) { EXPECT_GT(SweepChangedBodyBytes(0x01), SweepBody().size() / 2); }

// A body cut short fails the size check. Told its new size (totalSize and
// the table extents cut to it, checksums recomputed), it has records that
// run past their table, and is rejected without reading past the body.
TEST(CorruptionSweep, EveryTruncatedBody) {
  const auto body = SweepBody();
  for (size_t length = 0; length < body.size(); ++length) {
    std::vector<uint8_t> cut(body.begin(), body.begin() + static_cast<std::ptrdiff_t>(length));
    EXPECT_FALSE(ParseAndScan(cut)) << "length " << length;
    if (length < BodyHeaderSize) continue;
    const auto size = static_cast<uint32_t>(length);
    StoreU32(&cut[20], size);
    for (const size_t field : {size_t{24}, size_t{36}}) {  // offset, then length, of each table
      const uint32_t offset = std::min(LoadU32(&cut[field]), size);
      StoreU32(&cut[field + 4], std::min(LoadU32(&cut[field + 4]), size - offset));
    }
    fuzz::FixBodyChecks(cut);
    EXPECT_FALSE(ParseAndScan(cut)) << "length " << length;
  }
}

// The whole file through the shared library (every byte inverted; the body
// sweeps above cover the second value): only the envelope's free bytes
// (16 to 255) may change without the file being refused, and a database
// that still loads reports exactly what the intact one does. A file cut
// short never loads.
TEST(CorruptionSweep, EveryChangedAndTruncatedFileThroughTheLibrary) {
  TempDir dir;
  const auto file = SealDatabase(SweepBody());
  const auto expected = [&] {
    Handle handle(Open(dir.Write("sweep.vlb", file)));
    return ScanText(handle.get(), ScannedText);
  }();
  ASSERT_FALSE(expected.empty());

  for (size_t position = 0; position < file.size(); ++position) {
    auto changed = file;
    changed[position] ^= 0xFF;
    Handle handle(Open(dir.Write("sweep.vlb", changed)));
    const bool freeByte = position >= 16 && position < 256;
    ASSERT_EQ(static_cast<bool>(handle), freeByte) << "byte " << position;
    if (handle) {
      EXPECT_EQ(ScanText(handle.get(), ScannedText), expected) << "byte " << position;
    }
  }
  for (size_t length = 0; length < file.size(); ++length) {
    Handle handle(Open(dir.Write("sweep.vlb", std::span(file).first(length))));
    ASSERT_FALSE(handle) << "length " << length;
  }
}

}  // namespace
}  // namespace veltor::testing
