#pragma once
// Runs a program as a process through the system's command interpreter, as a
// user would, and collects its exit status and what it wrote.
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace veltor::testing {

struct ProcessResult {
  int exitCode = -1;
  std::string out;
  std::string err;
};

struct ProcessInput {
  std::string standardInput;  // the bytes the program reads from standard input
  std::string libraryPath;    // LD_LIBRARY_PATH for the run (POSIX only)
};

// Runs `program ARGUMENTS...`; standard input, output and error go through
// files in `scratch`.
ProcessResult RunProcess(const TempDir& scratch, const std::filesystem::path& program,
                         const std::vector<std::string>& arguments, const ProcessInput& input = {});

// Sets an environment variable for the programs (or the child processes)
// this test starts; an empty value removes it.
inline void SetEnvironment(const char* name, const std::string& value) {
#ifdef _WIN32
  _putenv_s(name, value.c_str());  // an empty value removes it
#else
  if (value.empty()) {
    unsetenv(name);
  } else {
    setenv(name, value.c_str(), 1);
  }
#endif
}

// A file's whole content.
std::string ReadText(const std::filesystem::path& path);

}  // namespace veltor::testing
