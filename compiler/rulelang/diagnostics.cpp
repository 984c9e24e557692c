#include "compiler/rulelang/diagnostics.h"

#include <algorithm>

namespace veltor::rulelang {

bool Diagnostics::HasErrors() const noexcept { return ErrorCount() != 0; }

size_t Diagnostics::ErrorCount() const noexcept {
  return static_cast<size_t>(std::count_if(items.begin(), items.end(), [](const Diagnostic& item) {
    return item.severity == Severity::Error;
  }));
}

std::string FormatDiagnostic(const Diagnostic& diagnostic, std::span<const SourceFile> files) {
  std::string text =
      diagnostic.position.file < files.size() ? files[diagnostic.position.file].path : std::string("<input>");
  text += ':' + std::to_string(diagnostic.position.line) + ':' + std::to_string(diagnostic.position.column);
  text += diagnostic.severity == Severity::Error ? ": error: " : ": warning: ";
  text += diagnostic.message;
  return text;
}

void SortDiagnostics(Diagnostics& diagnostics) {
  std::stable_sort(diagnostics.items.begin(), diagnostics.items.end(),
                   [](const Diagnostic& a, const Diagnostic& b) {
                     if (a.position.file != b.position.file) return a.position.file < b.position.file;
                     if (a.position.line != b.position.line) return a.position.line < b.position.line;
                     return a.position.column < b.position.column;
                   });
}

}  // namespace veltor::rulelang
