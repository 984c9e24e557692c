#pragma once
// What the suites of veltor scan's tests share: one database, compiled by
// the real program from the rules below for the whole suite, and a scratch
// folder per test with the files a test writes below it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>

#include "support/veltor_process.h"

namespace veltor::testing {

constexpr const char* ScanRules =
    "signature evil = \"evil-marker\";\n"
    "signature maybe = \"maybe-marker\";\n"
    "signature control = \"control-marker\";\n"
    "signature secret wide = \"wide-secret\";\n"
    "rule Test.Evil report = evil;\n"
    "rule \"Caf\u00e9 \\\"quoted\\\" \\\\ rule\" report = maybe * 0.6;\n"
    "rule \"Bell\\aand\\nline\" report = control;\n"
    "rule Test.Wide report = secret;\n";

// What the rules above report, as text lines after "PATH: ".
constexpr const char* EvilLine = "Test.Evil (level 1)";
constexpr const char* MaybeLine = "Caf\xC3\xA9 \"quoted\" \\ rule (level 2)";

class ScanSuite : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    rulesDir = std::make_unique<TempDir>();
    const std::filesystem::path source = rulesDir->Write("rules.vsr", ScanRules);
    database = (rulesDir->path() / "rules.vlb").string();
    const ProcessResult compile = RunVeltor(*rulesDir, {"compile", source.string(), "-o", database});
    ASSERT_EQ(compile.exitCode, 0) << compile.err;
  }
  static void TearDownTestSuite() { rulesDir.reset(); }

  // Writes `text` to `name` below the scratch folder's `folder`, with the
  // folders it needs; returns its path.
  std::string WriteBelow(std::string_view folder, const std::string& name, std::string_view text) const {
    const std::filesystem::path path = scratch.path() / folder / std::filesystem::path(name);
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary).write(text.data(), static_cast<std::streamsize>(text.size()));
    return path.string();
  }

  static inline std::unique_ptr<TempDir> rulesDir;
  static inline std::string database;
  TempDir scratch;
};

}  // namespace veltor::testing
