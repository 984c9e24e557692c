#pragma once
// The decompiler's back half: database records as source text that compiles
// back to the same records. Every record gets an explicit id, so the text
// does not depend on id assignment; signatures are anonymous (the database
// keeps no signature names) and referred to as sig[id].
#include <string>
#include <string_view>

#include "compiler/rulelang/database_entries.h"

namespace veltor::rulelang {

// `preamble` is put first as comment lines (one per line of it).
std::string PrintDatabaseSource(const DatabaseEntries& entries, std::string_view preamble);

}  // namespace veltor::rulelang
