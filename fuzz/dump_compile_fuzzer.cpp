// Dump followed by compile on arbitrary databases. The input is a body; with
// its magic and CRCs fixed it reaches the records. The decompiler reads
// exactly the bodies the engine loads, and what it prints compiles back to
// the same records, in the same order.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/database/signature_library.h"
#include "fuzz/fuzz_support.h"
#include "compiler/rulelang/compiler.h"
#include "compiler/rulelang/database_image.h"
#include "compiler/rulelang/source_printer.h"

using namespace veltor;

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> body(data, data + size);
  fuzz::FixBodyChecks(body);
  const SignatureLibraryPtr library = ParseDatabaseBody(body.data(), static_cast<uint32_t>(body.size()));
  std::string error;
  const std::optional<rulelang::DatabaseContents> read = rulelang::ReadBody(body, error);
  Require(read.has_value() == (library != nullptr));
  if (!read) return 0;
  Require(read->entries.signatures.size() == library->header.signatureCount);
  Require(read->entries.rules.size() == library->header.ruleCount);

  const std::vector<rulelang::SourceFile> files{{"dump.vsr", rulelang::PrintDatabaseSource(read->entries, "")}};
  const rulelang::CompileResult compiled = rulelang::CompileSources(files);
  Require(!compiled.diagnostics.HasErrors());
  // The envelope's free bytes are not part of a body.
  Require(compiled.entries == read->entries);
  return 0;
}
