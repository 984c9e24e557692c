#pragma once
// Turns the syntax tree into database records: assigns ids, checks names and
// ids for duplicates, resolves references and encodes expressions. Also
// reports the warnings about what would make scans slow or rules useless.
#include <span>

#include "compiler/rulelang/database_entries.h"
#include "compiler/rulelang/diagnostics.h"
#include "compiler/rulelang/syntax_tree.h"

namespace veltor::rulelang {

// Ids not given are assigned in source order, one more than the previous
// declaration's id of the same kind, starting at 1.
DatabaseEntries ResolveSyntaxTree(const SyntaxTree& tree, std::span<const SourceFile> files,
                                  Diagnostics& diagnostics);

}  // namespace veltor::rulelang
