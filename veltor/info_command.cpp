// veltor info: what a database file holds, in numbers.
#include <algorithm>
#include <cstdio>
#include <iostream>

#include "engine/database/database_format.h"
#include "engine/database/signature_library.h"
#include "engine/scan/scan_context.h"
#include "compiler/rulelang/database_image.h"
#include "veltor/command_support.h"
#include "scanning/files.h"

namespace veltor::cli {

using namespace scanning;  // the scan job and its file reading
namespace {

constexpr std::string_view Help =
    "usage: veltor info FILE.vlb [--body]\n"
    "\n"
    "Shows a database file's build time (UTC and local time), its size and the\n"
    "size of its body and tables, the numbers of signatures (exact-case, wide)\n"
    "and rules (reported), the patterns the scanner registers (a wide signature\n"
    "registers its UTF-16LE form too) and how many are short (1-2 bytes, checked\n"
    "at every position of every scan), and the memory one open handle takes: the\n"
    "library and the scan context with its tables, as the engine reports them\n"
    "(allocator overhead not counted).\n"
    "\n"
    "Options:\n"
    "      --body          FILE is a raw database body, not a database file\n"
    "  -h, --help          show this text\n"
    "\n"
    "Exit status: 0 on success, 1 when the file cannot be read or is not a valid\n"
    "database, 2 for a wrong command line.\n";

std::string Size(uint64_t bytes) {
  char buffer[64];
  if (bytes < 10 * 1024) {
    std::snprintf(buffer, sizeof buffer, "%llu bytes", static_cast<unsigned long long>(bytes));
  } else if (bytes < 1024 * 1024) {
    std::snprintf(buffer, sizeof buffer, "%.1f KiB", static_cast<double>(bytes) / 1024);
  } else {
    std::snprintf(buffer, sizeof buffer, "%.1f MiB", static_cast<double>(bytes) / (1024 * 1024));
  }
  return buffer;
}

struct HandleMemory {
  uint64_t library = 0;
  uint64_t context = 0;
  uint64_t shortPatterns = 0;
  uint64_t longPatterns = 0;
};

// What the engine reports for the library and the scan context it builds
// over this body, and how many patterns it registers.
HandleMemory MeasureHandle(const rulelang::DatabaseEntries& entries) {
  HandleMemory memory;
  const std::vector<uint8_t> body = rulelang::WriteBody(entries, 0);
  const SignatureLibraryPtr library = ParseDatabaseBody(body.data(), static_cast<uint32_t>(body.size()));
  const ScanContextPtr context = BuildScanContext(library.get());
  memory.library = SignatureLibraryMemory(library.get());
  memory.context = ScanContextMemory(context.get());
  auto registerForm = [&memory](size_t length) { ++(length <= 2 ? memory.shortPatterns : memory.longPatterns); };
  for (const SignatureInput& signature : entries.signatures) {
    if (signature.pattern.empty()) continue;
    registerForm(signature.pattern.size());
    // Every Windows-1252 byte is one UTF-16 unit.
    if ((signature.flags & SignatureFlagWide) != 0) registerForm(2 * signature.pattern.size());
  }
  return memory;
}

constexpr OptionDefinition Options[] = {{"", "--body", false}};

int RunInfo(const Command& command, const ParsedArguments& parsed) {
  const std::string_view path = parsed.positional[0];
  const bool rawBody = parsed.Has("--body");
  const std::optional<DatabaseInput> input = ReadDatabaseInput(command, path, rawBody);
  if (!input) return ExitFailure;
  const rulelang::DatabaseContents& contents = input->contents;
  const DatabaseHeader& header = contents.header;
  const rulelang::DatabaseEntries& entries = contents.entries;
  const uint64_t buildTime = BuildTime(header);
  const size_t exact = static_cast<size_t>(std::count_if(entries.signatures.begin(), entries.signatures.end(),
      [](const SignatureInput& s) { return (s.flags & SignatureFlagExactCase) != 0; }));
  const size_t wide = static_cast<size_t>(std::count_if(entries.signatures.begin(), entries.signatures.end(),
      [](const SignatureInput& s) { return (s.flags & SignatureFlagWide) != 0; }));
  const size_t reported = static_cast<size_t>(std::count_if(entries.rules.begin(), entries.rules.end(),
      [](const RuleInput& r) { return (r.flags & RuleFlagTopLevel) != 0; }));
  const HandleMemory memory = MeasureHandle(entries);

  std::cout << "file        " << path << ": " << input->fileSize << " bytes";
  if (!rawBody) std::cout << " (body " << contents.bodySize << " bytes)";
  std::cout << '\n';
  std::cout << "built       " << DescribeFileTime(buildTime, false);
  if (FormatFileTime(buildTime, false)) std::cout << ", " << DescribeFileTime(buildTime, true);
  std::cout << '\n';
  std::cout << "signatures  " << entries.signatures.size() << " (table " << header.signatureTableLength
            << " bytes at offset " << header.signatureTableOffset << "): " << exact << " exact-case, " << wide
            << " wide\n";
  std::cout << "rules       " << entries.rules.size() << " (table " << header.ruleTableLength << " bytes at offset "
            << header.ruleTableOffset << "): " << reported << " reported\n";
  std::cout << "patterns    " << memory.shortPatterns + memory.longPatterns
            << " registered (wide forms included): " << memory.shortPatterns << " short (1-2 bytes), "
            << memory.longPatterns << " long\n";
  std::cout << "memory      about " << Size(memory.library + memory.context) << " per handle: library "
            << Size(memory.library) << ", scan context " << Size(memory.context) << '\n';
  return ExitSuccess;
}

}  // namespace

extern const Command InfoCommand{"info", "show a database file's build time, counts, sizes and memory",
    Help, Options, 1, 1, RunInfo};

}  // namespace veltor::cli
