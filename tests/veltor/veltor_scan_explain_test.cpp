// veltor scan --explain and -s as a rule author runs them: the real program,
// real files; which signatures occurred and where, named from the map
// `veltor compile` writes beside the database, every rule's score, and why.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/veltor_process.h"

namespace veltor::testing {
namespace {

namespace fs = std::filesystem;

constexpr const char* Rules =
    "signature plain = \"plain-marker\";\n"
    "signature wide_sig wide = \"wide-marker\";\n"
    "signature absent = \"never-there\";\n"
    "rule Partial report = plain * 0.3 + absent;\n"
    "rule Helper = wide_sig * 0.7;\n"
    "rule Probable report = Helper;\n"
    "rule Both report = plain and wide_sig;\n";

// Reads in chunks of one byte while it lives: every chunk border everywhere.
struct OneByteChunks {
  OneByteChunks() { SetEnvironment("VELTOR_SCAN_CHUNK_SIZE", "1"); }
  ~OneByteChunks() { SetEnvironment("VELTOR_SCAN_CHUNK_SIZE", ""); }
  OneByteChunks(const OneByteChunks&) = delete;
  OneByteChunks& operator=(const OneByteChunks&) = delete;
};

// The text up to and with the first newline.
std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n') + 1); }

class VeltorScanExplain : public ::testing::Test {
 protected:
  void SetUp() override {
    const fs::path source = scratch.Write("rules.vsr", Rules);
    database = (scratch.path() / "rules.vlb").string();
    const ProcessResult compile = RunVeltor(scratch, {"compile", source.string(), "-o", database});
    ASSERT_EQ(compile.exitCode, 0) << compile.err;
    // The wide form at 14, the plain one at 0 and nine times from 38 on.
    bytes = "PLAIN-MARKER..";
    for (const char c : std::string("wide-marker")) bytes += {c, '\0'};
    for (int i = 0; i < 9; ++i) bytes += "..plain-marker";
    file = scratch.Write("file.bin", bytes).string();
  }

  ProcessResult Explain(std::vector<std::string> arguments, const std::string& standardInput = {}) {
    arguments.insert(arguments.begin(), {"scan", "--explain", "--db", database});
    ProcessInput input;
    input.standardInput = standardInput;
    return RunProcess(scratch, ProgramPath(), arguments, input);
  }

  TempDir scratch;
  std::string database;
  std::string file;
  std::string bytes;
};

TEST_F(VeltorScanExplain, JsonAndTextTellFormsOffsetsScoresAndReasons) {
  ProcessResult json;
  ProcessResult standardInput;
  {
    const OneByteChunks chunks;  // the scores come from the streamed scan
    json = Explain({"--json", file});
    standardInput = Explain({"--json", "-"}, bytes);
  }
  EXPECT_EQ(json.exitCode, 1) << json.err;
  const std::string plainOccurred = "{\"signature\":1,\"declared\":true,\"value\":1}";
  const std::string rules =
      "\"rules\":["
      "{\"id\":1,\"rule\":\"Partial\",\"topLevel\":true,\"score\":0.3,\"level\":0,"
      "\"reason\":\"score 0.3 is below 0.501: not reported\",\"references\":[" + plainOccurred +
      ",{\"signature\":3,\"declared\":true,\"value\":0}]},"
      "{\"id\":2,\"rule\":\"Helper\",\"topLevel\":false,\"score\":0.7,\"level\":0,"
      "\"reason\":\"score 0.7: not a top-level rule, so never reported, only referred to\",\"references\":["
      "{\"signature\":2,\"declared\":true,\"value\":1}]},"
      "{\"id\":3,\"rule\":\"Probable\",\"topLevel\":true,\"score\":0.7,\"level\":2,"
      "\"reason\":\"score 0.7 reaches 0.501 (level 2) but not 0.999 (level 1)\",\"references\":["
      "{\"rule\":2,\"declared\":true,\"value\":0.7}]},"
      "{\"id\":4,\"rule\":\"Both\",\"topLevel\":true,\"score\":1,\"level\":1,"
      "\"reason\":\"score 1 reaches 0.999 (level 1)\",\"references\":[" + plainOccurred +
      ",{\"signature\":2,\"declared\":true,\"value\":1}]}]}\n";
  std::string jsonFile;  // the path as a JSON string holds it (Windows paths have backslashes)
  for (const char c : file) jsonFile += c == '\\' ? std::string("\\\\") : std::string(1, c);
  EXPECT_EQ(FirstLine(json.out),
            "{\"path\":\"" + jsonFile + "\",\"signatures\":["
            "{\"id\":1,\"name\":\"plain\",\"plain\":{\"count\":10,\"offsets\":[0,38,52,66,80,94,108,122]},\"wide\":{\"count\":0,\"offsets\":[]}},"
            "{\"id\":2,\"name\":\"wide_sig\",\"plain\":{\"count\":0,\"offsets\":[]},\"wide\":{\"count\":1,\"offsets\":[14]}}]," + rules);
  EXPECT_EQ(json.out.find("{\"summary\":", FirstLine(json.out).size()), FirstLine(json.out).size()) << json.out;
  // Standard input is read once: its scores, but no signature search.
  EXPECT_EQ(FirstLine(standardInput.out), "{\"path\":\"(standard input)\",\"signatures\":null," + rules)
      << standardInput.err;

  fs::remove(database + ".names");  // without the map, ids alone
  const ProcessResult text = Explain({file});
  EXPECT_EQ(text.exitCode, 1) << text.err;
  for (const std::string& line : std::vector<std::string>{
           file + ": Probable (level 2)", file + ": Both (level 1)",
           "    1: plain 10x at 0, 38, 52, 66, 80, 94, 108, 122, ...", "    2: wide 1x at 14",
           "      refers to rule 2 (score 0.7)"}) {
    EXPECT_NE(text.out.find(line + "\n"), std::string::npos) << line << "\n" << text.out;
  }
}

TEST_F(VeltorScanExplain, CleanFilesExitZeroAndMissingOnesTwo) {
  const std::string clean = scratch.Write("clean.txt", "nothing here").string();
  const ProcessResult ok = Explain({clean});
  EXPECT_EQ(ok.exitCode, 0) << ok.err;
  EXPECT_NE(ok.out.find(clean + ": OK\n  signatures that occurred: none\n"), std::string::npos) << ok.out;
  const ProcessResult missing = Explain({clean, (scratch.path() / "missing").string()});
  EXPECT_EQ(missing.exitCode, 2);
  EXPECT_NE(missing.err.find("no such file or folder"), std::string::npos) << missing.err;
}

// -s: under each report the signatures behind it, through rules too; named
// while the map is there and belongs to the database, by id otherwise.
TEST_F(VeltorScanExplain, SignaturesUnderEachReportNamedFromTheMap) {
  const std::string names = database + ".names";
  const std::string mapText = ReadText(names);
  EXPECT_TRUE(mapText.starts_with("veltor signature names 1\ndatabase ")) << mapText;
  EXPECT_NE(mapText.find("\n1 plain\n2 wide_sig\n3 absent\n"), std::string::npos) << mapText;
  const std::string named =
      file + ": Probable (level 2)\n  2 wide_sig: wide 1x at 14\n" + file + ": Both (level 1)\n"
      "  1 plain: plain 10x at 0, 38, 52, 66, 80, 94, 108, 122, ...\n  2 wide_sig: wide 1x at 14\n";
  const std::string byId =
      file + ": Probable (level 2)\n  2: wide 1x at 14\n" + file + ": Both (level 1)\n"
      "  1: plain 10x at 0, 38, 52, 66, 80, 94, 108, 122, ...\n  2: wide 1x at 14\n";
  const std::string clean = scratch.Write("clean.txt", "nothing here").string();
  // The other database: the same ids, other sources, so another header CRC.
  const std::string other = (scratch.path() / "other.vlb").string();
  ASSERT_EQ(RunVeltor(scratch, {"compile", scratch.Write("o.vsr", "signature q = \"qqqq\"; rule Q report = q;").string(),
                                "-o", other}).exitCode, 0);
  struct Case {
    const char* label;
    std::string map;      // the map's text; empty: none
    std::string expected;
    const char* warning;  // on standard error; empty: none
  };
  const std::vector<Case> cases = {
      {"the map compile wrote", mapText, named, ""},
      {"no map", "", byId, ""},
      {"another database's map", ReadText(other + ".names"), byId, "made for another database"},
      {"another version", "veltor signature names 2\n" + mapText.substr(mapText.find('\n') + 1), byId,
       "not a signature name map of this version"},
      {"a broken line", mapText + "7\n", byId, "line 6 is not"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    if (c.map.empty()) {
      fs::remove(names);
    } else {
      scratch.Write("rules.vlb.names", c.map);
    }
    const ProcessResult run = RunProcess(scratch, ProgramPath(), {"scan", "-s", "--sort", "--no-summary", "--db",
                                                                  database, file, clean});
    EXPECT_EQ(run.exitCode, 1) << run.err;
    EXPECT_EQ(run.out, clean + ": OK\n" + c.expected) << run.err;
    const std::string warning = *c.warning == '\0' ? "signature names not used" : c.warning;
    EXPECT_EQ(run.err.find(warning) != std::string::npos, *c.warning != '\0') << run.err;
  }

  scratch.Write("rules.vlb.names", mapText);
  const ProcessResult json = RunProcess(scratch, ProgramPath(), {"scan", "-s", "--json", "--no-summary", "--db",
                                                                 database, file});
  EXPECT_NE(json.out.find("\"rule\":\"Probable\",\"level\":2,\"signatures\":[{\"id\":2,\"name\":\"wide_sig\","
                          "\"plain\":{\"count\":0,\"offsets\":[]},\"wide\":{\"count\":1,\"offsets\":[14]}}]}\n"),
            std::string::npos) << json.out;
  // Standard input is read once: the reports, no signatures.
  ProcessInput input;
  input.standardInput = bytes;
  const ProcessResult piped = RunProcess(scratch, ProgramPath(), {"scan", "-s", "--no-summary", "--db", database, "-"},
                                         input);
  EXPECT_EQ(piped.out, "(standard input): Probable (level 2)\n(standard input): Both (level 1)\n") << piped.err;
  const ProcessResult both = RunProcess(scratch, ProgramPath(), {"scan", "-s", "--explain", "--db", database, file});
  EXPECT_EQ(both.exitCode, 2);
  EXPECT_NE(both.err.find("leave out -s"), std::string::npos) << both.err;
}

// compile keeps the map in step: written beside the database, removed when
// the sources name no signature; dump shows the names in comments and its
// output still compiles to the very same file.
TEST_F(VeltorScanExplain, CompileWritesTheMapAndDumpShowsIt) {
  const ProcessResult dump = RunVeltor(scratch, {"dump", database});
  EXPECT_EQ(dump.exitCode, 0) << dump.err;
  EXPECT_NE(dump.out.find("signature id 2 wide = \"wide-marker\";  # wide_sig\n"), std::string::npos) << dump.out;
  const fs::path again = scratch.path() / "again.vlb";
  EXPECT_EQ(RunVeltor(scratch, {"compile", scratch.Write("dumped.vsr", dump.out).string(), "-o", again.string()})
                .exitCode, 0);
  EXPECT_EQ(ReadBytes(again), ReadBytes(database));
  EXPECT_FALSE(fs::exists(again.string() + ".names"));  // the dump's signatures are anonymous

  scratch.Write("rules.vlb.names", ReadText(database + ".names"));
  EXPECT_EQ(RunVeltor(scratch, {"compile", scratch.Write("anon.vsr", "signature = \"x-y-z\"; rule R report = sig[1];")
                                               .string(), "-o", database}).exitCode, 0);
  EXPECT_FALSE(fs::exists(database + ".names"));
}

}  // namespace
}  // namespace veltor::testing
