// The veltor program as a user runs it: exit statuses, messages, the files it
// writes and, on errors, the files it does not write.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <set>
#include <sstream>

#include "engine/database/database_file.h"
#include "engine/database/signature_library.h"
#include "support/random_database.h"
#include "archive/archive_walk.h"
#include "compiler/rulelang/database_image.h"
#include "compiler/dbwriter/database_envelope.h"
#include "support/veltor_process.h"

namespace veltor::testing {
namespace {

constexpr const char* RuleSource =
    "# A small rule set.\n"
    "signature mz exact = { 4D 5A 90 00 };\n"
    "signature stub wide = \"This program cannot be run\";\n"
    "signature tag = \"ab\";\n"
    "rule Trojan.Dropper.Generic report = mz and (stub or tag);\n"
    "rule \"Café rule\" report = Trojan.Dropper.Generic * 0.5 + 0.6;\n";

TEST(VeltorProgram, HelpNamesEveryCommand) {
  TempDir scratch;
  const ProcessResult overview = RunVeltor(scratch, {"--help"});
  EXPECT_EQ(overview.exitCode, 0);
  for (const char* command : {"compile", "dump", "info", "pack", "unpack"}) {
    EXPECT_NE(overview.out.find(std::string("  ") + command + " "), std::string::npos) << command;
    const ProcessResult help = RunVeltor(scratch, {command, "--help"});
    EXPECT_EQ(help.exitCode, 0) << command;
    EXPECT_EQ(help.out.rfind(std::string("usage: veltor ") + command, 0), 0u) << help.out;
    EXPECT_NE(help.out.find("Exit status"), std::string::npos) << command;
  }
}

TEST(VeltorProgram, WrongCommandLinesExitWithStatus2) {
  TempDir scratch;
  const std::vector<std::vector<std::string>> lines = {
      {}, {"frobnicate"}, {"compile"}, {"compile", "--bogus", "x.vsr"}, {"compile", "x.vsr", "-o"},
      {"dump"}, {"dump", "a", "b"}, {"pack", "body"}, {"unpack", "file.vlb"}, {"info", "-o", "x", "y"}};
  for (const std::vector<std::string>& line : lines) {
    const ProcessResult result = RunVeltor(scratch, line);
    EXPECT_EQ(result.exitCode, 2) << ::testing::PrintToString(line);
    EXPECT_FALSE(result.err.empty()) << ::testing::PrintToString(line);
  }
}

TEST(VeltorProgram, CompileWritesADatabaseTheEngineLoads) {
  TempDir scratch;
  const auto source = scratch.Write("rules.vsr", RuleSource);
  const auto output = scratch.path() / "qzdata.vlb";
  const ProcessResult result = RunVeltor(scratch, {"compile", source.string(), "-o", output.string()});
  ASSERT_EQ(result.exitCode, 0) << result.err;
  EXPECT_NE(result.err.find("rules.vsr:4:17: warning: signature 'tag': its 2-byte pattern is checked at every "
                            "position of every scan"),
            std::string::npos)
      << result.err;
  const SignatureLibraryPtr library = LoadDatabaseFile(output.string().c_str());
  ASSERT_NE(library, nullptr);
  EXPECT_EQ(library->header.signatureCount, 3u);
  ASSERT_EQ(library->header.ruleCount, 2u);
  EXPECT_EQ(BuildTime(library->header), rulelang::FileTimeFromUnixSeconds(1700000000));
  const RuleRecord& second = Rules(*library)[1];
  EXPECT_EQ(std::string(second.name.get()), "Caf\xE9 rule");
  EXPECT_EQ(second.flags, RuleFlagTopLevel);
}

TEST(VeltorProgram, SameSourcesSameEpochSameBytes) {
  TempDir scratch;
  const auto source = scratch.Write("rules.vsr", RuleSource);
  const auto first = scratch.path() / "first.vlb";
  const auto second = scratch.path() / "second.vlb";
  ASSERT_EQ(RunVeltor(scratch, {"compile", source.string(), "-o", first.string()}).exitCode, 0);
  ASSERT_EQ(RunVeltor(scratch, {"compile", source.string(), "-o", second.string()}).exitCode, 0);
  EXPECT_EQ(ReadBytes(first), ReadBytes(second));
  const auto later = scratch.path() / "later.vlb";
  ASSERT_EQ(RunVeltor(scratch, {"compile", source.string(), "-o", later.string()}, "1700000001").exitCode, 0);
  EXPECT_NE(ReadBytes(first), ReadBytes(later));
  // Without SOURCE_DATE_EPOCH the build time is now.
  const auto now = scratch.path() / "now.vlb";
  ASSERT_EQ(RunVeltor(scratch, {"compile", source.string(), "-o", now.string()}, "").exitCode, 0);
  const SignatureLibraryPtr library = LoadDatabaseFile(now.string().c_str());
  ASSERT_NE(library, nullptr);
  EXPECT_GT(BuildTime(library->header), rulelang::FileTimeFromUnixSeconds(1700000000));
}

TEST(VeltorProgram, ErrorsAreAllReportedAndNothingIsWritten) {
  TempDir scratch;
  const auto good = scratch.Write("good.vsr", "signature s = \"long enough\";\n");
  const auto bad = scratch.Write("bad.vsr",
                                 "rule a report = s and;\n"
                                 "rule b report = missing;\n"
                                 "signature t = { 4 };\n");
  const auto output = scratch.path() / "qzdata.vlb";
  const std::string previous = "an older database, kept as it is";
  scratch.Write("qzdata.vlb", previous);
  const std::vector<std::string> before = FolderContents(scratch.path());
  const ProcessResult result =
      RunVeltor(scratch, {"compile", good.string(), bad.string(), "-o", output.string()});
  EXPECT_EQ(result.exitCode, 1);
  const std::string badPath = bad.string();
  EXPECT_NE(result.err.find(badPath + ":1:22: error: expected an operand, found ';'"), std::string::npos) << result.err;
  EXPECT_NE(result.err.find(badPath + ":2:17: error: unknown name 'missing'"), std::string::npos) << result.err;
  EXPECT_NE(result.err.find(badPath + ":3:17: error: odd number of hex digits"), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("veltor compile: 3 errors; nothing written"), std::string::npos) << result.err;
  EXPECT_EQ(ReadText(output), previous);
  EXPECT_EQ(FolderContents(scratch.path()), before);  // no temporary file left behind
}

TEST(VeltorProgram, UnreadableInputsAndBadEpochFail) {
  TempDir scratch;
  const auto missing = scratch.path() / "missing.vsr";
  const auto output = scratch.path() / "out.vlb";
  ProcessResult result = RunVeltor(scratch, {"compile", missing.string(), "-o", output.string()});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_NE(result.err.find("cannot read " + missing.string()), std::string::npos) << result.err;
  const auto source = scratch.Write("rules.vsr", RuleSource);
  result = RunVeltor(scratch, {"compile", source.string(), "-o", output.string()}, "yesterday");
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_NE(result.err.find("SOURCE_DATE_EPOCH"), std::string::npos) << result.err;
  EXPECT_FALSE(std::filesystem::exists(output));
  const auto nowhere = scratch.path() / "no such folder" / "out.vlb";
  result = RunVeltor(scratch, {"compile", source.string(), "-o", nowhere.string()});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_NE(result.err.find("cannot write " + nowhere.string() + ": No such file or directory; nothing written"),
            std::string::npos)
      << result.err;
  // A folder in the way: the reason is the rename's.
  result = RunVeltor(scratch, {"compile", source.string(), "-o", scratch.path().string()});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_NE(result.err.find("cannot write " + scratch.path().string() + ": "), std::string::npos) << result.err;
  EXPECT_EQ(result.err.find(": ; nothing"), std::string::npos) << result.err;
  EXPECT_EQ(FolderContents(scratch.path()), std::vector<std::string>{"rules.vsr"});
  const auto notADatabase = scratch.Write("junk.vlb", "this is no database");
  for (const char* command : {"dump", "info"}) {
    result = RunVeltor(scratch, {command, notADatabase.string()});
    EXPECT_EQ(result.exitCode, 1) << command;
    EXPECT_NE(result.err.find("not a database file"), std::string::npos) << result.err;
  }
}

// A damaged database: every command that reads it says which check failed.
TEST(VeltorProgram, DamagedDatabasesNameTheCheckThatFailed) {
  TempDir scratch;
  const auto source = scratch.Write("rules.vsr", RuleSource);
  const auto good = scratch.path() / "good.vlb";
  ASSERT_EQ(RunVeltor(scratch, {"compile", source.string(), "-o", good.string()}).exitCode, 0);
  std::string error;
  const auto contents = rulelang::ReadDatabaseImage(ReadBytes(good), error);
  ASSERT_TRUE(contents.has_value()) << error;
  const std::vector<uint8_t> body = rulelang::WriteBody(contents->entries, 0);
  const DatabaseHeader& header = contents->header;
  struct Case {
    std::string name;
    std::vector<uint8_t> file;
    std::string reason;
  };
  const auto flipped = [&body](size_t at) {
    std::vector<uint8_t> copy = body;
    copy[at] ^= 1;
    return SealDatabase(copy);
  };
  std::vector<uint8_t> shortBody(body.begin(), body.begin() + 100);
  const std::vector<Case> cases = {
      {"text.vlb", {'h', 'e', 'l', 'l', 'o'}, "not a database file: it does not start with the database magic"},
      {"envelope.vlb", SealDatabase(body), ""},
      {"short.vlb", SealDatabase(shortBody), "the body is shorter than its 128-byte header"},
      {"magic.vlb", flipped(0), "the body does not start with its magic 'QDLB'"},
      {"header.vlb", flipped(60), "the header's CRC does not match"},
      {"signatures.vlb", flipped(header.signatureTableOffset + 30), "the signature table's CRC does not match"},
      {"rules.vlb", flipped(header.ruleTableOffset + 20), "the rule table's CRC does not match"},
  };
  for (const Case& test : cases) {
    const auto file = scratch.Write(test.name, test.file);
    for (const std::vector<std::string>& line : std::vector<std::vector<std::string>>{
             {"info", file.string()}, {"dump", file.string()}, {"scan", "--db", file.string(), source.string()}}) {
      SCOPED_TRACE(::testing::PrintToString(line));
      const ProcessResult result = RunVeltor(scratch, line);
      if (test.reason.empty()) {
        EXPECT_EQ(result.err.find("veltor"), std::string::npos) << result.err;
        continue;
      }
      EXPECT_EQ(result.exitCode, line[0] == "scan" ? 2 : 1);
      EXPECT_NE(result.err.find(test.reason), std::string::npos) << result.err;
    }
  }
}

TEST(VeltorProgram, DumpOfACompiledDatabaseCompilesToTheSameFile) {
  TempDir scratch;
  const auto source = scratch.Write("rules.vsr", RuleSource);
  const auto original = scratch.path() / "original.vlb";
  ASSERT_EQ(RunVeltor(scratch, {"compile", source.string(), "-o", original.string()}).exitCode, 0);
  const auto dumped = scratch.path() / "dumped.vsr";
  const ProcessResult dump = RunVeltor(scratch, {"dump", original.string(), "-o", dumped.string()});
  ASSERT_EQ(dump.exitCode, 0) << dump.err;
  EXPECT_NE(ReadText(dumped).find("SOURCE_DATE_EPOCH=1700000000 reproduces it"), std::string::npos);
  const auto again = scratch.path() / "again.vlb";
  const ProcessResult compile = RunVeltor(scratch, {"compile", dumped.string(), "-o", again.string()});
  ASSERT_EQ(compile.exitCode, 0) << compile.err;
  EXPECT_EQ(ReadBytes(again), ReadBytes(original));
  // Standard output carries the same text.
  EXPECT_EQ(RunVeltor(scratch, {"dump", original.string()}).out, ReadText(dumped));
}

// Databases straight from the writer, with any records and any layout: dump
// and compile give back the same records.
TEST(VeltorProgram, AnyDatabaseSurvivesDumpAndCompile) {
  TempDir scratch;
  for (uint32_t seed = 1; seed <= 25; ++seed) {
    RandomDatabase random(seed);
    const rulelang::DatabaseEntries entries = random.Make();
    std::vector<uint8_t> image = rulelang::WriteDatabaseImage(entries, 0x01D9A1B2C3D4E5F6ull + seed);
    const auto file = scratch.Write("random.vlb", image);
    const auto dumped = scratch.path() / "random.vsr";
    const ProcessResult dump = RunVeltor(scratch, {"dump", file.string(), "-o", dumped.string()});
    ASSERT_EQ(dump.exitCode, 0) << "seed " << seed << ": " << dump.err;
    const auto again = scratch.path() / "again.vlb";
    const ProcessResult compile = RunVeltor(scratch, {"compile", dumped.string(), "-o", again.string()});
    ASSERT_EQ(compile.exitCode, 0) << "seed " << seed << ": " << compile.err << ReadText(dumped);
    std::string error;
    const auto contents = rulelang::ReadDatabaseImage(ReadBytes(again), error);
    ASSERT_TRUE(contents.has_value()) << error;
    EXPECT_TRUE(contents->entries == entries) << "seed " << seed << "\n" << ReadText(dumped);
  }
}

TEST(VeltorProgram, UnpackAndPackRoundTrip) {
  TempDir scratch;
  const auto source = scratch.Write("rules.vsr", RuleSource);
  const auto original = scratch.path() / "original.vlb";
  ASSERT_EQ(RunVeltor(scratch, {"compile", source.string(), "-o", original.string()}).exitCode, 0);
  const auto body = scratch.path() / "body.bin";
  ASSERT_EQ(RunVeltor(scratch, {"unpack", original.string(), "-o", body.string()}).exitCode, 0);
  EXPECT_EQ(ReadBytes(body).size() + 256, ReadBytes(original).size());
  EXPECT_EQ(ReadBytes(body).front(), 'Q');
  const auto packed = scratch.path() / "packed.vlb";
  ASSERT_EQ(RunVeltor(scratch, {"pack", body.string(), "-o", packed.string()}).exitCode, 0);
  EXPECT_EQ(ReadBytes(packed), ReadBytes(original));
  // The raw body dumps like the file.
  const ProcessResult bodyDump = RunVeltor(scratch, {"dump", "--body", body.string()});
  ASSERT_EQ(bodyDump.exitCode, 0) << bodyDump.err;
  EXPECT_NE(bodyDump.out.find("rule Trojan.Dropper.Generic id 1 report"), std::string::npos);
  EXPECT_NE(bodyDump.out.find("\nsignature id 2 wide = \"This program cannot be run\";\n"), std::string::npos)
      << bodyDump.out;
  const ProcessResult bodyInfo = RunVeltor(scratch, {"info", "--body", body.string()});
  ASSERT_EQ(bodyInfo.exitCode, 0) << bodyInfo.err;
  EXPECT_NE(bodyInfo.out.find("rules       2 (table "), std::string::npos) << bodyInfo.out;
}

TEST(VeltorProgram, PackRefusesABrokenBodyUnlessForced) {
  TempDir scratch;
  std::vector<uint8_t> body = rulelang::WriteBody({}, 0);
  body[60] ^= 1;  // inside the reserved area: the header CRC no longer matches
  const auto bodyFile = scratch.Write("broken.bin", body);
  const auto packed = scratch.path() / "packed.vlb";
  const ProcessResult refused = RunVeltor(scratch, {"pack", bodyFile.string(), "-o", packed.string()});
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_NE(refused.err.find("--force"), std::string::npos) << refused.err;
  EXPECT_FALSE(std::filesystem::exists(packed));
  ASSERT_EQ(RunVeltor(scratch, {"pack", "--force", bodyFile.string(), "-o", packed.string()}).exitCode, 0);
  EXPECT_EQ(ReadBytes(packed).size(), body.size() + 256);
  EXPECT_EQ(LoadDatabaseFile(packed.string().c_str()), nullptr);
}

TEST(VeltorProgram, InfoShowsTimeCountsAndMemory) {
  TempDir scratch;
  const auto source = scratch.Write("rules.vsr", RuleSource);
  const auto database = scratch.path() / "qzdata.vlb";
  ASSERT_EQ(RunVeltor(scratch, {"compile", source.string(), "-o", database.string()}).exitCode, 0);
  const ProcessResult info = RunVeltor(scratch, {"info", database.string()});
  ASSERT_EQ(info.exitCode, 0) << info.err;
  for (const char* line : {"built       2023-11-14 22:13:20 UTC, 2023-",
                           "signatures  3 (table ", "1 exact-case, 1 wide",
                           "rules       2 (table ", "2 reported",
                           // mz (4), stub (26) and its wide form (52), tag (2)
                           "patterns    4 registered (wide forms included): 1 short (1-2 bytes), 3 long",
                           "memory      about ", " per handle: library "}) {
    EXPECT_NE(info.out.find(line), std::string::npos) << line << "\n" << info.out;
  }
}

// What a user coming from other tools meets first: warnings as errors, a
// database given as source, a flood of errors, hex wildcards.
TEST(VeltorProgram, CompileSaysWhatWentWrongOnce) {
  TempDir scratch;
  const auto warned = scratch.Write("warned.vsr", RuleSource);  // "ab" is a 2-byte pattern
  const auto clean = scratch.Write("clean.vsr", "signature s = \"long enough\";\nrule R report = s;\n");
  std::string many;
  for (int i = 0; i < 30; ++i) many += "rule r" + std::to_string(i) + " report = missing" + std::to_string(i) + ";\n";
  const auto flood = scratch.Write("flood.vsr", many);
  const auto wildcard = scratch.Write("wild.vsr",
                                      "signature a = { 4D ?? 5A [2-4] 90 };\n"
                                      "signature b = { 4? 5A };\n"
                                      "signature c = { (4D | 5A) 00 };\n"
                                      "rule R report = a or b or c;\n");
  const std::string out = (scratch.path() / "out.vlb").string();
  ASSERT_EQ(RunVeltor(scratch, {"compile", clean.string(), "-o", out}).exitCode, 0);
  const auto database = std::filesystem::path(out);
  const std::string hexWildcard = "error: wildcards are not supported in hex strings";
  struct Case {
    std::vector<std::string> arguments;
    int exitCode;
    std::vector<std::string> errLines;  // each must be in standard error
    size_t errorLines;                  // lines with ": error: "
  };
  const Case cases[] = {
      {{warned.string(), "-o", out}, 0, {"warned.vsr:4:17: warning: "}, 0},
      {{"-w", warned.string(), "-o", out}, 1,
       {"warned.vsr:4:17: warning: ", "veltor compile: 2 warnings and --fail-on-warnings; nothing written"}, 0},
      {{"--fail-on-warnings", clean.string(), "-o", out}, 0, {}, 0},
      {{database.string(), "-o", out}, 1,
       {"veltor compile: " + out + ": this is a database file (see 'veltor dump'), not rule source"}, 0},
      {{flood.string(), "-o", out}, 1,
       {"flood.vsr:20:", "veltor compile: 30 errors (the first 20 shown); nothing written"}, 20},
      {{wildcard.string(), "-o", out}, 1,
       {"wild.vsr:1:20: " + hexWildcard, "wild.vsr:2:17: " + hexWildcard, "wild.vsr:3:17: " + hexWildcard,
        "veltor compile: 3 errors; nothing written"},
       3},
  };
  for (const Case& test : cases) {
    std::vector<std::string> arguments = test.arguments;
    arguments.insert(arguments.begin(), "compile");
    SCOPED_TRACE(::testing::PrintToString(arguments));
    const ProcessResult result = RunVeltor(scratch, arguments);
    EXPECT_EQ(result.exitCode, test.exitCode) << result.err;
    for (const std::string& line : test.errLines) EXPECT_NE(result.err.find(line), std::string::npos) << line;
    size_t errors = 0;
    for (size_t at = result.err.find(": error: "); at != std::string::npos; at = result.err.find(": error: ", at + 1)) {
      ++errors;
    }
    EXPECT_EQ(errors, test.errorLines) << result.err;
  }
  // The database is still the one compiled first: nothing was written over it.
  EXPECT_EQ(RunVeltor(scratch, {"compile", "-o", out, clean.string()}).exitCode, 0);
}

// Run from a folder of its own, so that what it writes there (the database
// and its names) goes away with the folder.
TEST(VeltorProgram, CompileWithoutOutputSaysWhereItWrote) {
  TempDir scratch, folder;
  const auto source = scratch.Write("rules.vsr", "signature s = \"long enough\";\nrule R report = s;\n");
  const auto testFolder = std::filesystem::current_path();
  std::filesystem::current_path(folder.path());
  const auto written = std::filesystem::current_path() / "qzdata.vlb";
  const ProcessResult result = RunVeltor(scratch, {"compile", source.string()});
  std::filesystem::current_path(testFolder);
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(FolderContents(folder.path()), (std::vector<std::string>{"qzdata.vlb", "qzdata.vlb.names"}));
  EXPECT_EQ(WithoutCarriageReturns(result.err), "veltor compile: wrote " + written.string() + " (1 signatures, 1 rules)\n");
}

// The help describes the warnings there are, and dump's promise holds for
// a database compiled without SOURCE_DATE_EPOCH too.
TEST(VeltorProgram, HelpTextsPromiseWhatHappens) {
  TempDir scratch;
  const ProcessResult compileHelp = RunVeltor(scratch, {"compile", "--help"});
  const std::string help = WithoutCarriageReturns(compileHelp.out);
  EXPECT_EQ(help.find("3 to 5"), std::string::npos) << help;
  EXPECT_NE(help.find("patterns of 1\nor 2 bytes"), std::string::npos) << help;
  const auto source = scratch.Write("rules.vsr", RuleSource);
  const auto database = scratch.path() / "now.vlb";
  ASSERT_EQ(RunVeltor(scratch, {"compile", source.string(), "-o", database.string()}, "").exitCode, 0);
  const ProcessResult dump = RunVeltor(scratch, {"dump", database.string()});
  const size_t at = dump.out.find("SOURCE_DATE_EPOCH=");
  ASSERT_NE(at, std::string::npos) << dump.out;
  const std::string epoch = dump.out.substr(at + 18, dump.out.find(' ', at) - at - 18);
  const auto dumped = scratch.Write("dumped.vsr", dump.out);
  const auto again = scratch.path() / "again.vlb";
  ASSERT_EQ(RunVeltor(scratch, {"compile", dumped.string(), "-o", again.string()}, epoch).exitCode, 0);
  EXPECT_EQ(ReadBytes(again), ReadBytes(database));
  // An unknown command: one line and the commands, not the whole help.
  const ProcessResult unknown = RunVeltor(scratch, {"frobnicate"});
  EXPECT_EQ(unknown.exitCode, 2);
  EXPECT_EQ(WithoutCarriageReturns(unknown.err),
            "veltor: unknown command 'frobnicate'; the commands are compile, dump, info, pack, scan, unpack "
            "(veltor --help)\n");
}

// Times past the year 9999 are shown as the raw value, never a wrapped year.
TEST(VeltorProgram, BuildTimesOutsideTheCalendarShowTheirRawValue) {
  TempDir scratch;
  const auto source = scratch.Write("rules.vsr", RuleSource);
  const auto database = scratch.path() / "far.vlb";
  ASSERT_EQ(RunVeltor(scratch, {"compile", source.string(), "-o", database.string()}, "900000000000").exitCode, 0);
  const std::string raw = "FILETIME 0x7E841E2FB7C28000 (not a calendar date)";
  for (const char* command : {"info", "dump"}) {
    const ProcessResult shown = RunVeltor(scratch, {command, database.string()});
    EXPECT_EQ(shown.exitCode, 0) << shown.err;
    EXPECT_NE(shown.out.find("built " + std::string(command[0] == 'i' ? "      " : "") + raw), std::string::npos)
        << shown.out;
  }
}

// Getopt-style command lines; --version with and without a database.
TEST(VeltorProgram, CommandLinesReadAsGetoptReadsThem) {
  TempDir scratch;
  const auto source = scratch.Write("rules.vsr", RuleSource);
  const std::string database = (scratch.path() / "rules.vlb").string();
  const std::string dashFile = (scratch.path() / "-dash.vlb").string();
  const std::vector<std::vector<std::string>> good = {
      {"compile", source.string(), "-o" + database},
      {"compile", "--output=" + database, source.string()},
      {"compile", "-o", dashFile, "--", source.string()},
  };
  for (const std::vector<std::string>& line : good) {
    const ProcessResult result = RunVeltor(scratch, line);
    EXPECT_EQ(result.exitCode, 0) << ::testing::PrintToString(line) << result.err;
  }
  for (const std::vector<std::string>& line : std::vector<std::vector<std::string>>{
           {"compile", "--output"}, {"compile", "-o="}, {"compile", "--output=", "x"}, {"dump", "--body=1", "x"},
           {"dump", "-bx", "x"}, {"--version", "extra"}}) {
    EXPECT_EQ(RunVeltor(scratch, line).exitCode, 2) << ::testing::PrintToString(line);
  }
  const ProcessResult version = RunVeltor(scratch, {"--version"});
  EXPECT_EQ(version.exitCode, 0);
  const std::string archives = archive::ArchivesSupported()
                                   ? std::string("archives: supported (") + archive::ArchiveLibraryVersion() + ")\n"
                                   : std::string("archives: not supported in this build\n");
  EXPECT_EQ(WithoutCarriageReturns(version.out), "veltor " VELTOR_VERSION "\n" + archives);
  const ProcessResult withDatabase = RunVeltor(scratch, {"--version", "--db", database});
  EXPECT_EQ(withDatabase.exitCode, 0) << withDatabase.err;
  EXPECT_EQ(WithoutCarriageReturns(withDatabase.out), "veltor " VELTOR_VERSION "\n" + archives + "database " +
                                                          database +
                                  ": built 2023-11-14 22:13:20 UTC, 3 signatures, 2 rules (2 reported)\n");
  EXPECT_EQ(RunVeltor(scratch, {"--version", "--db", source.string()}).exitCode, 1);
}

// The manual page and the bash completion name every command and option
// `--help` names, and the completion no other: they cannot drift apart.
TEST(VeltorProgram, ManualPageAndCompletionMatchTheHelp) {
  TempDir scratch;
  const std::string manual = ReadText(std::filesystem::path(VELTOR_SOURCE_DIR) / "docs" / "veltor.1");
  const std::string completion =
      ReadText(std::filesystem::path(VELTOR_SOURCE_DIR) / "veltor" / "completion" / "veltor.bash");
  const auto troff = [](const std::string& option) {
    std::string text;
    for (const char c : option) text += c == '-' ? std::string("\\-") : std::string(1, c);
    return text;
  };
  const auto lines = [](const std::string& text) {
    std::vector<std::string> out;
    std::istringstream stream(WithoutCarriageReturns(text));
    for (std::string line; std::getline(stream, line);) out.push_back(line);
    return out;
  };

  const ProcessResult overview = RunVeltor(scratch, {"--help"});
  ASSERT_EQ(overview.exitCode, 0);
  std::set<std::string> commands;
  bool inList = false;
  for (const std::string& line : lines(overview.out)) {
    if (line == "Commands:") inList = true;
    if (inList && line.starts_with("  ")) commands.insert(line.substr(2, line.find(' ', 2) - 2));
    if (inList && line.empty()) break;
  }
  ASSERT_EQ(commands.size(), 6u) << overview.out;
  EXPECT_NE(manual.find("\\-\\-version"), std::string::npos);
  EXPECT_NE(completion.find("--version"), std::string::npos);

  for (const std::string& command : commands) {
    const ProcessResult help = RunVeltor(scratch, {command, "--help"});
    // Option lines: "  -o, --output FILE   ..." or "      --body   ...".
    std::set<std::string> options;
    for (const std::string& line : lines(help.out)) {
      std::string rest = line.substr(std::min(line.size(), line.find_first_not_of(' ')));
      if (!line.starts_with("  ") || !rest.starts_with("-")) continue;
      if (rest.size() > 4 && rest[1] != '-' && rest.substr(2, 2) == ", ") {
        options.insert(rest.substr(0, 2));
        rest = rest.substr(4);
      }
      if (rest.starts_with("--")) options.insert(rest.substr(0, rest.find(' ')));
    }
    EXPECT_NE(manual.find(".SS \"veltor " + command), std::string::npos) << command;
    for (const std::string& option : options) {
      EXPECT_NE(manual.find(troff(option)), std::string::npos) << command << " " << option;
    }
    const size_t entry = completion.find("        " + command + ")\n");
    ASSERT_NE(entry, std::string::npos) << command;
    const size_t open = completion.find("options=\"", entry) + 9;
    std::istringstream words(completion.substr(open, completion.find('"', open) - open));
    const std::set<std::string> completed{std::istream_iterator<std::string>(words), std::istream_iterator<std::string>()};
    EXPECT_EQ(completed, options) << command;
  }
}

}  // namespace
}  // namespace veltor::testing
