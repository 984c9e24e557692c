// veltor scan: scans files, folders and standard input with the engine,
// each file streamed through a fixed buffer, one worker per thread.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "compiler/rulelang/database_image.h"
#include "engine/database/database_format.h"
#include "scanning/scan_text.h"
#include "veltor/command_support.h"
#include "scanning/default_database.h"
#include "scanning/files.h"
#include "scanning/scan_explain.h"
#include "scanning/signature_names.h"
#include "scanning/scan_report.h"
#include "scanning/scan_system.h"
#include "scanning/scan_targets.h"
#include "scanning/scan_worker.h"

namespace veltor::cli {

using namespace scanning;  // the scan job and its file reading
namespace {

// The archive limits' defaults come from the walk's own defaults.
const archive::ArchiveLimits DefaultLimits;
const std::string Help = std::string(
    "usage: veltor scan [OPTIONS] PATH...\n"
    "       veltor scan [OPTIONS] --file-list FILE [PATH...]\n"
    "\n"
    "Scans files with a database and prints every rule it reports, one line\n"
    "each: 'PATH: RULE (level N)' (level 1: score of at least 0.999, level 2:\n"
    "at least 0.501). Files with no report print 'PATH: OK'. PATH '-' scans\n"
    "standard input. Every file is scanned whole, whatever its size: it is read\n"
    "and matched in chunks, and the rules are evaluated once at its end.\n"
    "\n"
    "Options:\n"
    "      --db FILE        the database file to use (default: see below)\n"
    "  -r, --recursive      scan the subfolders of folders too (without it, a\n"
    "                       folder's own files only)\n"
    "  -L, --follow-links   follow symbolic links found inside folders (links\n"
    "                       named on the command line are always followed)\n"
    "  -x, --one-file-system  stay on the file system of each named folder\n"
    "      --max-depth N    with -r, enter at most N levels of subfolders below a\n"
    "                       named folder (0: its own files only)\n"
    "      --exclude GLOB   leave out files in folders whose name matches GLOB\n"
    "                       (a shell pattern on the base name, as grep and find\n"
    "                       -name match: *.log, core.[0-9]*); repeatable\n"
    "      --include GLOB   scan only files in folders whose name matches one\n"
    "                       of the --include patterns; repeatable; --exclude\n"
    "                       wins\n"
    "      --exclude-dir GLOB  do not enter subfolders whose name matches GLOB\n"
    "                       (.git, node_modules); repeatable\n"
    "      --file-list FILE  scan the paths listed in FILE, one per line ('-':\n"
    "                       standard input), besides any PATH given\n"
    "  -0, --null           the list's paths end in NUL bytes, not newlines\n"
    "                       (find -print0)\n"
    "      --max-filesize SIZE  skip files larger than SIZE bytes (suffixes K, M,\n"
    "                       G: powers of 1024)\n"
    "      --max-scan-time SECONDS  stop scanning a file, archive members\n"
    "                       included, after SECONDS (decimals allowed); the\n"
    "                       file is then 'incomplete' (never OK), an error\n"
    "                       unless --limits-ok is given\n"
    "  -j, --threads N      scan with N workers (default: the number of cores);\n"
    "                       each opens its own copy of the database\n"
    "      --sort           print in path order, the same for any -j\n"
    "      --json           print JSON Lines: {\"path\",\"rule\",\"level\"} per report,\n"
    "                       {\"path\",\"clean\":true}, {\"path\",\"skipped\":REASON},\n"
    "                       {\"path\",\"excluded\":REASON}, {\"path\",\"error\":MESSAGE},\n"
    "                       and a final {\"summary\":{...}}; \"pathBytes\" (hex) is\n"
    "                       added when a path is not UTF-8\n"
    "      --archives       look inside archives and compressed files (default)\n"
    "      --no-archives    scan every file as bytes only\n"
    "      --max-archive-depth N  open archives nested N deep at most (default ") +
    std::to_string(DefaultLimits.maxDepth) + ")\n"
    "      --max-unpacked SIZE  unpack at most SIZE bytes per file, every depth\n"
    "                       together (default " + std::to_string(DefaultLimits.maxUnpacked >> 30) + "G)\n"
    "      --max-members N  unpack at most N members per file (default " +
    std::to_string(DefaultLimits.maxMembers) + ")\n"
    "      --max-ratio N    stop when a file has unpacked N times the bytes read\n"
    "                       of it, once past 1 MiB (default " + std::to_string(DefaultLimits.maxRatio) +
    "; 0: no limit)\n"
    "      --limits-ok      a limit reached is reported but not an error\n"
    "      --encrypted-ok   an encrypted member is reported but not an error\n"
    "      --damaged-ok     a damaged archive or member is reported but not an\n"
    "                       error\n"
    "  -s, --signatures     under each report, the signatures behind it that\n"
    "                       occurred: id, name (from FILE.vlb.names beside the\n"
    "                       database, when there), form (plain or wide) and\n"
    "                       first offsets; the file is read again (not standard\n"
    "                       input, nor archive members); JSON: \"signatures\"\n"
    "  -i, --infected       print only reports and problems (no OK lines)\n"
    "  -q, --quiet          print nothing but errors\n"
    "      --no-summary     print no summary at the end\n"
    "      --log FILE       also append everything printed to FILE, each run\n"
    "                       under a line with its start time (UTC) and command\n"
    "      --version        print the program's version (and, with --db, the\n"
    "                       database's build time and counts) and exit\n"
    "      --explain        for rule authors: per scanned file, instead of its\n"
    "                       lines, the signatures that occurred (plain or wide\n"
    "                       form, first offsets; the file is read again, standard\n"
    "                       input is not), every rule's score and why a reported\n"
    "                       rule has its level (text, or one JSON object per file\n"
    "                       with --json)\n"
    "  -h, --help           show this text\n"
    "\n"
    "Errors: a file that cannot be opened or read, a folder that cannot be\n"
    "listed, a path that does not exist, and a device, FIFO or socket named on\n"
    "the command line are errors: listed on standard error with the reason and\n"
    "counted. Empty files are clean. Devices, FIFOs, sockets, symbolic link\n"
    "loops and pseudo file systems (proc, sysfs, debugfs, ...) met inside\n"
    "folders are listed as 'PATH: excluded (REASON)'; files over --max-filesize\n"
    "as 'PATH: skipped (REASON)'; neither is an error. Reading never waits: a\n"
    "file that would block a read is an error. Symbolic links inside folders\n"
    "are not followed unless -L is given; the summary counts them.\n"
    "\n"
    "Archives: a file that is an archive or a compressed stream (zip, tar, 7z,\n"
    "ISO 9660, cpio, ar, rar, cab, lha, xar; gzip, bzip2, xz, lzma, lzip, zstd,\n"
    "lz4, compress) is scanned as bytes and, member by member, unpacked in\n"
    "memory; archives inside it are opened in turn. Reports inside print as\n"
    "'PATH!MEMBER!INNER: RULE (level N)' (JSON: \"archivePath\": [MEMBER, INNER]\n"
    "beside \"path\"). A member that is itself an archive is scanned through its\n"
    "members, not as bytes. A limit reached prints 'PATH!MEMBER: incomplete\n"
    "(REASON)' and counts as an error unless --limits-ok is given; a damaged\n"
    "or encrypted member is an error with the reason, after what could be read\n"
    "was scanned, unless --damaged-ok or --encrypted-ok is given (then it prints\n"
    "'PATH!MEMBER: damaged (REASON)' or 'encrypted (REASON)' and the summary\n"
    "counts it). Standard input is scanned as bytes only.\n"
    "\n"
    "Default database: without --db, the first of these that exists, beside\n"
    "the program: qzdata.vlb, ../lib/qzdata.vlb (the installed layout, with\n"
    "the installation's library folder), ../engine/api/qzdata.vlb (the build tree).\n"
    "\n"
    "Output: reports and file lines on standard output; without --sort, lines\n"
    "of different files come in the order the workers finish them, each line\n"
    "whole. Errors go to standard error, and a progress line too when standard\n"
    "error is a terminal and the scan takes more than half a second. The\n"
    "summary (files scanned, reports, files with reports, skipped, excluded,\n"
    "errors, bytes with archive members counted unpacked, time, MiB/s) goes to\n"
    "standard error, or with --json as a last {\"summary\":{...}} line to\n"
    "standard output only. Names are printed as UTF-8; control characters\n"
    "and bytes that are not UTF-8 as \\xNN, a backslash in a path as \\\\.\n"
    "\n"
    "Memory: every worker holds its own copy of the database (see 'veltor info')\n"
    "and a read buffer of 1 MiB.\n"
    "\n"
    "Environment: VELTOR_SCAN_CHUNK_SIZE=N sets the read buffer to N bytes\n"
    "(1 to 67108864); a testing aid.\n"
    "\n"
    "Exit status: 0 when nothing was reported, 1 when something was reported,\n"
    "2 on an error (see above; also a database that does not load, memory\n"
    "exhausted, or a wrong command line). An error wins over reports: the scan\n"
    "goes on, and the status is 2.\n";

using Clock = std::chrono::steady_clock;

// Exit statuses of a scan, as users know them from other scanners.
constexpr int ExitNothingReported = 0;
constexpr int ExitReported = 1;
constexpr int ExitError = 2;

FileOutcome Failed(std::string reason) { return {Outcome::Error, {}, std::move(reason), 0, {}}; }

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
  std::FILE* log = nullptr;  // --log: a copy of every line printed

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
    if (log != nullptr) std::fwrite(text.data(), 1, text.size(), log);
  }

  void Emit(size_t index, const FileOutcome& outcome) {
    const std::string path = PathText((*targets)[index]);
    if (outcome.outcome == Outcome::Error) Write(stderr, FormatError(path, outcome.reason));
    Write(stderr, FormatArchiveErrors(path, outcome));
    Write(stdout, outcome.detail.empty() ? FormatOutcome(path, outcome, options) : outcome.detail);
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

// A size with an optional K, M or G suffix (powers of 1024).
std::optional<uint64_t> ParseSize(std::string_view text) {
  uint64_t shift = 0;
  if (!text.empty()) {
    switch (text.back()) {
      case 'K': case 'k': shift = 10; break;
      case 'M': case 'm': shift = 20; break;
      case 'G': case 'g': shift = 30; break;
      default: break;
    }
    if (shift != 0) text.remove_suffix(1);
  }
  if (text.empty() || text.size() > 12) return std::nullopt;
  uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  return value << shift;
}

// The read buffer's size: VELTOR_SCAN_CHUNK_SIZE when it holds a size in
// range, the default otherwise.
size_t ChunkSize() {
  const char* text = std::getenv("VELTOR_SCAN_CHUNK_SIZE");
  if (text == nullptr) return DefaultChunkSize;
  const std::optional<uint64_t> size = ParseSize(text);
  if (!size || *size == 0 || *size > MaxChunkSize) return DefaultChunkSize;
  return static_cast<size_t>(*size);
}

// A whole number from `smallest` to `largest`.
std::optional<uint64_t> ParseCount(std::string_view text, uint64_t smallest, uint64_t largest) {
  if (text.empty() || text.size() > 12) return std::nullopt;
  uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  if (value < smallest || value > largest) return std::nullopt;
  return value;
}

// --archives, --no-archives (the last one given wins), the limits and
// --limits-ok; false, with the reason reported, on a wrong value.
bool ReadArchiveOptions(const ParsedArguments& parsed, ArchiveSettings& settings) {
  for (const auto& [name, value] : parsed.options) {
    if (name == "--archives") settings.enabled = true;
    if (name == "--no-archives") settings.enabled = false;
  }
  settings.limitsOk = parsed.Has("--limits-ok");
  archive::ArchiveLimits& limits = settings.limits;
  struct CountOption {
    std::string_view name;
    uint64_t smallest;
    uint64_t largest;
  };
  static constexpr CountOption Counts[] = {
      {"--max-archive-depth", 1, archive::MaxArchiveDepthLimit},
      {"--max-members", 1, 1'000'000'000},
      {"--max-ratio", 0, 1'000'000},
  };
  for (const CountOption& option : Counts) {
    const auto value = parsed.Value(option.name);
    if (!value) continue;
    const std::optional<uint64_t> number = ParseCount(*value, option.smallest, option.largest);
    if (!number) {
      ReportError("scan", std::string(option.name) + " takes a number from " + std::to_string(option.smallest) +
                              (option.smallest == 0 ? " (no limit)" : "") + " to " + std::to_string(option.largest) +
                              ", not '" + std::string(*value) + "'");
      return false;
    }
    if (option.name == "--max-archive-depth") limits.maxDepth = static_cast<uint32_t>(*number);
    if (option.name == "--max-members") limits.maxMembers = *number;
    if (option.name == "--max-ratio") limits.maxRatio = *number;
  }
  if (const auto value = parsed.Value("--max-unpacked")) {
    const std::optional<uint64_t> size = ParseSize(*value);
    if (!size || *size == 0) {
      ReportError("scan", "--max-unpacked takes a size such as 500000, 64K, 100M or 4G, not '" + std::string(*value) +
                              "'");
      return false;
    }
    limits.maxUnpacked = *size;
  }
  return true;
}

// A decimal number of seconds above 0, at most a year: "30", "2.5", "0.001".
std::optional<double> ParseSeconds(std::string_view text) {
  if (text.empty() || text.size() > 16 || text.find_first_not_of("0123456789.") != std::string_view::npos ||
      std::count(text.begin(), text.end(), '.') > 1 || text == ".") {
    return std::nullopt;
  }
  const double value = std::strtod(std::string(text).c_str(), nullptr);
  if (!(value > 0) || value > 366.0 * 86400) return std::nullopt;
  return value;
}

// The paths listed in --file-list: one per line (a CR before the newline
// dropped, empty lines passed over), or ending in NUL bytes with -0.
std::optional<std::vector<std::string>> ReadFileList(std::string_view name, bool nulSeparated) {
  std::string error;
  std::optional<std::vector<uint8_t>> bytes;
  if (name == "-") {
    std::vector<uint8_t> all;
    uint8_t chunk[65536];
    for (size_t count; (count = std::fread(chunk, 1, sizeof chunk, stdin)) != 0;) all.insert(all.end(), chunk, chunk + count);
    if (std::ferror(stdin)) {
      ReportError("scan", "cannot read the file list from standard input");
      return std::nullopt;
    }
    bytes = std::move(all);
  } else {
    bytes = ReadWholeFile(name, error);
    if (!bytes) {
      ReportError("scan", "--file-list: " + error);
      return std::nullopt;
    }
  }
  std::vector<std::string> paths;
  const char separator = nulSeparated ? '\0' : '\n';
  const std::string_view text(reinterpret_cast<const char*>(bytes->data()), bytes->size());
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find(separator, start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view path = text.substr(start, end - start);
    if (!nulSeparated && path.ends_with('\r')) path.remove_suffix(1);
    if (!path.empty()) paths.emplace_back(path);
    start = end + 1;
  }
  return paths;
}

// "==== veltor scan, 2026-12-09 21:00:00 UTC: ARGUMENTS", the line that
// starts each run in a --log file.
std::string LogHeading(const ParsedArguments& parsed) {
  const auto now = std::chrono::duration_cast<std::chrono::seconds>(
      std::chrono::system_clock::now().time_since_epoch());
  std::string line = "==== veltor scan, " + DescribeFileTime(rulelang::FileTimeFromUnixSeconds(now.count()), false) + ":";
  for (const auto& [name, value] : parsed.options) {
    line += ' ';
    line += name;
    if (!value.empty()) {
      line += '=';
      line += DisplayPath(value);
    }
  }
  for (const std::string_view path : parsed.positional) {
    line += ' ';
    line += DisplayPath(path);
  }
  line += '\n';
  return line;
}

// The database to load: --db as given, or the first default that exists;
// nothing, with the reason reported, when there is none.
std::optional<std::filesystem::path> ChooseDatabase(const std::optional<std::string_view>& given) {
  if (given) return std::filesystem::path(std::string(*given));
  std::string tried;
  if (std::optional<std::filesystem::path> found = FindDefaultDatabase(tried)) return found;
  ReportError("scan", "no default database (looked for " + (tried.empty() ? std::string("the program's folder") : tried) +
                          "); give one with --db FILE");
  return std::nullopt;
}

// Why the database did not load: the file read again and checked as
// `veltor info` checks it, so that the message names the failed check.
void ReportDatabaseFailure(const std::filesystem::path& path) {
  std::string error;
  const std::optional<std::vector<uint8_t>> bytes = ReadWholeFile(path.string(), error, MaxDatabaseSize);
  if (bytes && rulelang::ReadDatabaseImage(*bytes, error)) error = "out of memory";
  ReportError("scan", "cannot load the database " + path.string() + ": " + error);
}

constexpr OptionDefinition Options[] = {
      {"", "--db", true},          {"-r", "--recursive", false}, {"-L", "--follow-links", false},
      {"-x", "--one-file-system", false}, {"", "--max-filesize", true}, {"-j", "--threads", true},
      {"", "--sort", false},       {"", "--json", false},        {"-i", "--infected", false},
      {"-q", "--quiet", false},       {"", "--explain", false},
      {"", "--archives", false},   {"", "--no-archives", false}, {"", "--max-archive-depth", true},
      {"", "--max-unpacked", true}, {"", "--max-members", true}, {"", "--max-ratio", true},
      {"", "--limits-ok", false}, {"", "--encrypted-ok", false}, {"", "--damaged-ok", false},
      {"", "--exclude", true, true}, {"", "--include", true, true}, {"", "--exclude-dir", true, true},
      {"", "--max-depth", true},   {"", "--file-list", true},    {"-0", "--null", false},
      {"", "--no-summary", false}, {"", "--log", true},          {"", "--max-scan-time", true},
      {"", "--version", false},    {"-s", "--signatures", false},
  };


int RunScan(const Command& command, const ParsedArguments& parsed) {
  if (parsed.Has("--version")) return PrintVersion(parsed.Value("--db"));
  if (parsed.positional.empty() && !parsed.Has("--file-list")) {
    ReportError(command.name, "nothing to scan: give a PATH or --file-list FILE");
    std::fputs("Try 'veltor scan --help'.\n", stderr);
    return ExitUsage;
  }
  unsigned threads = std::max(1u, std::thread::hardware_concurrency());
  if (const auto value = parsed.Value("--threads")) {
    const std::optional<unsigned> number = ParseThreads(*value);
    if (!number) {
      ReportError(command.name, "--threads takes a number from 1 to 256, not '" + std::string(*value) + "'");
      return ExitUsage;
    }
    threads = *number;
  }
  ScanSettings settings;
  settings.chunkSize = ChunkSize();
  if (parsed.Has("--explain") && parsed.Has("--signatures")) {
    ReportError(command.name, "--explain lists the signatures already; leave out -s (--signatures)");
    return ExitUsage;
  }
  if (const auto value = parsed.Value("--max-filesize")) {
    const std::optional<uint64_t> size = ParseSize(*value);
    if (!size) {
      ReportError(command.name, "--max-filesize takes a size such as 500000, 64K, 100M or 2G, not '" + std::string(*value) +
                              "'");
      return ExitUsage;
    }
    settings.maxFileSize = *size;
  }
  if (!ReadArchiveOptions(parsed, settings.archives)) return ExitUsage;
  settings.archives.encryptedOk = parsed.Has("--encrypted-ok");
  settings.archives.damagedOk = parsed.Has("--damaged-ok");
  if (const auto value = parsed.Value("--max-scan-time")) {
    const std::optional<double> seconds = ParseSeconds(*value);
    if (!seconds) {
      ReportError(command.name, "--max-scan-time takes a number of seconds above 0 such as 30 or 2.5, not '" +
                                    std::string(*value) + "'");
      return ExitUsage;
    }
    settings.maxScanTime = *seconds;
  }
  WalkOptions walkOptions{parsed.Has("--recursive"), parsed.Has("--follow-links"), parsed.Has("--one-file-system"),
                          parsed.Values("--exclude"), parsed.Values("--include"), parsed.Values("--exclude-dir")};
  if (const auto value = parsed.Value("--max-depth")) {
    const std::optional<uint64_t> depth = ParseCount(*value, 0, 100000);
    if (!depth) {
      ReportError(command.name, "--max-depth takes a number from 0 to 100000, not '" + std::string(*value) + "'");
      return ExitUsage;
    }
    walkOptions.maxDepth = static_cast<uint32_t>(*depth);
  }
  const std::optional<std::string_view> fileList = parsed.Value("--file-list");
  if (parsed.Has("--null") && !fileList) {
    ReportError(command.name, "-0 (--null) describes a --file-list; there is none");
    return ExitUsage;
  }
  const size_t standardInputs = static_cast<size_t>(std::count(parsed.positional.begin(), parsed.positional.end(), "-")) +
                                (fileList == "-" ? 1 : 0);
  if (standardInputs > 1) {
    ReportError(command.name, "standard input ('-') can be read only once");
    return ExitUsage;
  }
  // Opened before anything is scanned: a log that cannot be written is a
  // wrong command line, not a surprise at the end.
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> log(nullptr, std::fclose);
  if (const auto path = parsed.Value("--log")) {
    log.reset(std::fopen(std::string(*path).c_str(), "ab"));
    if (!log) {
      ReportError(command.name, "cannot write " + std::string(*path) + ": " + std::generic_category().message(errno));
      return ExitError;
    }
  }

  SetStandardStreamsBinary();
  const std::optional<std::filesystem::path> database = ChooseDatabase(parsed.Value("--db"));
  if (!database) return ExitError;
  settings.database = *database;
  std::vector<Worker> workers(1);
  if (!OpenWorker(workers[0], settings)) {
    ReportDatabaseFailure(settings.database);
    return ExitError;
  }
  if (parsed.Has("--explain") || parsed.Has("--signatures")) {
    std::string error;
    std::optional<SignatureNames> names =
        LoadSignatureNames(settings.database.string(), workers[0].handle->library->header.headerCrc, error);
    // Without its names a scan still tells everything by id.
    if (!names) ReportError(command.name, "signature names not used: " + error);
    auto shared = std::make_shared<const SignatureNames>(names ? std::move(*names) : SignatureNames{});
    settings.inspect = parsed.Has("--explain") ? ExplainInspector(parsed.Has("--json"), shared)
                                               : SignaturesInspector(shared);
  }
  const Clock::time_point start = Clock::now();

  std::vector<std::string_view> paths = parsed.positional;
  std::optional<std::vector<std::string>> listed;
  if (fileList) {
    listed = ReadFileList(*fileList, parsed.Has("--null"));
    if (!listed) return ExitError;
    paths.insert(paths.end(), listed->begin(), listed->end());
  }
  WalkResult walk = CollectTargets(paths, walkOptions);
  std::vector<ScanTarget>& targets = walk.targets;
  if (parsed.Has("--sort")) {
    std::stable_sort(targets.begin(), targets.end(), PathLess);
  }
  const size_t toScan = static_cast<size_t>(
      std::count_if(targets.begin(), targets.end(), [](const ScanTarget& t) { return t.state == TargetState::Scan; }));
  workers.resize(std::max<size_t>(1, std::min<size_t>(threads, toScan)));

  Printer printer;
  printer.options = {parsed.Has("--json"), parsed.Has("--infected"), parsed.Has("--quiet"), parsed.Has("--signatures")};
  printer.inOrder = parsed.Has("--sort");
  printer.targets = &targets;
  printer.totals.linksNotFollowed = walk.linksNotFollowed;
  printer.totals.leftOut = walk.leftOut;
  printer.log = log.get();
  if (printer.log != nullptr) {
    const std::string heading = LogHeading(parsed);
    std::fwrite(heading.data(), 1, heading.size(), printer.log);
  }
  if (printer.inOrder) {
    printer.held.resize(targets.size());
    printer.finished.assign(targets.size(), 0);
  }

  std::atomic<size_t> next{0};
  std::atomic<size_t> running{workers.size()};
  std::atomic<size_t> handleFailures{0};
  const auto work = [&](Worker& worker) {
    try {
      if (!worker.handle && !OpenWorker(worker, settings)) {
        ++handleFailures;
      } else {
        for (size_t index = next++; index < targets.size(); index = next++) {
          FileOutcome outcome;
          try {
            outcome = ScanWith(targets[index], worker, settings);
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
    ReportError(command.name, "a worker could not open its copy of the database (out of memory?); the others went on");
    printer.totals.errors += handleFailures;
  }
  if (printer.finishedCount != targets.size()) {
    ReportError(command.name, std::to_string(targets.size() - printer.finishedCount) +
                            " files were not scanned: the workers ran out of memory");
    printer.totals.errors += targets.size() - printer.finishedCount;
  }
  printer.totals.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  // One stream only: scripts that read the JSON lines get the summary there.
  if (!printer.options.quiet && !parsed.Has("--no-summary")) {
    if (printer.options.json) {
      printer.Write(stdout, FormatSummaryJson(printer.totals));
    } else {
      std::fflush(stdout);
      printer.Write(stderr, FormatSummaryText(printer.totals));
    }
  }
  std::fflush(stdout);
  std::fflush(stderr);
  if (log && (std::fflush(log.get()) != 0 || std::ferror(log.get()) != 0)) {
    ReportError(command.name, "cannot write " + std::string(*parsed.Value("--log")) + ": " +
                                  std::generic_category().message(errno));
    return ExitError;
  }
  if (printer.totals.errors != 0) return ExitError;
  return printer.totals.reports != 0 ? ExitReported : ExitNothingReported;
}

}  // namespace

extern const Command ScanCommand{"scan", "scan files and folders with a database", Help, Options, 0, SIZE_MAX, RunScan};

}  // namespace veltor::cli
