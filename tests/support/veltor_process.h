#pragma once
// Runs the real veltor program as a process and collects what it says.
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "support/process.h"
#include "support/temp_dir.h"

namespace veltor::testing {

inline std::vector<uint8_t> ReadBytes(const std::filesystem::path& path) {
  const std::string text = ReadText(path);
  return {text.begin(), text.end()};
}

inline std::filesystem::path ProgramPath() { return VELTOR_PROGRAM; }

// Sets an environment variable for the programs this test starts; an empty
// value removes it.
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

// Runs `veltor ARGUMENTS...` with SOURCE_DATE_EPOCH set to `epoch` (unset when
// empty); standard output and error go through files in `scratch`.
inline ProcessResult RunVeltor(const TempDir& scratch, const std::vector<std::string>& arguments,
                               const std::string& epoch = "1700000000") {
  SetEnvironment("SOURCE_DATE_EPOCH", epoch);
  return RunProcess(scratch, ProgramPath(), arguments);
}

// The names in a folder, sorted.
inline std::vector<std::string> FolderContents(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace veltor::testing
