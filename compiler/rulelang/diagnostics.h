#pragma once
// Source files, positions and the diagnostics a compilation collects. Every
// stage reports into one list and goes on, so that a single run shows every
// error; the caller decides from HasErrors whether anything may be written.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace veltor::rulelang {

struct SourceFile {
  std::string path;  // as given on the command line; shown in diagnostics
  std::string text;  // UTF-8
};

// Lines and columns count from 1; columns count characters, not bytes.
struct SourcePosition {
  uint32_t file = 0;  // index into the compilation's source files
  uint32_t line = 1;
  uint32_t column = 1;
};

enum class Severity : uint8_t { Error, Warning };

struct Diagnostic {
  Severity severity = Severity::Error;
  SourcePosition position;
  std::string message;
};

struct Diagnostics {
  std::vector<Diagnostic> items;

  void Error(SourcePosition position, std::string message) {
    items.push_back({Severity::Error, position, std::move(message)});
  }
  void Warning(SourcePosition position, std::string message) {
    items.push_back({Severity::Warning, position, std::move(message)});
  }
  bool HasErrors() const noexcept;
  size_t ErrorCount() const noexcept;
};

// "file:line:col: error: message" (or "warning:").
std::string FormatDiagnostic(const Diagnostic& diagnostic, std::span<const SourceFile> files);

// Diagnostics in file, line and column order, the order in which they were
// reported kept among equals.
void SortDiagnostics(Diagnostics& diagnostics);

}  // namespace veltor::rulelang
