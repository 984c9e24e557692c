// The C example host, built as C against the public header, run as a
// process over a real database and file.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <initializer_list>
#include <string>

#ifndef _WIN32
#include <sys/wait.h>
#endif

#include "api/api_fixture.h"
#include "tools/bytecode/expression_tree.h"

namespace veltor::testing {
namespace {

using namespace bytecode;

struct ProcessResult {
  int status;
  std::string output;
};

ProcessResult RunCommand(const std::string& command) {
#ifdef _WIN32
  // The command interpreter strips one pair of quotes around the whole line.
  FILE* pipe = _popen(("\"" + command + "\"").c_str(), "r");
#else
  FILE* pipe = popen(command.c_str(), "r");
#endif
  if (pipe == nullptr) return {-1, {}};
  std::string output;
  std::array<char, 4096> chunk{};
  while (const size_t read = std::fread(chunk.data(), 1, chunk.size(), pipe)) output.append(chunk.data(), read);
#ifdef _WIN32
  const int status = _pclose(pipe);
#else
  const int raw = pclose(pipe);
  const int status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
#endif
  return {status, output};
}

// The command line that runs the example with these arguments, each quoted.
std::string CommandLine(std::initializer_list<std::filesystem::path> arguments) {
  std::string command;
  for (const auto& argument : arguments) {
    if (!command.empty()) command += ' ';
    command += '"';
    command += argument.string();
    command += '"';
  }
  return command;
}

TEST(ExampleHost, ScansAFileAndPrintsTheReports) {
  TempDir dir;
  const auto database = WriteDatabase(dir, "rules.vlb", {TextSignature(1, "evil")},
                                      {TopLevelRule(1, "Demo.Evil", SignatureRef(1)),
                                       TopLevelRule(2, "Demo.Maybe", Product(SignatureRef(1), Float64(0.6)))});
  const auto infected = dir.Write("infected.txt", "some EVIL content");
  const auto clean = dir.Write("clean.txt", "nothing to see");
  const std::filesystem::path example = VELTOR_EXAMPLE_PATH;

  const auto found = RunCommand(CommandLine({example, database, infected}));
  EXPECT_EQ(found.status, 1);
  EXPECT_EQ(found.output, infected.string() + ": Demo.Evil (level 1)\n" + infected.string() + ": Demo.Maybe (level 2)\n");

  const auto nothing = RunCommand(CommandLine({example, database, clean}));
  EXPECT_EQ(nothing.status, 0);
  EXPECT_EQ(nothing.output, "");

  EXPECT_EQ(RunCommand(CommandLine({example, dir.path() / "missing.vlb", clean}) + " 2>&1").status, 2);
}

}  // namespace
}  // namespace veltor::testing
