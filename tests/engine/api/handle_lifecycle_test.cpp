// Opening, dating and deleting handles through the exports.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "engine/api/api_fixture.h"
#include "compiler/dbwriter/database_envelope.h"
#include "compiler/bytecode/expression_tree.h"

namespace veltor::testing {
namespace {

using namespace bytecode;

std::vector<SignatureInput> OneSignature() { return {Signature(1, "needle")}; }
std::vector<RuleInput> OneRule() { return {Rule(1, "Found.Needle", SignatureRef(1))}; }

const VeltorWideChar* Wide(const std::u16string& text) { return reinterpret_cast<const VeltorWideChar*>(text.c_str()); }

TEST(HandleLifecycle, OpensAValidDatabaseByAnsiAndWidePath) {
  TempDir dir;
  const auto database = WriteDatabase(dir, "rules.vlb", OneSignature(), OneRule());
  Handle ansi(Veltor().newA(database.string().c_str()));
  ASSERT_TRUE(ansi);
  EXPECT_EQ(ScanText(ansi.get(), "a needle here").size(), 1u);

  Handle wide(Veltor().newW(Wide(WidePath(database))));
  ASSERT_TRUE(wide);
  EXPECT_EQ(ScanText(wide.get(), "NEEDLE").size(), 1u);
}

TEST(HandleLifecycle, RefusesFilesThatAreNotDatabases) {
  TempDir dir;
  const auto valid = SealDatabase(WriteDatabaseBody(OneSignature(), OneRule()));
  auto corrupt = valid;
  corrupt[256 + 130] ^= 0x01;  // inside the signature table
  auto foreignMagic = valid;
  foreignMagic[4] = 'q';
  const std::vector<uint8_t> envelopeOnly(valid.begin(), valid.begin() + 256);

  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
  };
  const Case cases[] = {{"empty", {}},
                        {"text", {'h', 'e', 'l', 'l', 'o'}},
                        {"corrupt", corrupt},
                        {"foreign-magic", foreignMagic},
                        {"envelope-only", envelopeOnly}};
  for (const Case& c : cases) {
    const auto path = dir.Write(c.name, c.bytes);
    EXPECT_EQ(Veltor().newA(path.string().c_str()), nullptr) << c.name;
    EXPECT_EQ(Veltor().newW(Wide(WidePath(path))), nullptr) << c.name;
  }
  EXPECT_EQ(Veltor().newA((dir.path() / "missing.vlb").string().c_str()), nullptr);
  EXPECT_EQ(Veltor().newA(dir.path().string().c_str()), nullptr) << "a folder";
}

TEST(HandleLifecycle, AnEmptyPathIsAPathNotTheDefault) {
  EXPECT_EQ(Veltor().newA(""), nullptr);
  EXPECT_EQ(Veltor().newW(Wide(u"")), nullptr);
}

TEST(HandleLifecycle, NullPathOpensQzdataBesideTheLibrary) {
  // A copy of the library in a folder of its own, with its default database.
  TempDir dir;
  const auto library = dir.path() / BuiltLibraryPath().filename();
  std::filesystem::copy_file(BuiltLibraryPath(), library);
  WriteDatabase(dir, "qzdata.vlb", OneSignature(), OneRule());
  const VeltorLibrary copy(library);

  for (ScanHandle* handle : {copy.exports().newA(nullptr), copy.exports().newW(nullptr)}) {
    ASSERT_NE(handle, nullptr);
    std::vector<AnsiReport> reports;
    EXPECT_EQ(copy.exports().memoryA(handle, "needle", 6, CollectAnsi, &reports), 1);
    copy.exports().deleteHandle(handle);
  }
  std::filesystem::remove(dir.path() / "qzdata.vlb");
  EXPECT_EQ(copy.exports().newA(nullptr), nullptr);
}

TEST(HandleLifecycle, WidePathOutsideTheAnsiCodePageNamesNoFile) {
  TempDir dir;
  // U+4E2D cannot be written in Windows-1252: the converted path names
  // another file (with '?' in its name), which does not exist.
  const std::u16string name = u"\u4E2D.vlb";
  const auto body = SealDatabase(WriteDatabaseBody(OneSignature(), OneRule()));
  std::ofstream(dir.path() / std::filesystem::path(name), std::ios::binary)
      .write(reinterpret_cast<const char*>(body.data()), static_cast<std::streamsize>(body.size()));
  const std::u16string path = WidePath(dir.path()) + u"/" + name;
  EXPECT_EQ(Veltor().newW(Wide(path)), nullptr);
  std::vector<WideReport> reports;
  Handle handle(Open(WriteDatabase(dir, "plain.vlb", OneSignature(), OneRule())));
  EXPECT_EQ(Veltor().fileW(handle.get(), Wide(path), CollectWide, &reports), 0);
  EXPECT_TRUE(reports.empty());
}

// Heap bytes in use, by glibc's count, as the benchmark measures a handle;
// nothing where that count is not the library's (other systems, sanitizers;
// under valgrind, whose allocator glibc does not count, it stays at 0).
std::optional<size_t> HeapInUse() {
#if defined(__GLIBC__) && defined(VELTOR_HEAP_FIGURES)
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
#else
  return std::nullopt;
#endif
}

// A handle of a database whose bytes another handle already loaded (the same
// file, or a copy) shares that handle's records and tables: it costs only its
// scan state, and scans the same.
TEST(HandleLifecycle, HandlesOfIdenticalBytesShareTheLoadedDatabase) {
  TempDir dir;
  // Records that outweigh a handle's scan state: long rule names.
  const auto name = [](uint32_t n) { return "Found." + std::string(200, 'n') + std::to_string(n); };
  std::vector<SignatureInput> signatures;
  std::vector<RuleInput> rules;
  for (uint32_t n = 1; n <= 4000; ++n) {
    signatures.push_back(Signature(n, "pattern number " + std::to_string(n * 7919) + ";"));
    rules.push_back(Rule(n, name(n), SignatureRef(n)));
  }
  const auto database = WriteDatabase(dir, "big.vlb", signatures, rules);
  const auto copy = dir.path() / "copy.vlb";
  std::filesystem::copy_file(database, copy);

  const std::optional<size_t> before = HeapInUse();
  Handle first(Open(database));
  const std::optional<size_t> afterFirst = HeapInUse();
  Handle again(Open(database));
  const std::optional<size_t> afterAgain = HeapInUse();
  Handle ofCopy(Open(copy));
  const std::optional<size_t> afterCopy = HeapInUse();
  ASSERT_TRUE(first && again && ofCopy);
  if (before && *afterFirst > *before) {
    const size_t firstCost = *afterFirst - *before;
    EXPECT_LT(*afterAgain - *afterFirst, firstCost / 10) << "the same file";
    EXPECT_LT(*afterCopy - *afterAgain, firstCost / 10) << "an identical copy";
  }
  const std::vector<AnsiReport> expected{{1, name(3000)}};
  for (const Handle* handle : {&first, &again, &ofCopy}) {
    EXPECT_EQ(ScanText(handle->get(), "... PATTERN NUMBER " + std::to_string(3000 * 7919) + "; ..."), expected);
  }
}

// Each open reads its file again: a rewritten file gives a handle on its new
// contents, a damaged one none, while the handle on the old contents keeps
// scanning them.
TEST(HandleLifecycle, AReopenedFileGivesItsCurrentContents) {
  TempDir dir;
  const auto path = WriteDatabase(dir, "rules.vlb", OneSignature(), OneRule(), 0x01D9000000000000);
  Handle old(Open(path));
  ASSERT_TRUE(old);

  WriteDatabase(dir, "rules.vlb", {Signature(1, "thread")}, {Rule(1, "Found.Thread", SignatureRef(1))},
                0x01E0000000000000);
  Handle renewed(Open(path));
  ASSERT_TRUE(renewed);
  EXPECT_EQ(ScanText(renewed.get(), "a needle and a thread"), (std::vector<AnsiReport>{{1, "Found.Thread"}}));
  EXPECT_EQ(ScanText(old.get(), "a needle and a thread"), (std::vector<AnsiReport>{{1, "Found.Needle"}}));
  VeltorSystemTime oldDate{};
  VeltorSystemTime newDate{};
  ASSERT_EQ(Veltor().getLibDate(old.get(), &oldDate), 1);
  ASSERT_EQ(Veltor().getLibDate(renewed.get(), &newDate), 1);
  EXPECT_NE(oldDate.wYear, newDate.wYear);

  auto damaged = SealDatabase(WriteDatabaseBody(OneSignature(), OneRule()));
  damaged[256 + 130] ^= 0x01;  // inside the signature table
  dir.Write("rules.vlb", damaged);
  EXPECT_EQ(Veltor().newA(path.string().c_str()), nullptr);
  EXPECT_EQ(ScanText(old.get(), "needle"), (std::vector<AnsiReport>{{1, "Found.Needle"}}));
}

TEST(HandleLifecycle, DeleteAcceptsNull) { Veltor().deleteHandle(nullptr); }

TEST(HandleLifecycle, LibDateNeedsAHandleAnOutAndAConvertibleBuildTime) {
  TempDir dir;
  Handle dated(Open(WriteDatabase(dir, "dated.vlb", OneSignature(), OneRule(), 0x01D9000000000000)));
  Handle undatable(Open(WriteDatabase(dir, "undatable.vlb", OneSignature(), OneRule(), 0x8000000000000000)));
  ASSERT_TRUE(dated && undatable);
  VeltorSystemTime out{};
  out.wYear = 1234;
  EXPECT_EQ(Veltor().getLibDate(nullptr, &out), 0);
  EXPECT_EQ(Veltor().getLibDate(undatable.get(), &out), 0);
  EXPECT_EQ(out.wYear, 1234) << "out stays untouched";
  EXPECT_EQ(Veltor().getLibDate(dated.get(), nullptr), 0);
  EXPECT_EQ(Veltor().getLibDate(dated.get(), &out), 1);
  EXPECT_NE(out.wYear, 1234);
}

}  // namespace
}  // namespace veltor::testing
