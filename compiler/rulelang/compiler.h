#pragma once
// The rule language front end as one call: source files in, database records
// and diagnostics out. Writing the database file is the caller's business.
#include <cstdint>
#include <map>
#include <span>
#include <string>

#include "compiler/rulelang/database_entries.h"
#include "compiler/rulelang/diagnostics.h"

namespace veltor::rulelang {

struct CompileResult {
  DatabaseEntries entries;  // meaningful only without errors
  Diagnostics diagnostics;  // sorted by position
  // The names the sources gave their signatures, by id (anonymous ones
  // left out): the database does not hold them.
  std::map<uint32_t, std::string> signatureNames;
};

// Files are read in the order given; they form one namespace and their
// declarations one sequence.
CompileResult CompileSources(std::span<const SourceFile> files);

}  // namespace veltor::rulelang
