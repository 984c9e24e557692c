// Archive benchmarks: unpacked bytes per second walked and scanned from a
// tar.gz and a zip of the same 64 MiB of this system's files, beside tar
// unpacking the tar.gz to /dev/null, so that the cost of unpacking shows;
// and how long a zip bomb runs, and how much memory it takes, before its
// limit stops it. The archives are written once per run, in a temporary
// folder. Scanning uses the default database; without it (a build without
// it), the scanning cases are skipped.
#include <benchmark/benchmark.h>
#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine/api/scan.h"
#include "engine/api/scan_handle.h"
#include "archive/archive_walk.h"

namespace veltor::archive {
namespace {

constexpr size_t CorpusSize = size_t{64} << 20;
constexpr size_t MaxBytesPerFile = size_t{1} << 20;

struct Corpus {
  std::filesystem::path folder;
  std::filesystem::path tarGz;
  std::filesystem::path zip;
  uint64_t bytes = 0;
};

// Shared objects and documentation of this system, whole files of at most
// 1 MiB, sorted, up to 64 MiB, written as one tar.gz and one zip.
const Corpus& MakeCorpus() {
  static const Corpus corpus = [] {
    std::vector<std::filesystem::path> files;
    for (const char* root : {"/usr/lib/x86_64-linux-gnu", "/usr/share/doc", "/usr/include"}) {
      std::error_code error;
      for (auto it = std::filesystem::recursive_directory_iterator(
               root, std::filesystem::directory_options::skip_permission_denied, error);
           !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
        if (it->is_regular_file(error) && !it->is_symlink(error) && it->file_size(error) <= MaxBytesPerFile) {
          files.push_back(it->path());
        }
      }
    }
    std::sort(files.begin(), files.end());
    Corpus made;
    made.folder = std::filesystem::temp_directory_path() / ("veltor-archive-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(made.folder);
    made.tarGz = made.folder / "corpus.tar.gz";
    made.zip = made.folder / "corpus.zip";
    struct archive* writers[2] = {archive_write_new(), archive_write_new()};
    archive_write_set_format_ustar(writers[0]);
    archive_write_add_filter_gzip(writers[0]);
    archive_write_set_format_zip(writers[1]);
    archive_write_open_filename(writers[0], made.tarGz.c_str());
    archive_write_open_filename(writers[1], made.zip.c_str());
    std::vector<char> bytes;
    for (size_t i = 0; i < files.size() && made.bytes < CorpusSize; ++i) {
      std::error_code error;
      bytes.resize(static_cast<size_t>(std::filesystem::file_size(files[i], error)));
      std::ifstream file(files[i], std::ios::binary);
      file.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
      bytes.resize(static_cast<size_t>(file.gcount()));
      if (error || bytes.empty()) continue;
      const std::string name = files[i].relative_path().string();
      for (struct archive* writer : writers) {
        struct archive_entry* entry = archive_entry_new();
        archive_entry_set_pathname(entry, name.c_str());
        archive_entry_set_filetype(entry, AE_IFREG);
        archive_entry_set_perm(entry, 0644);
        archive_entry_set_size(entry, static_cast<la_int64_t>(bytes.size()));
        archive_write_header(writer, entry);
        archive_write_data(writer, bytes.data(), bytes.size());
        archive_entry_free(entry);
      }
      made.bytes += bytes.size();
    }
    for (struct archive* writer : writers) archive_write_free(writer);
    return made;
  }();
  return corpus;
}

struct ScanSink {
  ScanHandle* handle = nullptr;
  uint64_t bytes = 0;
};

ArchiveSink MakeSink(ScanSink& scan) {
  ArchiveSink sink;
  sink.user = &scan;
  sink.memberBegin = [](void* user, ArchivePath) {
    auto* self = static_cast<ScanSink*>(user);
    if (self->handle != nullptr) BeginScan(*self->handle);
    return true;
  };
  sink.memberBytes = [](void* user, std::span<const uint8_t> bytes) {
    auto* self = static_cast<ScanSink*>(user);
    self->bytes += bytes.size();
    if (self->handle != nullptr) FeedScan(*self->handle, bytes.data(), bytes.size());
    return true;
  };
  sink.memberEnd = [](void* user, ArchivePath) {
    auto* self = static_cast<ScanSink*>(user);
    if (self->handle != nullptr) FinishScan(*self->handle);
  };
  sink.problem = [](void*, ArchivePath, ProblemKind, std::string_view) {};
  return sink;
}

void RunWalk(benchmark::State& state, bool zip, bool scan) {
  const Corpus& corpus = MakeCorpus();
  ScanHandle handle;
  ScanSink counter;
  if (scan) {
#ifdef VELTOR_DEFAULT_DATABASE
    if (!LoadHandle(handle, VELTOR_DEFAULT_DATABASE)) {
      state.SkipWithError("the default database does not load");
      return;
    }
    counter.handle = &handle;
#else
    state.SkipWithError("built without the default database");
    return;
#endif
  }
  const ArchiveSink sink = MakeSink(counter);
  ArchiveLimits limits;
  limits.maxRatio = 0;
  for (auto _ : state) {
    const int descriptor = ::open((zip ? corpus.zip : corpus.tarGz).c_str(), O_RDONLY);
    const WalkResult result = WalkArchiveDescriptor(descriptor, "corpus", limits, sink);
    ::close(descriptor);
    if (result.errors || result.incomplete) state.SkipWithError("the corpus archive did not walk cleanly");
  }
  state.SetBytesProcessed(static_cast<int64_t>(counter.bytes));
  ClearHandle(handle);
}

void BM_WalkTarGz(benchmark::State& state) { RunWalk(state, false, false); }
void BM_WalkZip(benchmark::State& state) { RunWalk(state, true, false); }
void BM_ScanTarGz(benchmark::State& state) { RunWalk(state, false, true); }
void BM_ScanZip(benchmark::State& state) { RunWalk(state, true, true); }

// The same tar.gz unpacked by tar to /dev/null.
void BM_TarToDevNull(benchmark::State& state) {
  const Corpus& corpus = MakeCorpus();
  const std::string command = "tar -xzOf '" + corpus.tarGz.string() + "' > /dev/null";
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) state.SkipWithError("tar failed");
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(corpus.bytes));
}

// A zip whose one member inflates to 4095 MiB of zeros: 1 MiB of zeros
// deflated once, the segment repeated. Its CRC is left 0: the limits stop
// it long before the check.
std::vector<uint8_t> ZipBomb() {
  std::vector<uint8_t> zeros(size_t{1} << 20), segment(4096), tail(16);
  z_stream stream{};
  deflateInit2(&stream, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY);
  stream.next_in = zeros.data();
  stream.avail_in = static_cast<uInt>(zeros.size());
  stream.next_out = segment.data();
  stream.avail_out = static_cast<uInt>(segment.size());
  deflate(&stream, Z_FULL_FLUSH);
  segment.resize(segment.size() - stream.avail_out);
  stream.next_out = tail.data();
  stream.avail_out = static_cast<uInt>(tail.size());
  deflate(&stream, Z_FINISH);
  tail.resize(tail.size() - stream.avail_out);
  deflateEnd(&stream);
  constexpr uint32_t Mebibytes = 4095;
  const uint64_t packed = Mebibytes * segment.size() + tail.size();
  std::vector<uint8_t> zip;
  auto put = [&zip](uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) zip.push_back(static_cast<uint8_t>(value >> (8 * i)));
  };
  const std::string name = "zeros.bin";
  auto common = [&] {
    put(20, 2), put(0, 2), put(8, 2), put(0, 4), put(0, 4), put(packed, 4), put(uint64_t{Mebibytes} << 20, 4);
    put(name.size(), 2), put(0, 2);
  };
  put(0x04034b50, 4), common(), zip.insert(zip.end(), name.begin(), name.end());
  for (uint32_t i = 0; i < Mebibytes; ++i) zip.insert(zip.end(), segment.begin(), segment.end());
  zip.insert(zip.end(), tail.begin(), tail.end());
  const size_t directory = zip.size();
  put(0x02014b50, 4), put(20, 2), common(), put(0, 6), put(0, 8), zip.insert(zip.end(), name.begin(), name.end());
  const size_t directorySize = zip.size() - directory;
  put(0x06054b50, 4), put(0, 4), put(1, 2), put(1, 2), put(directorySize, 4), put(directory, 4), put(0, 2);
  return zip;
}

// The bomb under the default limits: time to the stop and the growth of
// the process's peak memory (run first, so that the peak is its own).
void BM_ZipBombStops(benchmark::State& state) {
  const std::vector<uint8_t> zip = ZipBomb();
  rusage before{};
  ::getrusage(RUSAGE_SELF, &before);
  ScanSink counter;
  const ArchiveSink sink = MakeSink(counter);
  for (auto _ : state) {
    const WalkResult result = WalkArchiveBuffer(zip, "bomb.zip", {}, sink);
    if (!result.incomplete) state.SkipWithError("the bomb was not stopped");
  }
  rusage after{};
  ::getrusage(RUSAGE_SELF, &after);
  state.counters["packed_MiB"] = static_cast<double>(zip.size()) / (1 << 20);
  state.counters["unpacked_MiB_per_walk"] =
      static_cast<double>(counter.bytes) / static_cast<double>(state.iterations()) / (1 << 20);
  state.counters["peak_growth_MiB"] = static_cast<double>(after.ru_maxrss - before.ru_maxrss) / 1024.0;
  state.counters["peak_MiB"] = static_cast<double>(after.ru_maxrss) / 1024.0;
}

BENCHMARK(BM_ZipBombStops)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_TarToDevNull)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK(BM_WalkTarGz)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK(BM_WalkZip)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK(BM_ScanTarGz)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK(BM_ScanZip)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

}  // namespace
}  // namespace veltor::archive

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code error;
  std::filesystem::remove_all(std::filesystem::temp_directory_path() /
                                  ("veltor-archive-bench-" + std::to_string(::getpid())),
                              error);
  return 0;
}
