// veltor scan --explain as a rule author runs it: the real program, real
// files; which signatures occurred and where, every rule's score, and why.
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
            "{\"id\":1,\"plain\":{\"count\":10,\"offsets\":[0,38,52,66,80,94,108,122]},\"wide\":{\"count\":0,\"offsets\":[]}},"
            "{\"id\":2,\"plain\":{\"count\":0,\"offsets\":[]},\"wide\":{\"count\":1,\"offsets\":[14]}}]," + rules);
  EXPECT_EQ(json.out.find("{\"summary\":", FirstLine(json.out).size()), FirstLine(json.out).size()) << json.out;
  // Standard input is read once: its scores, but no signature search.
  EXPECT_EQ(FirstLine(standardInput.out), "{\"path\":\"(standard input)\",\"signatures\":null," + rules)
      << standardInput.err;

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

}  // namespace
}  // namespace veltor::testing
