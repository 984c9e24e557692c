#pragma once
// Compiling source text in tests, and reading what came out.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "compiler/rulelang/compiler.h"

namespace veltor::testing {

inline rulelang::CompileResult CompileText(std::string_view text) {
  const std::vector<rulelang::SourceFile> files{{"test.vsr", std::string(text)}};
  return rulelang::CompileSources(files);
}

// The diagnostics of one severity as "file:line:col: kind: message" lines.
inline std::vector<std::string> Messages(const rulelang::CompileResult& result, rulelang::Severity severity,
                                         std::string_view path = "test.vsr") {
  const std::vector<rulelang::SourceFile> files{{std::string(path), ""}};
  std::vector<std::string> lines;
  for (const rulelang::Diagnostic& diagnostic : result.diagnostics.items) {
    if (diagnostic.severity == severity) lines.push_back(rulelang::FormatDiagnostic(diagnostic, files));
  }
  return lines;
}

inline std::vector<std::string> Errors(const rulelang::CompileResult& result) {
  return Messages(result, rulelang::Severity::Error);
}
inline std::vector<std::string> Warnings(const rulelang::CompileResult& result) {
  return Messages(result, rulelang::Severity::Warning);
}

// A source text as a test's parameter name: quoted and escaped, one line.
inline void PrintSource(std::string_view text, std::ostream* out) { *out << ::testing::PrintToString(std::string(text)); }

}  // namespace veltor::testing
