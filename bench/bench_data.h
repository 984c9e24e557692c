#pragma once
// The benchmarks' data: 64 MiB of real binary and text files, and pattern
// sets of 100 to 100,000 patterns of 6 to 32 bytes. Half of each set is cut
// from the scanned data (so it hits), half is random bytes that practically
// never occur (about 1 in 10^7 per pattern for the shortest); one in eight is
// exact-case, and some ASCII ones are wide. A set may add 3- and 2-byte
// patterns cut from the data.
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace veltor::bench {

constexpr size_t CorpusSize = size_t{64} << 20;
constexpr size_t MaxBytesPerFile = size_t{1} << 20;  // so no single file dominates

inline std::vector<std::filesystem::path> SortedFiles(const std::filesystem::path& root, bool binary) {
  std::vector<std::filesystem::path> files;
  std::error_code error;
  for (auto it = std::filesystem::recursive_directory_iterator(
           root, std::filesystem::directory_options::skip_permission_denied, error);
       !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
    if (!it->is_regular_file(error)) continue;
    const std::filesystem::path& path = it->path();
    const std::string name = path.filename().string();
    if (binary ? name.find(".so") == std::string::npos : path.extension() == ".gz") continue;
    files.push_back(path);
  }
  std::sort(files.begin(), files.end());
  return files;
}

inline void AppendFile(std::vector<uint8_t>& corpus, const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::vector<char> bytes(std::min(MaxBytesPerFile, CorpusSize - corpus.size()));
  file.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  corpus.insert(corpus.end(), bytes.begin(), bytes.begin() + file.gcount());
}

// Shared objects, documentation and headers of this system, file by file in
// turn, up to 64 MiB (repeated if the system has less).
inline const std::vector<uint8_t>& Corpus() {
  static const std::vector<uint8_t> corpus = [] {
    const std::vector<std::filesystem::path> sources[] = {
        SortedFiles("/usr/lib/x86_64-linux-gnu", true),
        SortedFiles("/usr/share/doc", false),
        SortedFiles("/usr/lib/x86_64-linux-gnu", true),
        SortedFiles("/usr/include", false),
    };
    std::vector<uint8_t> bytes;
    bytes.reserve(CorpusSize);
    size_t next[std::size(sources)] = {};
    bool progress = true;
    while (bytes.size() < CorpusSize && progress) {
      progress = false;
      for (size_t s = 0; s < std::size(sources) && bytes.size() < CorpusSize; ++s) {
        // The two binary turns take different files of the same list.
        size_t& i = next[s == 2 ? 0 : s];
        if (i < sources[s].size()) {
          AppendFile(bytes, sources[s][i++]);
          progress = true;
        }
      }
    }
    if (bytes.empty()) bytes.assign(4096, 'x');
    for (size_t i = 0; bytes.size() < CorpusSize; ++i) bytes.push_back(bytes[i]);
    return bytes;
  }();
  return corpus;
}

// Cuts made mostly of one byte value (padding, zero runs) are skipped: no
// real signature is one, and each would hit at nearly every position of a
// run, so the benchmark would measure callbacks. Zero-led cuts with other
// bytes after them stay; they crowd the zero-led buckets as real ones do.
inline bool LooksLikeASignature(const std::vector<uint8_t>& bytes) {
  bool seen[256] = {};
  size_t distinct = 0;
  for (uint8_t b : bytes) {
    if (!seen[b]) ++distinct;
    seen[b] = true;
  }
  return distinct * 3 >= bytes.size();
}

struct Pattern {
  std::vector<uint8_t> bytes;
  int32_t exactCase = 0;
  bool wide = false;  // the scan path also looks for its UTF-16LE form
};

inline std::vector<Pattern> MakePatterns(size_t count, size_t extraShort) {
  const std::vector<uint8_t>& corpus = Corpus();
  std::mt19937_64 random(count * 7919 + extraShort);
  auto below = [&](size_t bound) { return std::uniform_int_distribution<size_t>(0, bound - 1)(random); };
  std::vector<Pattern> patterns;
  for (size_t i = 0; i < count; ++i) {
    Pattern pattern;
    const size_t length = 6 + below(27);
    if (i % 2 == 0) {
      do {
        const size_t at = below(corpus.size() - length);
        pattern.bytes.assign(corpus.begin() + static_cast<std::ptrdiff_t>(at),
                             corpus.begin() + static_cast<std::ptrdiff_t>(at + length));
      } while (!LooksLikeASignature(pattern.bytes));
    } else {
      for (size_t k = 0; k < length; ++k) pattern.bytes.push_back(static_cast<uint8_t>(below(256)));
    }
    pattern.exactCase = i % 8 == 0 ? 1 : 0;
    // Wide only for ASCII patterns, whose UTF-16LE form every runner can
    // write without a code page.
    pattern.wide = i % 16 == 2 && std::all_of(pattern.bytes.begin(), pattern.bytes.end(), [](uint8_t b) { return b < 0x80; });
    patterns.push_back(std::move(pattern));
  }
  for (size_t i = 0; i < extraShort; ++i) {
    const size_t length = i % 2 == 0 ? 3 : 2;
    const size_t at = below(corpus.size() - length);
    patterns.push_back({std::vector<uint8_t>(corpus.begin() + static_cast<std::ptrdiff_t>(at),
                                             corpus.begin() + static_cast<std::ptrdiff_t>(at + length)),
                        0});
  }
  return patterns;
}

}  // namespace veltor::bench
