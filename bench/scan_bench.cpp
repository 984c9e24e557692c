// scan_bench: the scan path's figures in one table. For each pattern set, a
// database with one signature and one top-level rule per pattern is loaded
// as a handle loads it (ShareDatabaseBody, BuildScanContext) and the 64 MiB
// corpus is scanned through RunScanPass, as VeltorMemoryA does; SearchBuffer
// scans the same bytes with the same patterns; Hyperscan too when it is
// built in, and the signatures it finds must be the scan path's. Then the
// hostile cases: 16 MiB inputs generated here, the same way every run.
//
// Memory: a handle's heap (the library and its context, as the allocator
// counts it) for the first handle of a database, and for one more handle of
// the same database, loaded while the first is open: the library and the
// finder's tables are shared, so the extra handle costs its per-scan state.
//
// Usage: scan_bench [--quick | --memory | --set N | --hostile [TEXT]]
//   --quick: one run each, 100,000 set skipped
//   --memory: only the pattern sets' load time and memory, no scans
//   --set N: only the set of N patterns (100, 1000, 10000 or 100000), both tables
//   --hostile [TEXT]: only the hostile cases (those whose name contains TEXT)
#include <malloc.h>

#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "engine/api/scan.h"
#include "bench/bench_data.h"
#include "bench/hyperscan_runner.h"
#include "engine/database/signature_library.h"
#include "engine/matcher/pattern_matcher.h"
#include "engine/scan/scan_context.h"
#include "compiler/bytecode/bytecode_encoder.h"
#include "compiler/dbwriter/database_writer.h"

namespace veltor::bench {
namespace {

constexpr double MiB = 1024.0 * 1024.0;
// As large as a file the scan takes.
constexpr size_t HostileSize = static_cast<size_t>(MaxScannedFileSize);

// Processor time of this (single-threaded) process: on a machine shared
// with other work, wall time would measure the neighbours too.
double Seconds(std::clock_t since) { return static_cast<double>(std::clock() - since) / CLOCKS_PER_SEC; }

// Heap bytes in use (glibc's count, mapped blocks included).
size_t HeapInUse() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

// The forms the scan context registers: the pattern, and the UTF-16LE form
// of a wide one (ASCII only here, so each byte is one unit).
std::vector<LiteralForm> Forms(const std::vector<Pattern>& patterns) {
  std::vector<LiteralForm> forms;
  for (size_t i = 0; i < patterns.size(); ++i) {
    const Pattern& p = patterns[i];
    forms.push_back({p.bytes, p.exactCase != 0, static_cast<uint32_t>(i)});
    if (p.wide) {
      LiteralForm wide{{}, p.exactCase != 0, static_cast<uint32_t>(i)};
      for (uint8_t b : p.bytes) wide.bytes.insert(wide.bytes.end(), {b, 0});
      forms.push_back(std::move(wide));
    }
  }
  return forms;
}

struct Figures {
  size_t inputBytes = 0;
  size_t bodyBytes = 0;
  double loadMilliseconds = 0;
  size_t contextBytes = 0;
  size_t tableBytes = 0;  // of contextBytes, the finder's read-only tables
  size_t handleHeap = 0;       // heap of the first handle: library and context
  size_t extraHandleHeap = 0;  // heap of a second handle of the same database
  bool libraryShared = false;  // the extra handle took the first one's library
  double extraLoadMilliseconds = 0;
  bool tablesShared = false;
  FilterKind filter = FilterKind::None;
  bool classRows = false;  // some automaton steps through class rows
  double scanMBps = 0;
  double searchMBps = -1;  // not measured
  HyperscanResult hyperscan;
  bool sameFound = true;
};

// The body loaded as a handle loads it: decrypted bytes handed to
// ShareDatabaseBody, which parses them or takes the library already loaded
// from the same bytes.
SignatureLibraryPtr LoadBody(const std::vector<uint8_t>& body) {
  HeapArray<uint8_t> copy = NewBuffer<uint8_t>(body.size());
  if (!copy) return nullptr;
  std::memcpy(copy.get(), body.data(), body.size());
  return ShareDatabaseBody(std::move(copy), static_cast<uint32_t>(body.size()));
}

Figures Measure(const std::vector<Pattern>& patterns, std::span<const uint8_t> input, int runs, bool searchBuffer,
                bool scan = true) {
  Figures figures;
  figures.inputBytes = input.size();
  // Signature ids follow the pattern index, so index order is pattern order.
  std::vector<SignatureInput> signatures(patterns.size());
  std::vector<RuleInput> rules(patterns.size());
  for (size_t i = 0; i < patterns.size(); ++i) {
    signatures[i].id = static_cast<uint32_t>(i + 1);
    signatures[i].flags = (patterns[i].exactCase != 0 ? SignatureFlagExactCase : 0u) |
                          (patterns[i].wide ? SignatureFlagWide : 0u);
    signatures[i].pattern = patterns[i].bytes;
    rules[i].id = static_cast<uint32_t>(i + 1);
    rules[i].flags = RuleFlagTopLevel;
    rules[i].expression = *bytecode::Encode(bytecode::SignatureRef(static_cast<uint32_t>(i + 1)));
  }
  const std::vector<uint8_t> body = WriteDatabaseBody(signatures, rules);
  figures.bodyBytes = body.size();

  const size_t heapBefore = HeapInUse();
  const auto loadStart = std::clock();
  const SignatureLibraryPtr library = LoadBody(body);
  ScanContextPtr context = BuildScanContext(library.get());
  figures.loadMilliseconds = Seconds(loadStart) * 1000;
  figures.handleHeap = HeapInUse() - heapBefore;
  if (!context) {
    std::fprintf(stderr, "scan context build failed\n");
    return figures;
  }
  {
    // A second handle of the same database while the first is open.
    const size_t tablesBefore = SharedFinderTablesCount();
    const size_t extraBefore = HeapInUse();
    const auto extraStart = std::clock();
    const SignatureLibraryPtr extraLibrary = LoadBody(body);
    const ScanContextPtr extra = BuildScanContext(extraLibrary.get());
    figures.extraLoadMilliseconds = Seconds(extraStart) * 1000;
    figures.extraHandleHeap = HeapInUse() - extraBefore;
    figures.libraryShared = extraLibrary && extraLibrary.get() == library.get();
    figures.tablesShared = extra && SharedFinderTablesCount() == tablesBefore;
  }
  if (!scan) return figures;
  figures.contextBytes = ScanContextMemory(context.get());
  figures.tableBytes = LiteralFinderMemory(context->finder.get()) - LiteralFinderScanMemory(context->finder.get());
  figures.filter = ChosenFilter(context->finder.get());
  figures.classRows = FinderHasClassRows(context->finder.get());
  double best = 1e30;
  for (int run = 0; run < runs; ++run) {
    const auto start = std::clock();
    RunScanPass(context.get(), input.data(), static_cast<uint32_t>(input.size()));
    best = std::min(best, Seconds(start));
  }
  figures.scanMBps = static_cast<double>(input.size()) / MiB / best;
  const uint8_t* hits = context->evaluation.signatureHits.get();
  const std::vector<uint8_t> found(hits, hits + patterns.size());

  if (searchBuffer) {
    PatternMatcherPtr matcher = CreateMatcher();
    for (const LiteralForm& form : Forms(patterns)) {
      AddPattern(matcher.get(), form.bytes.data(), static_cast<int32_t>(form.bytes.size()), form.exactCase ? 1 : 0,
                 static_cast<int32_t>(form.id));
    }
    BuildTables(matcher.get());
    std::vector<uint8_t> searchFound(patterns.size());
    const auto start = std::clock();
    SearchBuffer(matcher.get(), input.data(), static_cast<int32_t>(input.size()),
                 [](int32_t, int32_t tag, void* user) { static_cast<uint8_t*>(user)[tag] = 1; }, searchFound.data());
    figures.searchMBps = static_cast<double>(input.size()) / MiB / Seconds(start);
    figures.sameFound = figures.sameFound && searchFound == found;
  }
  if (HyperscanAvailable()) {
    figures.hyperscan = RunHyperscan(Forms(patterns), patterns.size(), input, runs);
    if (figures.hyperscan.ok) figures.sameFound = figures.sameFound && figures.hyperscan.found == found;
  }
  return figures;
}

std::string Number(double value, const char* format = "%.0f") {
  if (value < 0) return "-";
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, format, value);
  return buffer;
}

// One markdown row: set, patterns, body KiB, load ms, context MiB (of which
// finder tables and per-scan state), filter (and "+ classes" where the
// automata step through class rows),
// scan path MB/s, SearchBuffer MB/s, Hyperscan MB/s, ratio, Hyperscan
// build ms and memory MiB, same signatures found.
void PrintRow(const std::string& name, size_t count, const Figures& f) {
  const bool hs = f.hyperscan.ok;
  const double hsMBps = hs ? static_cast<double>(f.inputBytes) / MiB / f.hyperscan.bestSeconds : -1;
  std::printf("| %s | %zu | %s | %s | %s | %s | %s | %s%s | %s | %s | %s | %s | %s | %s | %s |\n", name.c_str(), count,
              Number(static_cast<double>(f.bodyBytes) / 1024, "%.0f").c_str(), Number(f.loadMilliseconds, "%.1f").c_str(),
              Number(static_cast<double>(f.contextBytes) / MiB, "%.1f").c_str(),
              Number(static_cast<double>(f.tableBytes) / MiB, "%.1f").c_str(),
              Number(static_cast<double>(f.contextBytes - f.tableBytes) / MiB, "%.2f").c_str(), FilterKindName(f.filter),
              f.classRows ? " + classes" : "", Number(f.scanMBps).c_str(),
              Number(f.searchMBps, f.searchMBps < 10 ? "%.2f" : "%.0f").c_str(), Number(hsMBps).c_str(),
              hs ? Number(f.scanMBps / hsMBps, "%.2f").c_str() : "-",
              hs ? Number(f.hyperscan.buildMilliseconds, "%.1f").c_str() : "-",
              hs ? Number(static_cast<double>(f.hyperscan.memory) / MiB, "%.1f").c_str() : "-",
              hs || f.searchMBps >= 0 ? (f.sameFound ? "yes" : "NO") : "-");
  std::fflush(stdout);
}

void PrintHeader(const char* first) {
  std::printf("| %s | patterns | db KiB | load ms | context MiB | tables MiB | per-scan MiB | filter | scan path MB/s "
              "| SearchBuffer MB/s | Hyperscan MB/s | ratio | HS build ms | HS MiB | same found |\n",
              first);
  std::printf("|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|\n");
}

// One row of the memory table: set, patterns, body KiB, load ms and per
// 10,000 signatures, the first handle's heap, an extra handle's heap, whether
// it shared the library, its load ms, whether it shared the finder's tables.
void PrintMemoryRow(const std::string& name, size_t count, const Figures& f) {
  std::printf("| %s | %zu | %s | %s | %s | %s | %s | %s | %s | %s |\n", name.c_str(), count,
              Number(static_cast<double>(f.bodyBytes) / 1024, "%.0f").c_str(), Number(f.loadMilliseconds, "%.1f").c_str(),
              Number(f.loadMilliseconds * 10000 / static_cast<double>(count), "%.1f").c_str(),
              Number(static_cast<double>(f.handleHeap) / MiB, "%.1f").c_str(),
              Number(static_cast<double>(f.extraHandleHeap) / MiB, "%.2f").c_str(),
              f.libraryShared ? "yes" : "no", Number(f.extraLoadMilliseconds, "%.1f").c_str(),
              f.tablesShared ? "yes" : "no");
  std::fflush(stdout);
}

Pattern Literal(std::vector<uint8_t> bytes, int32_t exactCase = 0) { return {std::move(bytes), exactCase, false}; }

struct Hostile {
  std::string name;
  std::vector<Pattern> patterns;
  std::vector<uint8_t> input;
};

// `count` exact-case words of 12 bytes over a and b, over A/B text.
Hostile ExactWordsOverOtherCase(int count) {
  Hostile h{std::to_string(count) + " exact-case a/b words of 12 bytes, over A/B text", {},
            std::vector<uint8_t>(HostileSize)};
  std::mt19937 random(8);
  for (int i = 0; i < count; ++i) {
    std::vector<uint8_t> bytes(12);
    for (auto& b : bytes) b = static_cast<uint8_t>("ab"[random() % 2]);
    h.patterns.push_back(Literal(bytes, 1));
  }
  for (auto& b : h.input) b = static_cast<uint8_t>("AB"[random() % 2]);
  return h;
}

// The hostile cases, each over 16 MiB generated from a fixed seed.
std::vector<std::function<Hostile()>> HostileCases() {
  return {
      [] {
        Hostile h{"9 x (300 zeros + 2-byte tail), over zeros", {}, std::vector<uint8_t>(HostileSize, 0)};
        for (uint8_t t = 0; t < 9; ++t) {
          std::vector<uint8_t> bytes(300, 0);
          bytes.insert(bytes.end(), {1, t});
          h.patterns.push_back(Literal(bytes));
        }
        return h;
      },
      [] {
        Hostile h{"one 4,097-byte A...AB, over As", {}, std::vector<uint8_t>(HostileSize, 'A')};
        std::vector<uint8_t> bytes(4096, 'A');
        bytes.push_back('B');
        h.patterns.push_back(Literal(bytes));
        return h;
      },
      [] {
        Hostile h{"1,000 copies of AAA, over As", {}, std::vector<uint8_t>(HostileSize, 'A')};
        for (int i = 0; i < 1000; ++i) h.patterns.push_back(Literal({'A', 'A', 'A'}));
        return h;
      },
      [] {
        Hostile h{"every 1- and 2-byte pattern (65,792), over random bytes", {}, std::vector<uint8_t>(HostileSize)};
        for (int a = 0; a < 256; ++a) h.patterns.push_back(Literal({static_cast<uint8_t>(a)}, 1));
        for (int a = 0; a < 256; ++a) {
          for (int b = 0; b < 256; ++b) h.patterns.push_back(Literal({static_cast<uint8_t>(a), static_cast<uint8_t>(b)}, 1));
        }
        std::mt19937 random(4);
        for (auto& byte : h.input) byte = static_cast<uint8_t>(random());
        return h;
      },
      [] {
        const std::vector<uint8_t> prefix = {'P', 'R', 'E', 'F', 'I', 'X', '0', '1'};
        Hostile h{"60,000 patterns sharing an 8-byte prefix, over the prefix", {}, {}};
        std::mt19937 random(5);
        for (int i = 0; i < 60000; ++i) {
          std::vector<uint8_t> bytes = prefix;
          for (int k = 0; k < 4; ++k) bytes.push_back(static_cast<uint8_t>(random()));
          h.patterns.push_back(Literal(bytes));
        }
        while (h.input.size() < HostileSize) h.input.insert(h.input.end(), prefix.begin(), prefix.end());
        return h;
      },
      // Shapes of our own.
      [] {
        Hostile h{"A^k B for k = 1..2,000, over As", {}, std::vector<uint8_t>(HostileSize, 'A')};
        for (size_t k = 1; k <= 2000; ++k) {
          std::vector<uint8_t> bytes(k, 'A');
          bytes.push_back('B');
          h.patterns.push_back(Literal(bytes));
        }
        return h;
      },
      [] {
        Hostile h{"10,000 random 4-letter words of 4-12 bytes, over such text", {}, std::vector<uint8_t>(HostileSize)};
        std::mt19937 random(7);
        for (int i = 0; i < 10000; ++i) {
          std::vector<uint8_t> bytes(4 + random() % 9);
          for (auto& b : bytes) b = static_cast<uint8_t>("acgt"[random() % 4]);
          h.patterns.push_back(Literal(bytes, static_cast<int32_t>(i % 2)));
        }
        for (auto& b : h.input) b = static_cast<uint8_t>("acgtACGT"[random() % 8]);
        return h;
      },
      // Every folded anchor occurs everywhere, no exact form ever: with 16
      // words the filter verifies (and fails) at every position within its
      // budget; with 2,000 the budget runs out and the automata take over.
      [] { return ExactWordsOverOtherCase(16); },
      [] { return ExactWordsOverOtherCase(2000); },
  };
}

}  // namespace
}  // namespace veltor::bench

int main(int argc, char** argv) {
  using namespace veltor::bench;
  const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
  const bool memoryOnly = argc > 1 && std::strcmp(argv[1], "--memory") == 0;
  const size_t only = argc > 2 && std::strcmp(argv[1], "--set") == 0 ? std::strtoul(argv[2], nullptr, 10) : 0;
  const bool hostileOnly = argc > 1 && std::strcmp(argv[1], "--hostile") == 0;
  const std::string hostileName = hostileOnly && argc > 2 ? argv[2] : "";
  auto skipped = [&](size_t count) {
    return hostileOnly || (quick && count == 100000) || (only != 0 && count != only);
  };
  const int runs = quick ? 1 : 3;
  std::printf("Memory per handle (heap in use: the library and its scan context):\n\n");
  std::printf("| set | patterns | db KiB | load ms | load ms per 10,000 | handle MiB | extra handle MiB | library shared "
              "| extra load ms | tables shared |\n");
  std::printf("|---|---|---|---|---|---|---|---|---|---|\n");
  for (size_t count : {size_t{100}, size_t{1000}, size_t{10000}, size_t{100000}}) {
    if (skipped(count)) continue;
    PrintMemoryRow(std::to_string(count), count, Measure(MakePatterns(count, 0), {}, 1, false, false));
  }
  std::printf("\n");
  if (memoryOnly) return 0;
  std::printf("scan_bench: one core, processor time, best of %d runs; SIMD path %s (VELTOR_SIMD lowers it); Hyperscan %s\n\n",
              runs, veltor::FinderPathName(veltor::ActiveFinderPath()),
              HyperscanAvailable() ? "5 (literal mode, single-match, block mode)" : "not built in");
  const std::vector<uint8_t>& corpus = Corpus();
  std::printf("Pattern sets over %.0f MiB of system files:\n\n", static_cast<double>(corpus.size()) / MiB);
  PrintHeader("set");
  for (size_t count : {size_t{100}, size_t{1000}, size_t{10000}, size_t{100000}}) {
    if (skipped(count)) continue;
    PrintRow(std::to_string(count), count, Measure(MakePatterns(count, 0), corpus, runs, true));
  }
  if (only != 0) return 0;
  if (!hostileOnly) {
    const std::vector<Pattern> patterns = MakePatterns(10000, 8);
    PrintRow("10,000 + 3- and 2-byte", patterns.size(), Measure(patterns, corpus, runs, true));
  }
  std::printf("\nHostile cases, 16 MiB each (SearchBuffer not run: quadratic there):\n\n");
  PrintHeader("case");
  for (const auto& make : HostileCases()) {
    const Hostile h = make();
    if (h.name.find(hostileName) == std::string::npos) continue;
    PrintRow(h.name, h.patterns.size(), Measure(h.patterns, h.input, runs, false));
  }
  return 0;
}
