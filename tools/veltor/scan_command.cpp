// veltor scan: scans files, folders and standard input through the QZVeltor
// library's exports, as any host would, with one handle per worker.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "api/veltor.h"
#include "tools/veltor/command_support.h"
#include "tools/veltor/files.h"
#include "tools/veltor/scan_explain.h"
#include "tools/veltor/scan_report.h"
#include "tools/veltor/scan_system.h"
#include "tools/veltor/scan_targets.h"

namespace veltor::cli {
namespace {

constexpr std::string_view Help =
    "usage: veltor scan [OPTIONS] PATH...\n"
    "\n"
    "Scans files with a database through the QZVeltor library and prints every\n"
    "rule it reports, one line each: 'PATH: RULE (level N)' (level 1: score of\n"
    "at least 0.999, level 2: at least 0.501). Files with no report print\n"
    "'PATH: OK'. PATH '-' scans standard input as one buffer.\n"
    "\n"
    "Options:\n"
    "      --db FILE        the database file to use (default: qzdata.vlb in the\n"
    "                       folder of the QZVeltor library)\n"
    "  -r, --recursive      scan the files in folders and their subfolders\n"
    "  -L, --follow-links   follow symbolic links found inside folders (links\n"
    "                       named on the command line are always followed)\n"
    "  -j, --threads N      scan with N workers (default: the number of cores);\n"
    "                       each opens its own copy of the database\n"
    "      --sort           print in path order, the same for any -j\n"
    "      --json           print JSON Lines: {\"path\",\"rule\",\"level\"} per report,\n"
    "                       {\"path\",\"clean\":true}, {\"path\",\"skipped\":REASON},\n"
    "                       {\"path\",\"error\":MESSAGE}, and a final {\"summary\":{...}}\n"
    "  -i, --infected       print only files with reports\n"
    "  -q, --quiet          print nothing but errors\n"
    "      --explain        for rule authors: per file, the signatures that occurred\n"
    "                       (plain or wide form, first offsets), every rule's score\n"
    "                       and why a reported rule has its level (text, or one JSON\n"
    "                       object per file with --json); files are read whole\n"
    "  -h, --help           show this text\n"
    "\n"
    "Skipped files: the engine scans files of 1 to 16,777,216 bytes. Empty files,\n"
    "larger files, files that cannot be opened or read (no permission, a read\n"
    "error), folders that cannot be listed and anything but regular files are\n"
    "listed as 'PATH: skipped (REASON)' and counted; they are not errors.\n"
    "Symbolic links inside folders are not followed unless -L is given; the\n"
    "summary counts them.\n"
    "\n"
    "Output: reports and file lines on standard output; without --sort, lines\n"
    "of different files come in the order the workers finish them, each line\n"
    "whole. Errors and a summary (files scanned, reports, files with reports,\n"
    "skipped, errors, bytes, time, MB/s) go to standard error, and a progress\n"
    "line too when standard error is a terminal and the scan takes more than\n"
    "half a second. Names are printed as UTF-8; control characters in names\n"
    "and paths as \\xNN.\n"
    "\n"
    "Memory: every worker holds its own copy of the database (see 'veltor info')\n"
    "and a read buffer as large as the largest file it scans (at most 16 MiB).\n"
    "\n"
    "Exit status: 0 when nothing was reported, 1 when something was reported,\n"
    "2 on an error: a database that does not load, a path on the command line\n"
    "that does not exist, a folder named without -r, standard input that cannot\n"
    "be read, memory exhausted, or a wrong command line. An error wins over\n"
    "reports: the scan goes on, and the status is 2.\n";

using Clock = std::chrono::steady_clock;

// Exit statuses of a scan, as users know them from other scanners.
constexpr int ExitNothingReported = 0;
constexpr int ExitReported = 1;
constexpr int ExitError = 2;

struct HandleDeleter {
  void operator()(ScanHandle* handle) const { VeltorDelete(handle); }
};
using HandlePtr = std::unique_ptr<ScanHandle, HandleDeleter>;

struct ReportCollector {
  std::vector<RuleReport>* reports;
  bool failed = false;
};

// Runs on the scanning thread once matching is complete; it must not throw
// back into the library.
void VELTOR_CALL CollectReport(int32_t level, const char* name, void* userData) {
  auto* collector = static_cast<ReportCollector*>(userData);
  try {
    collector->reports->push_back({level, name != nullptr ? std::string(name) : std::string()});
  } catch (const std::bad_alloc&) {
    collector->failed = true;
  }
}

// Reads at most `capacity` bytes; the count read, or nothing with `error`
// set when the stream fails.
std::optional<size_t> ReadUpTo(std::FILE* file, uint8_t* buffer, size_t capacity, std::string& error) {
  size_t total = 0;
  while (total < capacity) {
    const size_t read = std::fread(buffer + total, 1, capacity - total, file);
    if (read == 0) break;
    total += read;
  }
  if (std::ferror(file) != 0) {
    const int number = errno;
    error = "read error" + (number != 0 ? ": " + std::generic_category().message(number) : std::string());
    return std::nullopt;
  }
  return total;
}

// A worker's means: its handle and a read buffer one byte larger than the
// largest file the engine scans, so that a larger file shows. The buffer is
// not initialised: only the pages a file fills are ever touched.
struct Worker {
  HandlePtr handle;
  std::unique_ptr<uint8_t[]> buffer;
};

FileOutcome Skipped(std::string reason) { return {Outcome::Skipped, {}, std::move(reason), 0}; }
FileOutcome Failed(std::string reason) { return {Outcome::Error, {}, std::move(reason), 0}; }

FileOutcome ScanTargetWith(const ScanTarget& target, Worker& worker) {
  if (target.state == TargetState::Skipped) return Skipped(target.reason);
  if (target.state == TargetState::Error) return Failed(target.reason);
  if (!worker.buffer) worker.buffer = std::make_unique_for_overwrite<uint8_t[]>(MaxScanSize + 1);

  std::string error;
  std::optional<size_t> size;
  if (target.standardInput) {
    size = ReadUpTo(stdin, worker.buffer.get(), MaxScanSize + 1, error);
    if (!size) return Failed("cannot read standard input: " + error);
  } else {
    errno = 0;
    std::FILE* file = OpenForReading(std::filesystem::path(target.path));
    if (file == nullptr) {
      const int number = errno;
      return Skipped("cannot open" + (number != 0 ? ": " + std::generic_category().message(number) : std::string()));
    }
    std::setvbuf(file, nullptr, _IONBF, 0);  // large reads go straight into the buffer
    size = ReadUpTo(file, worker.buffer.get(), MaxScanSize + 1, error);
    std::fclose(file);
    if (!size) return Skipped(error);
  }
  if (*size == 0) return Skipped("empty file");
  if (*size > MaxScanSize) return Skipped("larger than 16,777,216 bytes");

  FileOutcome outcome{Outcome::Clean, {}, {}, *size};
  ReportCollector collector{&outcome.reports};
  const int32_t count = VeltorMemoryA(worker.handle.get(), worker.buffer.get(), static_cast<int32_t>(*size),
                                      CollectReport, &collector);
  if (collector.failed) return Failed("out of memory while collecting reports");
  if (count > 0) outcome.outcome = Outcome::Reported;
  return outcome;
}

// The one place output is written: whole lines, one writer at a time, the
// progress line cleared before anything else appears.
struct Printer {
  std::mutex mutex;
  std::condition_variable changed;
  OutputOptions options;
  bool inOrder = false;
  const std::vector<ScanTarget>* targets = nullptr;
  std::vector<FileOutcome> held;  // finished out of order, waiting for their turn
  std::vector<char> finished;
  size_t nextToPrint = 0;
  size_t finishedCount = 0;
  ScanTotals totals;
  size_t progressWidth = 0;  // characters of the progress line on screen

  void ClearProgress() {
    if (progressWidth == 0) return;
    std::string blank(progressWidth + 2, ' ');
    blank.front() = '\r';
    blank.back() = '\r';
    std::fwrite(blank.data(), 1, blank.size(), stderr);
    std::fflush(stderr);
    progressWidth = 0;
  }

  void Write(std::FILE* stream, const std::string& text) {
    if (text.empty()) return;
    ClearProgress();
    std::fwrite(text.data(), 1, text.size(), stream);
  }

  void Emit(size_t index, const FileOutcome& outcome) {
    const std::string path = PathText((*targets)[index]);
    if (outcome.outcome == Outcome::Error) Write(stderr, FormatError(path, outcome.reason));
    Write(stdout, FormatOutcome(path, outcome, options));
  }

  void Finish(size_t index, FileOutcome outcome) {
    std::lock_guard lock(mutex);
    totals.Add(outcome);
    ++finishedCount;
    if (!inOrder) {
      Emit(index, outcome);
    } else {
      held[index] = std::move(outcome);
      finished[index] = 1;
      for (; nextToPrint < finished.size() && finished[nextToPrint] != 0; ++nextToPrint) {
        Emit(nextToPrint, held[nextToPrint]);
        held[nextToPrint] = {};
      }
    }
    changed.notify_all();
  }

  void DrawProgress(size_t total, double seconds) {
    std::fflush(stdout);
    char line[160];
    const int length = std::snprintf(line, sizeof line, "scanning: %zu of %zu files, %.1f MB, %.0f s", finishedCount,
                                     total, static_cast<double>(totals.bytes) / 1e6, seconds);
    if (length <= 0) return;
    const auto width = std::min(static_cast<size_t>(length), sizeof line - 1);
    std::string text(1, '\r');
    text.append(line, width);
    if (width < progressWidth) text += std::string(progressWidth - width, ' ');
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
    progressWidth = std::max(progressWidth, width);
  }
};

std::optional<unsigned> ParseThreads(std::string_view text) {
  unsigned value = 0;
  if (text.empty() || text.size() > 4) return std::nullopt;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value == 0 || value > 256) return std::nullopt;
  return value;
}

int RunScan(std::span<const std::string_view> arguments);

}  // namespace

extern const Command ScanCommand{"scan", "scan files and folders with a database, through the library", Help,
                                 RunScan};

namespace {

HandlePtr OpenDatabase(const std::optional<std::string_view>& path) {
  if (!path) return HandlePtr(VeltorNewA(nullptr));
  return HandlePtr(VeltorNewA(std::string(*path).c_str()));
}

void ReportDatabaseFailure(const std::optional<std::string_view>& path) {
  if (path) {
    std::error_code code;
    const bool exists = std::filesystem::exists(std::filesystem::path(std::string(*path)), code);
    ReportError("scan", "cannot load the database " + std::string(*path) + ": " +
                            (exists ? "unreadable, not a database file or damaged" : "no such file"));
    return;
  }
  const std::string library = LoadedLibraryPath();
  const std::string folder =
      library.empty() ? std::string("the library's folder") : std::filesystem::path(library).parent_path().string();
  ReportError("scan", "cannot load the default database qzdata.vlb in " + folder +
                          " (missing, unreadable or damaged); give one with --db FILE");
}

int RunScan(std::span<const std::string_view> arguments) {
  static constexpr OptionDefinition Options[] = {
      {"", "--db", true},     {"-r", "--recursive", false}, {"-L", "--follow-links", false},
      {"-j", "--threads", true}, {"", "--sort", false},      {"", "--json", false},
      {"-i", "--infected", false}, {"-q", "--quiet", false}, {"", "--explain", false},
  };
  int exitCode = ExitSuccess;
  const std::optional<ParsedArguments> parsed = ReadCommandLine(ScanCommand, arguments, Options, 1, SIZE_MAX, exitCode);
  if (!parsed) return exitCode;
  if (parsed->Has("--explain")) return RunScanExplain(*parsed);
  unsigned threads = std::max(1u, std::thread::hardware_concurrency());
  if (const auto value = parsed->Value("--threads")) {
    const std::optional<unsigned> number = ParseThreads(*value);
    if (!number) {
      ReportError("scan", "--threads takes a number from 1 to 256, not '" + std::string(*value) + "'");
      return ExitUsage;
    }
    threads = *number;
  }
  if (std::count(parsed->positional.begin(), parsed->positional.end(), "-") > 1) {
    ReportError("scan", "standard input ('-') can be scanned only once");
    return ExitUsage;
  }

  SetStandardStreamsBinary();
  const std::optional<std::string_view> database = parsed->Value("--db");
  std::vector<Worker> workers(1);
  workers[0].handle = OpenDatabase(database);
  if (!workers[0].handle) {
    ReportDatabaseFailure(database);
    return ExitError;
  }
  const Clock::time_point start = Clock::now();

  WalkResult walk = CollectTargets(parsed->positional, {parsed->Has("--recursive"), parsed->Has("--follow-links")});
  std::vector<ScanTarget>& targets = walk.targets;
  if (parsed->Has("--sort")) {
    std::stable_sort(targets.begin(), targets.end(), PathLess);
  }
  const size_t toScan = static_cast<size_t>(
      std::count_if(targets.begin(), targets.end(), [](const ScanTarget& t) { return t.state == TargetState::Scan; }));
  workers.resize(std::max<size_t>(1, std::min<size_t>(threads, toScan)));

  Printer printer;
  printer.options = {parsed->Has("--json"), parsed->Has("--infected"), parsed->Has("--quiet")};
  printer.inOrder = parsed->Has("--sort");
  printer.targets = &targets;
  printer.totals.linksNotFollowed = walk.linksNotFollowed;
  if (printer.inOrder) {
    printer.held.resize(targets.size());
    printer.finished.assign(targets.size(), 0);
  }

  std::atomic<size_t> next{0};
  std::atomic<size_t> running{workers.size()};
  std::atomic<size_t> handleFailures{0};
  const auto work = [&](Worker& worker) {
    try {
      if (!worker.handle) worker.handle = OpenDatabase(database);
      if (!worker.handle) {
        ++handleFailures;
      } else {
        for (size_t index = next++; index < targets.size(); index = next++) {
          FileOutcome outcome;
          try {
            outcome = ScanTargetWith(targets[index], worker);
          } catch (const std::bad_alloc&) {
            outcome = Failed("out of memory");
          }
          printer.Finish(index, std::move(outcome));
        }
      }
    } catch (const std::exception&) {
      // Nothing more this worker can do; what it left is counted below.
    }
    std::lock_guard lock(printer.mutex);
    --running;
    printer.changed.notify_all();
  };
  std::vector<std::thread> pool;
  pool.reserve(workers.size());
  for (Worker& worker : workers) pool.emplace_back(work, std::ref(worker));

  const bool showProgress = !printer.options.quiet && StandardErrorIsTerminal();
  {
    std::unique_lock lock(printer.mutex);
    while (!printer.changed.wait_for(lock, std::chrono::milliseconds(100), [&] {
      return printer.finishedCount == targets.size() || running == 0;
    })) {
      const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
      if (showProgress && seconds > 0.5) printer.DrawProgress(targets.size(), seconds);
    }
  }
  for (std::thread& thread : pool) thread.join();
  workers.clear();

  std::lock_guard lock(printer.mutex);
  printer.ClearProgress();
  if (handleFailures != 0) {
    ReportError("scan", "a worker could not open its copy of the database (out of memory?); the others went on");
    printer.totals.errors += handleFailures;
  }
  if (printer.finishedCount != targets.size()) {
    ReportError("scan", std::to_string(targets.size() - printer.finishedCount) +
                            " files were not scanned: the workers ran out of memory");
    printer.totals.errors += targets.size() - printer.finishedCount;
  }
  printer.totals.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (!printer.options.quiet) {
    if (printer.options.json) printer.Write(stdout, FormatSummaryJson(printer.totals));
    std::fflush(stdout);
    printer.Write(stderr, FormatSummaryText(printer.totals));
  }
  std::fflush(stdout);
  std::fflush(stderr);
  if (printer.totals.errors != 0) return ExitError;
  return printer.totals.reports != 0 ? ExitReported : ExitNothingReported;
}

}  // namespace
}  // namespace veltor::cli
