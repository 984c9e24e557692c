#include "compiler/rulelang/compiler.h"

#include "compiler/rulelang/lexer.h"
#include "compiler/rulelang/parser.h"
#include "compiler/rulelang/resolver.h"

namespace veltor::rulelang {

CompileResult CompileSources(std::span<const SourceFile> files) {
  CompileResult result;
  SyntaxTree tree;
  for (size_t i = 0; i < files.size(); ++i) {
    const std::vector<Token> tokens = Tokenize(files[i].text, static_cast<uint32_t>(i), result.diagnostics);
    ParseTokens(tokens, tree, result.diagnostics);
  }
  // Names are resolved across all files, so resolution waits for the last one;
  // syntax errors do not stop it, so that one run reports as much as it can.
  result.entries = ResolveSyntaxTree(tree, files, result.diagnostics);
  if (result.entries.signatures.size() == tree.signatures.size()) {
    for (size_t i = 0; i < tree.signatures.size(); ++i) {
      if (!tree.signatures[i].name.empty()) {
        result.signatureNames.emplace(result.entries.signatures[i].id, tree.signatures[i].name);
      }
    }
  }
  SortDiagnostics(result.diagnostics);
  return result;
}

}  // namespace veltor::rulelang
