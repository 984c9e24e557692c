// veltor scan as a process: choosing the files (patterns, depth, file
// lists), where the summary and the log go, and the time limit.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "support/veltor_process.h"
#include "veltor/scan_suite.h"

namespace veltor::testing {
namespace {

namespace fs = std::filesystem;

class VeltorScanChoice : public ScanSuite {
 protected:
  void SetUp() override {
    // tree/a.txt tree/b.log tree/.hidden.txt tree/sub/c.txt tree/sub/deep/d.txt
    // tree/.git/e.txt tree/node_modules/f.js
    for (const char* name : {"a.txt", "b.log", ".hidden.txt", "sub/c.txt", "sub/deep/d.txt", ".git/e.txt",
                             "node_modules/f.js"}) {
      Write(name, "clean");
    }
  }

  std::string Write(const std::string& name, std::string_view text) { return WriteBelow("tree", name, text); }
  std::string Tree() const { return (scratch.path() / "tree").string(); }

  ProcessResult Scan(std::vector<std::string> arguments, const std::string& input = "") {
    arguments.insert(arguments.begin(), {"scan", "--db", database, "-j", "1", "--sort"});
    SetEnvironment("SOURCE_DATE_EPOCH", "");
    return RunProcess(scratch, ProgramPath(), arguments, {input, {}});
  }

  // The names below the tree that were scanned, in order, joined by spaces
  // (with '/' between folders, whatever the system's separator).
  std::string Scanned(const ProcessResult& result) const {
    std::string names;
    const std::string prefix = Tree();
    for (size_t start = 0; start < result.out.size();) {
      const size_t end = result.out.find('\n', start);
      const std::string line = result.out.substr(start, end - start);
      start = end + 1;
      if (line.rfind(prefix, 0) != 0) continue;
      std::string name = line.substr(prefix.size() + 1, line.find(": ") - prefix.size() - 1);
#ifdef _WIN32
      std::replace(name.begin(), name.end(), '\\', '/');
#endif
      if (!names.empty()) names += ' ';
      names += name;
    }
    return names;
  }
};

TEST_F(VeltorScanChoice, PatternsAndDepthChooseTheFilesInFolders) {
  struct Case {
    std::vector<std::string> options;
    std::string scanned;
    std::string leftOut;  // the summary's count, "" when it shows none
  };
  const Case cases[] = {
      {{"-r"}, ".git/e.txt .hidden.txt a.txt b.log node_modules/f.js sub/c.txt sub/deep/d.txt", ""},
      {{}, ".hidden.txt a.txt b.log", ""},
      {{"-r", "--max-depth", "0"}, ".hidden.txt a.txt b.log", ""},
      {{"-r", "--max-depth=1"}, ".git/e.txt .hidden.txt a.txt b.log node_modules/f.js sub/c.txt", ""},
      // A wildcard matches a leading dot too, as grep's --exclude does.
      {{"-r", "--exclude", "*.txt"}, "b.log node_modules/f.js", "5"},
#ifndef _WIN32  // Windows patterns have * and ? only
      {{"-r", "--exclude=*.log", "--exclude", "[a-c].txt"}, ".git/e.txt .hidden.txt node_modules/f.js sub/deep/d.txt", "3"},
#endif
      {{"-r", "--include", "*.log", "--include=?.js"}, "b.log node_modules/f.js", "5"},
      {{"-r", "--include", "*.txt", "--exclude", "a*"}, ".git/e.txt .hidden.txt sub/c.txt sub/deep/d.txt", "3"},
      {{"-r", "--exclude-dir", ".git", "--exclude-dir=node_*"}, ".hidden.txt a.txt b.log sub/c.txt sub/deep/d.txt", "2"},
      // Only base names are matched: a pattern with a slash matches nothing.
      {{"-r", "--exclude-dir", "sub/deep"}, ".git/e.txt .hidden.txt a.txt b.log node_modules/f.js sub/c.txt sub/deep/d.txt", ""},
  };
  for (const Case& test : cases) {
    std::vector<std::string> arguments = test.options;
    arguments.push_back(Tree());
    SCOPED_TRACE(::testing::PrintToString(arguments));
    const ProcessResult result = Scan(arguments);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(Scanned(result), test.scanned);
    const size_t line = result.err.find("Left out:");
    EXPECT_EQ(line == std::string::npos ? "" : result.err.substr(line + 20, result.err.find(' ', line + 20) - line - 20),
              test.leftOut)
        << result.err;
  }
  // A file named on the command line is scanned whatever the patterns say.
  const ProcessResult named = Scan({"--exclude", "*.log", "--include", "*.txt", Tree() + "/b.log"});
  EXPECT_EQ(Scanned(named), "b.log");
  // Wrong values are a wrong command line.
  for (const std::vector<std::string>& wrong : std::vector<std::vector<std::string>>{
           {"--max-depth", "-1", Tree()}, {"--max-depth", "x", Tree()}, {"--exclude", Tree()},
           {"--max-scan-time", "0", Tree()}, {"--max-scan-time", "1e3", Tree()}, {"-0", Tree()}, {}}) {
    EXPECT_EQ(Scan(wrong).exitCode, 2) << ::testing::PrintToString(wrong);
  }
}

TEST_F(VeltorScanChoice, FileListsNameFilesByLineOrByNul) {
  const std::string evil = Write("evil.bin", "an evil-marker");
  const std::string a = Tree() + "/a.txt";
#ifdef _WIN32
  const std::string spacedName = "with space and comma, too.txt";  // no tab in a Windows name
  const std::string spacedShown = spacedName;
#else
  const std::string spacedName = "with space\tand tab.txt";
  const std::string spacedShown = "with space\\x09and tab.txt";
#endif
  const std::string spaced = Write(spacedName, "clean");
  const fs::path list = scratch.Write("list.txt", a + "\r\n\n" + evil + "\n" + spaced + "\n");
  const fs::path nulList = scratch.Write("list.bin", a + std::string(1, '\0') + spaced + std::string(1, '\0'));
  struct Case {
    std::vector<std::string> arguments;
    std::string input;
    int exitCode;
    std::string scanned;
  };
  const Case cases[] = {
      {{"--file-list", list.string()}, "", 1, "a.txt evil.bin " + spacedShown},
      {{"--file-list=-"}, a + "\n" + evil, 1, "a.txt evil.bin"},
      {{"--file-list", "-", "-0"}, a + std::string(1, '\0') + evil + std::string(1, '\0'), 1, "a.txt evil.bin"},
      {{"--null", "--file-list", nulList.string(), Tree() + "/b.log"}, "", 0, "a.txt b.log " + spacedShown},
      // A listed folder is walked as a named one.
      {{"--file-list", "-", "--exclude", "*.txt"}, Tree() + "/sub\n", 0, ""},
      {{"--file-list", "-", "-r", "--exclude", "c.*"}, Tree() + "/sub\n", 0, "sub/deep/d.txt"},
      {{"--file-list", "-"}, "", 0, ""},
      {{"--file-list", (scratch.path() / "missing").string()}, "", 2, ""},
      {{"--file-list", "-", "-"}, "", 2, ""},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(::testing::PrintToString(test.arguments));
    const ProcessResult result = Scan(test.arguments, test.input);
    EXPECT_EQ(result.exitCode, test.exitCode) << result.err;
    EXPECT_EQ(Scanned(result), test.scanned);
  }
}

TEST_F(VeltorScanChoice, TheSummaryGoesToOneStreamOrNone) {
  const std::string a = Tree() + "/a.txt";
  const ProcessResult text = Scan({a});
  EXPECT_EQ(text.out, a + ": OK\n");
  EXPECT_EQ(text.err.rfind("----------- scan summary -----------\n", 0), 0u) << text.err;
  EXPECT_NE(text.err.find("Bytes scanned:      5 (0.00 MiB, archive members counted unpacked)\n"), std::string::npos)
      << text.err;

  const ProcessResult json = Scan({"--json", a});
  EXPECT_EQ(json.err, "");
  std::string jsonPath;  // a Windows path's backslashes are escaped in JSON
  for (const char c : a) jsonPath += c == '\\' ? std::string("\\\\") : std::string(1, c);
  EXPECT_EQ(json.out.substr(0, json.out.find('\n') + 1), "{\"path\":\"" + jsonPath + "\",\"clean\":true}\n");
  EXPECT_NE(json.out.find("\n{\"summary\":{\"filesScanned\":1,"), std::string::npos) << json.out;
  EXPECT_NE(json.out.find(",\"incomplete\":0,\"encrypted\":0,\"damaged\":0,\"leftOut\":0}}\n"), std::string::npos)
      << json.out;

  for (const std::vector<std::string>& options : std::vector<std::vector<std::string>>{{"--no-summary"},
                                                                                        {"--no-summary", "--json"}}) {
    std::vector<std::string> arguments = options;
    arguments.push_back(a);
    const ProcessResult result = Scan(arguments);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out.find("summary"), std::string::npos) << result.out;
  }
  // -i: the reports and the problems, no OK lines; the summary stays.
  const std::string evil = Write("evil.bin", "evil-marker");
  const std::string missing = Tree() + "/missing";
  const ProcessResult infected = Scan({"-i", a, evil, missing});
  EXPECT_EQ(infected.exitCode, 2);
  EXPECT_EQ(infected.out, evil + ": Test.Evil (level 1)\n");
  EXPECT_NE(infected.err.find("veltor scan: " + missing + ": no such file or folder\n"), std::string::npos);
  EXPECT_NE(infected.err.find("scan summary"), std::string::npos);
}

TEST_F(VeltorScanChoice, TheLogGetsEveryRunUnderItsHeading) {
  const std::string a = Tree() + "/a.txt";
  const std::string evil = Write("evil.bin", "evil-marker");
  const std::string missing = Tree() + "/missing";
  const fs::path log = scratch.path() / "scan.log";
  const ProcessResult first = Scan({"--log", log.string(), a, missing});
  EXPECT_EQ(first.exitCode, 2);
  const ProcessResult second = Scan({"--log=" + log.string(), "--json", "--no-summary", evil});
  EXPECT_EQ(second.exitCode, 1);
  const std::string text = ReadText(log);
  // Each run: its heading, then what it printed on either stream.
  const size_t firstRun = text.find("==== veltor scan, ");
  const size_t secondRun = text.find("==== veltor scan, ", firstRun + 1);
  ASSERT_EQ(firstRun, 0u) << text;
  ASSERT_NE(secondRun, std::string::npos) << text;
  const std::string one = text.substr(0, secondRun);
  const std::string two = text.substr(secondRun);
  EXPECT_NE(one.find(" UTC: --db=" + database), std::string::npos) << one;
  EXPECT_NE(one.find("\n" + a + ": OK\n"), std::string::npos) << one;
  EXPECT_NE(one.find("\nveltor scan: " + missing + ": no such file or folder\n"), std::string::npos) << one;
  EXPECT_NE(one.find("\n----------- scan summary -----------\n"), std::string::npos) << one;
  EXPECT_EQ(two.substr(two.find('\n') + 1), second.out);
  // A log that cannot be opened stops the scan before it starts.
  const ProcessResult nowhere = Scan({"--log", (scratch.path() / "no" / "log").string(), a});
  EXPECT_EQ(nowhere.exitCode, 2);
  EXPECT_EQ(nowhere.out, "");
  EXPECT_NE(nowhere.err.find("cannot write " + (scratch.path() / "no" / "log").string() + ": "), std::string::npos)
      << nowhere.err;
}

TEST_F(VeltorScanChoice, AFileCutByTheTimeLimitIsIncompleteNeverOk) {
  // 64 reads of 4 KiB: the limit passes long before the last.
  const std::string big = Write("big.bin", std::string(size_t{256} << 10, 'x') + "evil-marker");
  SetEnvironment("VELTOR_SCAN_CHUNK_SIZE", "4096");
  const ProcessResult cut = Scan({"--max-scan-time", "0.000001", big});
  const ProcessResult accepted = Scan({"--max-scan-time", "0.000001", "--limits-ok", big});
  const ProcessResult whole = Scan({"--max-scan-time", "60", big});
  SetEnvironment("VELTOR_SCAN_CHUNK_SIZE", "");
  EXPECT_EQ(cut.exitCode, 2);
  EXPECT_EQ(cut.out, big + ": incomplete (scan time limit (0.000001 s))\n");
  EXPECT_NE(cut.err.find("Incomplete:         1\n"), std::string::npos) << cut.err;
  EXPECT_EQ(accepted.exitCode, 0);
  EXPECT_EQ(accepted.out, cut.out);
  EXPECT_EQ(whole.exitCode, 1);
  EXPECT_EQ(whole.out, big + ": Test.Evil (level 1)\n");
}

TEST_F(VeltorScanChoice, VersionFromTheScanCommand) {
  const ProcessResult version = Scan({"--version"});
  EXPECT_EQ(version.exitCode, 0);
  const std::string out = WithoutCarriageReturns(version.out);
  EXPECT_EQ(out.rfind("veltor " VELTOR_VERSION "\n", 0), 0u) << out;
  EXPECT_NE(out.find("\ndatabase " + database + ": built "), std::string::npos) << out;
}

}  // namespace
}  // namespace veltor::testing
