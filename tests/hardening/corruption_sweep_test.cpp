// Corruption sweep: the tests' sample database (support/records.h), a few
// kilobytes written with the database writer, with every single byte
// changed in turn (two ways) and truncated at every length. Each variant
// goes through the real loader and, where it loads, is used for a scan.
// Nothing may crash, read outside its buffers or leak (the sanitizer build
// judges that); the checksums must catch every change they cover.
//
// The body-level sweeps parse from memory: a file per variant would add only
// the envelope, which the file-level sweep covers through VeltorNewA.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "engine/api/api_fixture.h"
#include "engine/text/little_endian.h"
#include "engine/database/signature_library.h"
#include "compiler/dbwriter/database_envelope.h"
#include "fuzz/fuzz_support.h"
#include "engine/scan/scan_context.h"

namespace veltor::testing {
namespace {

const std::string ScannedText =
    std::string("a needle, NEEDLE, w\0i\0d\0e\0, M\0i\0x\0e\0d\0, abz dup last ", 53) + std::string(270, 'Q');

// Parses the body; where it loads, builds its scan context and runs a scan
// pass over the text. Returns how many rules fired, or -1 when it did not
// load.
int32_t ScanCount(const std::vector<uint8_t>& body) {
  SignatureLibraryPtr library = Parse(body);
  if (!library) return -1;
  ScanContextPtr context = BuildScanContext(library.get());
  EXPECT_TRUE(context != nullptr);
  if (!context) return 0;
  const int32_t fired =
      RunScanPass(context.get(), reinterpret_cast<const uint8_t*>(ScannedText.data()), static_cast<uint32_t>(ScannedText.size()));
  EXPECT_GE(fired, 0);
  EXPECT_LE(static_cast<uint32_t>(fired), library->header.ruleCount);
  return fired;
}

bool ParseAndScan(const std::vector<uint8_t>& body) { return ScanCount(body) >= 0; }

TEST(CorruptionSweep, TheDatabaseIsAFewKilobytesAndFires) {
  const auto body = SampleBody();
  EXPECT_GE(body.size(), 1024u);
  EXPECT_LE(body.size(), 8192u);
  EXPECT_EQ(ScanCount(body), 7);
}

// Every changed byte fails a checksum. With the checksums recomputed over the
// changed bytes, the change reaches the fields and records themselves: the
// body then loads and scans, or is rejected, but never misbehaves. Returns
// how many fixed variants loaded.
size_t SweepChangedBodyBytes(uint8_t mask) {
  const auto body = SampleBody();
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
TEST(CorruptionSweep, EveryBodyByteInverted) { EXPECT_GT(SweepChangedBodyBytes(0xFF), SampleBody().size() / 2); }

// Off by one in the low bit: lengths and counts one more or one less.
TEST(CorruptionSweep, EveryBodyByteLowBitFlipped) { EXPECT_GT(SweepChangedBodyBytes(0x01), SampleBody().size() / 2); }

// A body cut short fails the size check. Told its new size (totalSize and
// the table extents cut to it, checksums recomputed), it has records that
// run past their table, and is rejected without reading past the body.
TEST(CorruptionSweep, EveryTruncatedBody) {
  const auto body = SampleBody();
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
  const auto file = SealDatabase(SampleBody());
  const auto expected = [&] {
    Handle handle(Open(dir.Write("sweep.vlb", file)));
    return ScanText(handle.get(), ScannedText);
  }();
  // Cycle2 reads Cycle while Cycle is in progress (0), so it stays silent.
  ASSERT_EQ(expected, (std::vector<AnsiReport>{{1, "Sample.Needle"}, {1, "Sample.Either"}, {2, "Sample.Score"},
                                               {1, "Sample.Compare"}, {1, "Sample.Cycle"}, {1, "Sample.Power"},
                                               {1, "Sample.Less"}}));

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
