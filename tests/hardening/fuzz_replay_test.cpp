// Replays a fuzz target's checked-in corpus: the seeds our tools wrote and
// every input that once made the target fail. The target aborts on any
// fault it detects, and the sanitizer build catches the rest.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

std::vector<std::filesystem::path> CorpusFiles() {
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(VELTOR_FUZZ_CORPUS)) {
    if (entry.is_regular_file()) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

// VELTOR_FUZZ_SUITE names the suite after the target (FuzzReplay_matcher),
// so that each program's test has a name of its own in CTest.
TEST(VELTOR_FUZZ_SUITE, EveryCorpusInputRunsCleanly) {
  const auto files = CorpusFiles();
  ASSERT_FALSE(files.empty()) << VELTOR_FUZZ_CORPUS;
  for (const auto& file : files) {
    SCOPED_TRACE(file.filename().string());
    std::ifstream stream(file, std::ios::binary);
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
    // A copy of exactly the input's size, so that the sanitizer sees any
    // read past its end, as under libFuzzer.
    const auto input = std::make_unique<uint8_t[]>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), input.get());
    EXPECT_EQ(LLVMFuzzerTestOneInput(input.get(), bytes.size()), 0);
  }
}

}  // namespace
