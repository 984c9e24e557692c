// The body parser and the file loader over arbitrary bodies. The raw input
// goes to the parser as it is (the checks that reject it), then with its
// magic and CRCs fixed (so that mutations reach the tables and records),
// and that fixed body, sealed with the database key, goes through the file
// loader, which must agree with the parser.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "engine/database/database_file.h"
#include "engine/database/signature_library.h"
#include "compiler/dbwriter/database_envelope.h"
#include "fuzz/fuzz_support.h"
#include "fuzz/library_checks.h"

using namespace veltor;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto length = static_cast<uint32_t>(size);
  if (auto raw = ParseDatabaseBody(size == 0 ? nullptr : data, length)) fuzz::CheckLibrary(*raw);

  std::vector<uint8_t> body(data, data + size);
  fuzz::FixBodyChecks(body);
  SignatureLibraryPtr parsed = ParseDatabaseBody(body.data(), length);
  if (parsed) fuzz::CheckLibrary(*parsed);

  static const fuzz::ProcessFile file(".vlb");
  fuzz::WriteWholeFile(file.path, SealDatabase(body));
  SignatureLibraryPtr loaded = LoadDatabaseFile(file.path.c_str());
  if ((loaded != nullptr) != (parsed != nullptr)) std::abort();
  if (loaded) fuzz::CheckSameLibrary(*parsed, *loaded);
  return 0;
}
