#pragma once
// The decompiler's back half: database records as source text that compiles
// back to the same records. Every record gets an explicit id, so the text
// does not depend on id assignment; signatures are anonymous (the database
// keeps no signature names) and referred to as sig[id].
#include <string>
#include <string_view>

#include "tools/rulelang/database_entries.h"
#include "tools/rulelang/expression_tree.h"

namespace veltor::rulelang {

// `preamble` is put first as comment lines (one per line of it).
std::string PrintDatabaseSource(const DatabaseEntries& entries, std::string_view preamble);

// How an expression reads in source. Rule references use the name when it
// picks exactly that id (`Name` or rule["name"]), else rule[id].
std::string PrintExpression(const ExprNode& node, const DatabaseEntries& entries);

}  // namespace veltor::rulelang
