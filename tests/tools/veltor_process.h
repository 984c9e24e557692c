#pragma once
// Runs the real veltor program as a process and collects what it says.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/temp_dir.h"

#ifndef _WIN32
#include <sys/wait.h>
#endif

namespace veltor::testing {

struct ProcessResult {
  int exitCode = -1;
  std::string out;
  std::string err;
};

inline std::string ReadText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

inline std::vector<uint8_t> ReadBytes(const std::filesystem::path& path) {
  const std::string text = ReadText(path);
  return {text.begin(), text.end()};
}

// The program's path as the shell of this system takes it. Under Wine the
// build's absolute paths are on drive Z:.
inline std::string ProgramPath() {
  std::string path = VELTOR_PROGRAM;
#ifdef _WIN32
  if (!path.empty() && path[0] == '/') path = "Z:" + path;
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
#endif
  return path;
}

inline void AppendQuoted(std::string& command, const std::string& argument) {
  command += " \"";
  command += argument;
  command += '"';
}

// Runs `veltor ARGUMENTS...` with SOURCE_DATE_EPOCH set to `epoch` (unset when
// empty); standard output and error go through files in `scratch`.
inline ProcessResult RunVeltor(const TempDir& scratch, const std::vector<std::string>& arguments,
                               const std::string& epoch = "1700000000") {
#ifdef _WIN32
  _putenv_s("SOURCE_DATE_EPOCH", epoch.c_str());  // an empty value removes it
#else
  if (epoch.empty()) {
    unsetenv("SOURCE_DATE_EPOCH");
  } else {
    setenv("SOURCE_DATE_EPOCH", epoch.c_str(), 1);
  }
#endif
  const std::filesystem::path out = scratch.path() / "process.out";
  const std::filesystem::path err = scratch.path() / "process.err";
  std::string command;
  AppendQuoted(command, ProgramPath());
  for (const std::string& argument : arguments) AppendQuoted(command, argument);
  command += " >";
  AppendQuoted(command, out.string());
  command += " 2>";
  AppendQuoted(command, err.string());
#ifdef _WIN32
  command.insert(command.begin(), '"');  // cmd /c strips one pair of outer quotes
  command += '"';
#endif
  const int status = std::system(command.c_str());
  ProcessResult result;
#ifdef _WIN32
  result.exitCode = status;
#else
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
  result.out = ReadText(out);
  result.err = ReadText(err);
  std::filesystem::remove(out);
  std::filesystem::remove(err);
  return result;
}

// The names in a folder, sorted.
inline std::vector<std::string> FolderContents(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace veltor::testing
