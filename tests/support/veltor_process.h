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

// Runs `veltor ARGUMENTS...` with SOURCE_DATE_EPOCH set to `epoch` (unset when
// empty); standard output and error go through files in `scratch`.
inline ProcessResult RunVeltor(const TempDir& scratch, const std::vector<std::string>& arguments,
                               const std::string& epoch = "1700000000") {
  SetEnvironment("SOURCE_DATE_EPOCH", epoch);
  return RunProcess(scratch, ProgramPath(), arguments);
}

// Text without carriage returns: on Windows the help and --version lines end
// in CR LF.
inline std::string WithoutCarriageReturns(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
  return text;
}

// The names in a folder, sorted.
inline std::vector<std::string> FolderContents(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace veltor::testing
