// veltor scan inside archives, as a user runs it: the real program over
// archives the test writes; what it prints for members, limits and damage,
// and its exit status.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "archive/archive_writer.h"
#include "archive/zip_quine.h"
#include "support/veltor_process.h"

namespace veltor::testing {
namespace {

using archive::Member;
using archive::Write;

constexpr const char* Rules =
    "signature evil = \"evil-marker\";\n"
    "rule Test.Evil report = evil;\n";

// Incompressible bytes with the marker across the first 64 KiB border,
// where the walk cuts members into chunks.
std::string AcrossTheBorder() {
  std::string bytes(size_t{100} << 10, '\0');
  uint32_t state = 99;
  for (char& byte : bytes) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<char>('a' + (state >> 24) % 26);
  }
  bytes.replace((size_t{64} << 10) - 5, 11, "evil-marker");
  return bytes;
}

class VeltorArchiveScan : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    rulesDir = std::make_unique<TempDir>();
    const auto source = rulesDir->Write("rules.vsr", Rules);
    database = (rulesDir->path() / "rules.vlb").string();
    const ProcessResult compile = RunVeltor(*rulesDir, {"compile", source.string(), "-o", database});
    ASSERT_EQ(compile.exitCode, 0) << compile.err;
  }
  static void TearDownTestSuite() { rulesDir.reset(); }

  ProcessResult Scan(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"scan", "--db", database, "-j", "1"});
    return RunVeltor(scratch, arguments);
  }
  std::string File(const std::string& name, const std::string& bytes) { return scratch.Write(name, bytes).string(); }

  static inline std::unique_ptr<TempDir> rulesDir;
  static inline std::string database;
  TempDir scratch;
};

TEST_F(VeltorArchiveScan, ReportsMembersByTheirArchivePath) {
  const std::string inner = Write(archive_write_set_format_ustar, {archive_write_add_filter_gzip},
                                  {{"evil.bin", AcrossTheBorder()}, {"clean.txt", "nothing"}});
  // Stored, so that the zip's own bytes hold the marker of its text member.
  const std::string outer = File("outer.zip", Write(archive_write_set_format_zip, {},
                                                    {{"docs/inner.tar.gz", inner}, {"note.txt", "an evil-marker"}},
                                                    "zip:compression=store"));
  const std::string clean = File("clean.tar.xz", Write(archive_write_set_format_ustar, {archive_write_add_filter_xz},
                                                       {{"a.txt", "harmless"}}));

  const ProcessResult text = Scan({outer, clean});
  EXPECT_EQ(text.exitCode, 1) << text.err;
  EXPECT_EQ(text.out, outer + ": Test.Evil (level 1)\n" + outer + "!docs/inner.tar.gz!evil.bin: Test.Evil (level 1)\n" +
                          outer + "!note.txt: Test.Evil (level 1)\n" + clean + ": OK\n");

  const ProcessResult json = Scan({"--json", outer});
  const std::string expected = std::string("{\"path\":\"").append(outer).append(
      "\",\"archivePath\":[\"docs/inner.tar.gz\",\"evil.bin\"],\"rule\":\"Test.Evil\",\"level\":1}\n");
  EXPECT_NE(json.out.find(expected), std::string::npos) << json.out;

  const ProcessResult plain = Scan({"--no-archives", outer, clean});
  EXPECT_EQ(plain.exitCode, 1);
  EXPECT_EQ(plain.out, outer + ": Test.Evil (level 1)\n" + clean + ": OK\n");
}

TEST_F(VeltorArchiveScan, LimitsAndDamageAreNeverAQuietClean) {
  std::vector<Member> many;
  for (const char* name : {"m0", "m1", "m2", "m3", "m4"}) many.push_back({name, "x"});
  const std::string members = File("many.tar", Write(archive_write_set_format_ustar, {}, many));
  std::string cut = Write(archive_write_set_format_ustar, {archive_write_add_filter_gzip},
                          {{"first.txt", "evil-marker"}, {"second.bin", AcrossTheBorder() + AcrossTheBorder()}});
  cut.resize(cut.size() / 2);
  const std::string damaged = File("cut.tar.gz", cut);
  const std::string locked = File("locked.zip", Write(archive_write_set_format_zip, {}, {{"secret.bin", "evil-marker"}},
                                                      "zip:encryption=zipcrypt", "pw"));

  // A 7-Zip header is read whole before the first member: one too large
  // for the member limit is refused before libarchive reads it.
  std::vector<Member> empty(12'000);
  for (size_t i = 0; i < empty.size(); ++i) empty[i].name = "folder/member" + std::to_string(i);
  const std::string header = File("header.7z", Write(archive_write_set_format_7zip, {}, empty));
  // ...and so is a packed header of 100 bytes that unpacks to 8 MiB: pack
  // info (1 stream of 100 bytes), one LZMA folder, its unpacked size.
  const std::string description("\x17\x06\x00\x01\x09\x64\x00\x07\x0b\x01\x00\x01\x23\x03\x01\x01\x05"
                                "\x5d\x00\x00\x80\x00\x0c\xe0\x00\x00\x80\x00\x00",
                                29);
  std::string start("7z\xbc\xaf\x27\x1c\x00\x04", 8);
  start += std::string(4, '\0') + '\x64' + std::string(7, '\0') + static_cast<char>(description.size()) +
           std::string(11, '\0');
  const std::string packed = File("packed.7z", start + std::string(100, 'x') + description);
  // A zip that holds itself: it stops at the depth limit.
  const std::string quine = File("quine.zip", archive::ZipQuine());
  std::string eightDeep = quine;
  for (int depth = 0; depth < 8; ++depth) eightDeep += "!quine0.zip";
  // Compression nested deeper than libarchive stacks its filters (as a gzip
  // that holds itself would be) is an error, not a plain file.
  const std::string gzipped = File("deep.tar.gz", Write(archive_write_set_format_ustar,
                                                        std::vector<archive::Setup>(30, archive_write_add_filter_gzip),
                                                        {{"evil.txt", "evil-marker"}}));

  struct Case {
    std::vector<std::string> arguments;
    int exitCode;
    std::string out;
    std::string errLine;  // a line standard error must hold
  };
  const Case cases[] = {
      {{"--max-members", "2", members}, 2, members + "!m2: incomplete (member limit (2))\n", ""},
      {{"--max-members", "2", "--limits-ok", members}, 0, members + "!m2: incomplete (member limit (2))\n", ""},
      {{damaged}, 2, damaged + "!first.txt: Test.Evil (level 1)\n", "veltor scan: " + damaged + "!second.bin: "},
      {{locked}, 2, "", "veltor scan: " + locked + "!secret.bin: encrypted member (no passphrase)\n"},
      {{quine}, 2, eightDeep + ": incomplete (archive depth limit (8))\n", ""},
      {{gzipped}, 2, "", "veltor scan: " + gzipped + ": "},
      {{"--max-members", "1000", header}, 2, header + ": incomplete (member limit (1000))\n", ""},
      {{packed}, 2, packed + ": incomplete (unpacked to packed ratio limit (200))\n", ""},
      {{"--max-archive-depth", "0", members}, 2, "", "--max-archive-depth takes a number from 1 to 64, not '0'"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.arguments.front());
    const ProcessResult result = Scan(test.arguments);
    EXPECT_EQ(result.exitCode, test.exitCode) << result.err;
    EXPECT_EQ(result.out, test.out);
    EXPECT_NE(result.err.find(test.errLine), std::string::npos) << result.err;
  }

  // Accepted on request, each by its own option: listed on standard output
  // and in the summary, not an error.
  const std::string lockedLine = locked + "!secret.bin: encrypted (encrypted member (no passphrase))\n";
  const Case accepted[] = {
      {{"--encrypted-ok", locked}, 0, lockedLine, "Encrypted:          1\n"},
      {{"--encrypted-ok", "--json", locked}, 0, "", ""},
      {{"--damaged-ok", locked}, 2, "", "veltor scan: " + locked + "!secret.bin: encrypted member"},
      {{"--damaged-ok", damaged}, 1, damaged + "!first.txt: Test.Evil (level 1)\n" + damaged + "!second.bin: damaged (",
       "\nDamaged:            "},
      {{"--encrypted-ok", damaged}, 2, damaged + "!first.txt: Test.Evil (level 1)\n", "veltor scan: " + damaged},
      // A time limit cuts the walk: never a clean file.
      {{"--max-scan-time", "0.000001", members}, 2, members + ": incomplete (scan time limit (0.000001 s))\n", ""},
  };
  for (const Case& test : accepted) {
    SCOPED_TRACE(test.arguments.front() + " " + test.arguments.back());
    const ProcessResult result = Scan(test.arguments);
    EXPECT_EQ(result.exitCode, test.exitCode) << result.err;
    EXPECT_EQ(result.out.substr(0, test.out.size()), test.out);
    EXPECT_NE(result.err.find(test.errLine), std::string::npos) << result.err;
    if (test.exitCode != 2) {
      EXPECT_EQ(result.err.find("veltor scan:"), std::string::npos) << result.err;
    }
  }
  const ProcessResult json = Scan({"--encrypted-ok", "--json", locked});
  EXPECT_EQ(json.out.substr(0, json.out.find('\n')),
            "{\"path\":\"" + locked + "\",\"archivePath\":[\"secret.bin\"],\"encrypted\":\"encrypted member (no passphrase)\"}");
  EXPECT_NE(json.out.find("\"encrypted\":1,"), std::string::npos) << json.out;
}

TEST_F(VeltorArchiveScan, VersionSaysArchivesAreSupported) {
  const ProcessResult version = RunVeltor(scratch, {"--version"});
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_NE(version.out.find("archives: supported (libarchive "), std::string::npos) << version.out;
}

}  // namespace
}  // namespace veltor::testing
