#pragma once
// The decompiler's back half: database records as source text that compiles
// back to the same records. Every record gets an explicit id, so the text
// does not depend on id assignment; signatures are anonymous (the database
// keeps no signature names) and referred to as sig[id].
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "compiler/rulelang/database_entries.h"

namespace veltor::rulelang {

// `preamble` is put first as comment lines (one per line of it). A signature
// that `signatureNames` names (from the name map beside the database) gets
// its name in a comment after it; the source stays anonymous, so that it
// compiles to the same records.
std::string PrintDatabaseSource(const DatabaseEntries& entries, std::string_view preamble,
                                const std::map<uint32_t, std::string>& signatureNames = {});

}  // namespace veltor::rulelang
