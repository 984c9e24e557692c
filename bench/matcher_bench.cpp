// Matcher benchmarks (Google Benchmark): SearchBuffer's table build time and
// search throughput over the data of bench_data.h. A last case adds a few
// 3- and 2-byte patterns to the 10,000 set, which shrinks the window to 3.
// The scan path's table beside other matchers is scan_bench.
#include <benchmark/benchmark.h>

#include "bench/bench_data.h"
#include "engine/matcher/pattern_matcher.h"

namespace veltor {
namespace {

using bench::Corpus;
using bench::MakePatterns;
using bench::Pattern;

PatternMatcherPtr MakeMatcher(const std::vector<Pattern>& patterns) {
  PatternMatcherPtr matcher = CreateMatcher();
  int32_t tag = 0;
  for (const Pattern& pattern : patterns) {
    AddPattern(matcher.get(), pattern.bytes.data(), static_cast<int32_t>(pattern.bytes.size()), pattern.exactCase,
               tag++);
  }
  return matcher;
}

void CountHit(int32_t, int32_t, void* userData) { ++*static_cast<int64_t*>(userData); }

// Registration and table build of a whole set, as when a database is opened.
void BM_Build(benchmark::State& state) {
  const std::vector<Pattern> patterns = MakePatterns(static_cast<size_t>(state.range(0)), 0);
  for (auto _ : state) {
    PatternMatcherPtr matcher = MakeMatcher(patterns);
    benchmark::DoNotOptimize(BuildTables(matcher.get()));
    state.PauseTiming();
    matcher.reset();
    state.ResumeTiming();
  }
}

void RunSearch(benchmark::State& state, size_t count, size_t extraShort) {
  const std::vector<uint8_t>& corpus = Corpus();
  PatternMatcherPtr matcher = MakeMatcher(MakePatterns(count, extraShort));
  if (BuildTables(matcher.get()) != 1) {
    state.SkipWithError("table build failed");
    return;
  }
  int64_t hits = 0;
  int32_t occurrences = 0;
  for (auto _ : state) {
    hits = 0;
    occurrences = SearchBuffer(matcher.get(), corpus.data(), static_cast<int32_t>(corpus.size()), CountHit, &hits);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(corpus.size()));
  state.counters["hits"] = static_cast<double>(occurrences);
  state.counters["window"] = matcher->minLength;
}

void BM_Search(benchmark::State& state) { RunSearch(state, static_cast<size_t>(state.range(0)), 0); }

// The 10,000 set plus four 3-byte and four 2-byte patterns.
void BM_SearchWithShortPatterns(benchmark::State& state) { RunSearch(state, 10000, 8); }

BENCHMARK(BM_Build)->Arg(100)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Search)->Arg(100)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SearchWithShortPatterns)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace veltor

BENCHMARK_MAIN();
