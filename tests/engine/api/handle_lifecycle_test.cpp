// Opening, dating and deleting handles through the exports.
#include <gtest/gtest.h>

#include <fstream>

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
