// Hyperscan side of scan_bench (built only when the library is found).
#include "bench/hyperscan_runner.h"

#include <hs/hs.h>

#include <algorithm>
#include <ctime>

namespace veltor::bench {
namespace {

int OnMatch(unsigned int id, unsigned long long, unsigned long long, unsigned int, void* context) {
  static_cast<uint8_t*>(context)[id] = 1;
  return 0;
}

// Processor time of this (single-threaded) process: on a machine shared
// with other work, wall time would measure the neighbours too.
double Seconds(std::clock_t since) { return static_cast<double>(std::clock() - since) / CLOCKS_PER_SEC; }

}  // namespace

bool HyperscanAvailable() { return true; }

HyperscanResult RunHyperscan(const std::vector<LiteralForm>& forms, size_t idCount, std::span<const uint8_t> input,
                             int runs) {
  HyperscanResult result;
  std::vector<const char*> expressions;
  std::vector<unsigned> flags;
  std::vector<unsigned> ids;
  std::vector<size_t> lengths;
  for (const LiteralForm& form : forms) {
    expressions.push_back(reinterpret_cast<const char*>(form.bytes.data()));
    flags.push_back(HS_FLAG_SINGLEMATCH | (form.exactCase ? 0u : static_cast<unsigned>(HS_FLAG_CASELESS)));
    ids.push_back(form.id);
    lengths.push_back(form.bytes.size());
  }
  hs_database_t* database = nullptr;
  hs_compile_error_t* error = nullptr;
  const auto start = std::clock();
  if (hs_compile_lit_multi(expressions.data(), flags.data(), ids.data(), lengths.data(),
                           static_cast<unsigned>(forms.size()), HS_MODE_BLOCK, nullptr, &database,
                           &error) != HS_SUCCESS) {
    result.error = error != nullptr ? error->message : "compile failed";
    hs_free_compile_error(error);
    return result;
  }
  hs_scratch_t* scratch = nullptr;
  hs_alloc_scratch(database, &scratch);
  result.buildMilliseconds = Seconds(start) * 1000;
  size_t databaseSize = 0;
  size_t scratchSize = 0;
  hs_database_size(database, &databaseSize);
  hs_scratch_size(scratch, &scratchSize);
  result.memory = databaseSize + scratchSize;
  result.bestSeconds = 1e30;
  for (int run = 0; run < runs; ++run) {
    result.found.assign(idCount, 0);
    const auto scanStart = std::clock();
    hs_scan(database, reinterpret_cast<const char*>(input.data()), static_cast<unsigned>(input.size()), 0, scratch,
            OnMatch, result.found.data());
    result.bestSeconds = std::min(result.bestSeconds, Seconds(scanStart));
  }
  hs_free_scratch(scratch);
  hs_free_database(database);
  result.ok = true;
  return result;
}

}  // namespace veltor::bench
