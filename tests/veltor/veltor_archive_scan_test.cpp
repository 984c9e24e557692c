// veltor scan inside archives, as a user runs it: the real program over
// archives the test writes; what it prints for members, limits and damage,
// and its exit status.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <sstream>
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
  // The tar the tar.gz unpacks to is scanned as bytes too, after its members.
  EXPECT_EQ(text.out, outer + ": Test.Evil (level 1)\n" + outer + "!docs/inner.tar.gz!evil.bin: Test.Evil (level 1)\n" +
                          outer + "!docs/inner.tar.gz!inner.tar: Test.Evil (level 1)\n" + outer +
                          "!note.txt: Test.Evil (level 1)\n" + clean + ": OK\n");

  const ProcessResult json = Scan({"--json", outer});
  const std::string expected = std::string("{\"path\":\"").append(outer).append(
      "\",\"archivePath\":[\"docs/inner.tar.gz\",\"evil.bin\"],\"rule\":\"Test.Evil\",\"level\":1}\n");
  EXPECT_NE(json.out.find(expected), std::string::npos) << json.out;

  // Member names that are not UTF-8 show U+FFFD: their bytes follow, so
  // that two such names never print the same.
  const std::string odd = File("odd.tar", Write(archive_write_set_format_ustar, {},
                                                {{"a\xff", "evil-marker"}, {"a\xfe", "evil-marker"}}));
  const ProcessResult bytes = Scan({"--json", odd});
  for (const char* hex : {"61ff", "61fe"}) {
    EXPECT_NE(bytes.out.find("\"archivePath\":[\"a\xEF\xBF\xBD\"],\"archivePathBytes\":[\"" + std::string(hex) + "\"]"),
              std::string::npos)
        << bytes.out;
  }

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
  // Small and highly compressible: the ratio is checked only past its floor
  // (1 MiB; a compressed tar counts its bytes as the stream and as members).
  const std::string small = File("small.tar.gz", Write(archive_write_set_format_ustar, {archive_write_add_filter_gzip},
                                                       {{"zeros.bin", std::string(size_t{400} << 10, '\0') +
                                                                          "evil-marker"}}));
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
      {{damaged},
       2,
       damaged + "!first.txt: Test.Evil (level 1)\n" + damaged + "!cut.tar: Test.Evil (level 1)\n",
       "veltor scan: " + damaged + "!second.bin: "},
      {{locked}, 2, "", "veltor scan: " + locked + "!secret.bin: encrypted member (no passphrase)\n"},
      {{quine}, 2, eightDeep + ": incomplete (archive depth limit (8))\n", ""},
      {{gzipped}, 2, "", "veltor scan: " + gzipped + ": "},
      {{"--max-members", "1000", header}, 2, header + ": incomplete (member limit (1000))\n", ""},
      {{packed}, 2, packed + ": incomplete (unpacked to packed ratio limit (200))\n", ""},
      {{small}, 1, small + "!zeros.bin: Test.Evil (level 1)\n" + small + "!small.tar: Test.Evil (level 1)\n", ""},
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
      {{"--damaged-ok", damaged},
       1,
       damaged + "!first.txt: Test.Evil (level 1)\n" + damaged + "!cut.tar: Test.Evil (level 1)\n" + damaged +
           "!second.bin: damaged (",
       "\nDamaged:            "},
      {{"--encrypted-ok", damaged},
       2,
       damaged + "!first.txt: Test.Evil (level 1)\n" + damaged + "!cut.tar: Test.Evil (level 1)\n",
       "veltor scan: " + damaged},
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

// The sorted lines of a text.
std::vector<std::string> SortedLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  std::sort(lines.begin(), lines.end());
  return lines;
}

// How the walk classifies what it reads, one row per case, each with the
// marker where that case hides it: every row reports it (where it lies,
// "" being the file itself) or says why it could not; none is OK.
TEST_F(VeltorArchiveScan, EveryCaseReportsOrSaysWhyNeverOk) {
  const std::string marker = "evil-marker";
  const std::string zeros(1024, '\0');
  auto compressed = [](archive::Setup filter, const std::string& bytes) {
    return Write(archive_write_set_format_raw, {filter}, {{"data", bytes}});
  };
  auto gz = [&](const std::string& bytes) { return compressed(archive_write_add_filter_gzip, bytes); };
  auto zip = [](const std::vector<Member>& members) { return Write(archive_write_set_format_zip, {}, members); };
  auto tar = [](const std::vector<Member>& members) { return Write(archive_write_set_format_ustar, {}, members); };
  // A zip's end record alone (no member), its comment holding the marker.
  const std::string noMembers = std::string("PK\5\6", 4) + std::string(16, '\0') +
                                static_cast<char>(marker.size()) + '\0' + marker;
  const std::string hidden = zeros + marker;  // deflated, the marker is never in plain sight
  const std::string program = "MZ" + zip({{"evil.txt", hidden}});

  struct Row {
    std::string name;
    std::string bytes;
    std::vector<std::string> reports;  // archive paths, "" for the file itself
    std::string note = "";             // a further line after "FILE!"
    int exitCode = 1;
  };
  const Row rows[] = {
      {"empty.tar", tar({}) + marker, {""}},
      {"zeros.bin", zeros + marker, {""}},
      {"zeros.gz", gz(hidden), {"zeros"}},
      {"zeros.xz", compressed(archive_write_add_filter_xz, hidden), {"zeros"}},
      {"zeros.bz2", compressed(archive_write_add_filter_bzip2, hidden), {"zeros"}},
      // zstd stores the short marker as it is.
      {"zeros.zst", compressed(archive_write_add_filter_zstd, hidden), {"", "zeros"}},
      {"members.gz", gz("clean") + gz(hidden), {"members"}},
      {"gz-in.zip", zip({{"x.gz", gz(hidden)}}), {"x.gz!x"}},
      {"trailing.tar.gz", gz(tar({{"a.txt", "clean"}}) + marker), {"trailing.tar"}},
      {"program.zip", program, {"evil.txt"}},
      {"junk.zip", std::string(1000, 'j') + zip({{"evil.txt", hidden}}), {"evil.txt"}},
      {"in-program.zip", zip({{"setup.exe", program}}), {"setup.exe!evil.txt"}},
      {"appended.zip", zip({{"inner.zip", zip({{"a.txt", "clean"}}) + marker}}), {"inner.zip"}},
      {"stream.tar.gz", gz(tar({{"evil.txt", hidden}})), {"evil.txt", "stream.tar"}},
      {"no-members.zip", zip({{"empty.zip", noMembers}}), {"empty.zip"}},
      {"image.iso", Write(archive_write_set_format_iso9660, {}, {{"evil.txt", hidden}}), {"", "evil.txt"}},
      {"magic.zip", "PK\3\4" + marker, {""}, "", 2},
      {"magic.gz", std::string("\x1f\x8b\x08\0\0\0\0\0\0\0", 10) + marker, {""}, "", 2},
      {"bomb.gz", gz(std::string(size_t{64} << 20, '\0') + marker), {},
       "bomb: incomplete (unpacked to packed ratio limit (200))", 2},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string path = File(row.name, row.bytes);
    std::string expected;
    std::string json;
    for (const std::string& where : row.reports) {
      expected += path + (where.empty() ? "" : "!" + where) + ": Test.Evil (level 1)\n";
      json += "{\"path\":\"" + path + "\"";
      if (!where.empty()) {
        std::string list = where;
        for (size_t at = 0; (at = list.find('!', at)) != std::string::npos; at += 3) list.replace(at, 1, "\",\"");
        json += ",\"archivePath\":[\"" + list + "\"]";
      }
      json += ",\"rule\":\"Test.Evil\",\"level\":1}\n";
    }
    if (!row.note.empty()) expected += path + "!" + row.note + "\n";

    const ProcessResult text = Scan({path});
    EXPECT_EQ(text.exitCode, row.exitCode) << text.err;
    EXPECT_EQ(SortedLines(text.out), SortedLines(expected));
    // Damage is an error on standard error, beside what was scanned.
    EXPECT_EQ(text.err.find("veltor scan: " + path + ": ") != std::string::npos, row.name.starts_with("magic"))
        << text.err;

    const ProcessResult records = Scan({"--json", path});
    EXPECT_EQ(records.exitCode, row.exitCode);
    EXPECT_EQ(records.out.find("\"clean\":true"), std::string::npos) << records.out;
    for (const std::string& line : SortedLines(json)) {
      EXPECT_NE(records.out.find(line + "\n"), std::string::npos) << line << "\n" << records.out;
    }
  }
}

// --explain explains each member that reports, under its archive path,
// with where its signatures occur in the member's own bytes.
TEST_F(VeltorArchiveScan, ExplainCoversEveryMemberThatReports) {
  const std::string gzipped = Write(archive_write_set_format_raw, {archive_write_add_filter_gzip},
                                    {{"data", std::string(1000, '\0') + "evil-marker"}});
  const std::string path = File("outer.zip", Write(archive_write_set_format_zip, {}, {{"x.gz", gzipped}}));

  const ProcessResult text = Scan({"--explain", path});
  EXPECT_EQ(text.exitCode, 1) << text.err;
  EXPECT_EQ(text.out.rfind(path + ": OK\n", 0), 0u) << text.out;
  EXPECT_NE(text.out.find(path +
                          "!x.gz!x: Test.Evil (level 1)\n  signatures that occurred:\n    1 evil: plain 1x at 1000\n"),
            std::string::npos)
      << text.out;

  const ProcessResult json = Scan({"--explain", "--json", path});
  EXPECT_EQ(json.exitCode, 1);
  EXPECT_NE(json.out.find("{\"path\":\"" + path +
                          "\",\"archivePath\":[\"x.gz\",\"x\"],\"signatures\":[{\"id\":1,\"name\":\"evil\","
                          "\"plain\":{\"count\":1,"
                          "\"offsets\":[1000]}"),
            std::string::npos)
      << json.out;
}

TEST_F(VeltorArchiveScan, VersionSaysArchivesAreSupported) {
  const ProcessResult version = RunVeltor(scratch, {"--version"});
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_NE(version.out.find("archives: supported (libarchive "), std::string::npos) << version.out;
}

}  // namespace
}  // namespace veltor::testing
