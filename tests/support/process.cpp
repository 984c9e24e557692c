#include "support/process.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

#ifndef _WIN32
#include <sys/wait.h>
#endif

namespace veltor::testing {
namespace {

// A path as this system's command interpreter takes it. Under Wine the
// build's absolute POSIX paths are on drive Z:.
std::string ShellPath(const std::filesystem::path& path) {
  std::string text = path.string();
#ifdef _WIN32
  if (!text.empty() && text[0] == '/') text = "Z:" + text;
  for (char& c : text) {
    if (c == '/') c = '\\';
  }
#endif
  return text;
}

#ifdef _WIN32
constexpr int CommandNotFound = 9009;
#endif

void AppendQuoted(std::string& command, const std::string& argument) {
  if (!command.empty()) command += ' ';
  command += '"';
  command += argument;
  command += '"';
}

}  // namespace

ProcessResult RunProcess(const TempDir& scratch, const std::filesystem::path& program,
                         const std::vector<std::string>& arguments, const ProcessInput& input) {
  const std::filesystem::path in = scratch.Write("process.in", input.standardInput);
  const std::filesystem::path out = scratch.path() / "process.out";
  const std::filesystem::path err = scratch.path() / "process.err";
  std::string command;
#ifndef _WIN32
  if (!input.libraryPath.empty()) command = "LD_LIBRARY_PATH=\"" + input.libraryPath + "\"";
#endif
  AppendQuoted(command, ShellPath(program));
  for (const std::string& argument : arguments) AppendQuoted(command, argument);
  command += " <";
  AppendQuoted(command, in.string());
  command += " >";
  AppendQuoted(command, out.string());
  command += " 2>";
  AppendQuoted(command, err.string());
#ifdef _WIN32
  command = '"' + command + '"';  // cmd /c strips one pair of outer quotes
#endif
  int status = std::system(command.c_str());
#ifdef _WIN32
  // Under Wine the command interpreter now and then fails to see a program
  // that is there and reports it as unknown (status 9009). A missing program
  // still fails: the retries only run while the file exists.
  for (int retry = 0; retry < 3 && status == CommandNotFound && std::filesystem::exists(program); ++retry) {
    status = std::system(command.c_str());
  }
#endif
  ProcessResult result;
#ifdef _WIN32
  result.exitCode = status;
#else
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
  result.out = ReadText(out);
  result.err = ReadText(err);
  std::filesystem::remove(in);
  std::filesystem::remove(out);
  std::filesystem::remove(err);
  return result;
}

std::string ReadText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace veltor::testing
