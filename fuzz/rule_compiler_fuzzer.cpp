// The rule compiler on arbitrary source text. Whatever the text, the
// compiler reports diagnostics that can be formatted; when it reports no
// error, its records make a body the engine loads, and their printed source
// compiles back to the same records.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/database/signature_library.h"
#include "compiler/rulelang/compiler.h"
#include "compiler/rulelang/database_image.h"
#include "compiler/rulelang/source_printer.h"

using namespace veltor;

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

rulelang::CompileResult Compile(std::string text) {
  const std::vector<rulelang::SourceFile> files{{"fuzz.vsr", std::move(text)}};
  rulelang::CompileResult result = rulelang::CompileSources(files);
  for (const rulelang::Diagnostic& diagnostic : result.diagnostics.items) {
    Require(!rulelang::FormatDiagnostic(diagnostic, files).empty());
  }
  return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const rulelang::CompileResult compiled = Compile(std::string(reinterpret_cast<const char*>(data), size));
  if (compiled.diagnostics.HasErrors()) return 0;

  const std::vector<uint8_t> body = rulelang::WriteBody(compiled.entries, 0);
  SignatureLibraryPtr library = ParseDatabaseBody(body.data(), static_cast<uint32_t>(body.size()));
  Require(library != nullptr);
  Require(library->header.signatureCount == compiled.entries.signatures.size());
  Require(library->header.ruleCount == compiled.entries.rules.size());

  const rulelang::CompileResult again = Compile(rulelang::PrintDatabaseSource(compiled.entries, ""));
  Require(!again.diagnostics.HasErrors());
  Require(again.entries == compiled.entries);
  return 0;
}
