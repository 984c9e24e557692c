#pragma once
// The scanning side of veltord: the database in use (one generation at a
// time, replaced whole by a reload while scans in flight finish on the one
// they began with), and the workers, one scan handle each, fed from a
// bounded queue. A worker never waits on a client: a job reaches the queue
// only once its bytes are all on hand. The networking thread scans only a
// small body kept whole in memory, with a handle of its own and a short
// time limit (ScanInline), which costs less than the hand-over to a worker
// and back.
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <unistd.h>

#include "engine/api/scan_handle.h"
#include "scanning/scan_report.h"
#include "scanning/scan_system.h"
#include "scanning/scan_targets.h"
#include "scanning/scan_worker.h"
#include "veltord/stream_pieces.h"

namespace veltor::service {

// One database as loaded: a handle per worker, each its own scan state over
// the one copy of the records they share, all built from one read of the file.
struct LoadedDatabase {
  // One per worker, then the networking thread's (ScanInline).
  std::vector<std::unique_ptr<ScanHandle>> handles;
  // Per worker, the handles for members inside members (level 2 and up),
  // built from `image` when first needed; only that worker touches them.
  std::vector<std::vector<std::unique_ptr<ScanHandle>>> memberHandles;
  std::vector<uint8_t> image;
  std::string path;
  std::string buildTime;  // UTC, as "Thu Dec  9 20:55:21 2026"
  int64_t buildSeconds = 0;  // the same, seconds since 1970
  size_t signatures = 0;
  size_t rules = 0;
  uint64_t generation = 0;  // 1 for the first, one more per reload
  // Handles lent to streams scanned as they arrive (StreamScan), made when
  // first needed, at most one per worker; `idle` are those not lent.
  std::mutex streamMutex;
  std::vector<std::unique_ptr<ScanHandle>> streamHandles;
  std::vector<ScanHandle*> idleStreamHandles;
};

// Reads the database at `path` once and builds a handle from it for each of
// `workers` and one for the networking thread; nothing, with `error` set,
// when any of that fails.
std::shared_ptr<LoadedDatabase> LoadDatabase(const std::string& path, unsigned workers, uint64_t generation,
                                             std::string& error);

struct UniqueFd {
  int fd = -1;
  UniqueFd() = default;
  explicit UniqueFd(int descriptor) : fd(descriptor) {}
  UniqueFd(UniqueFd&& other) noexcept : fd(std::exchange(other.fd, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (fd >= 0) close(fd);
    fd = std::exchange(other.fd, -1);
    return *this;
  }
  ~UniqueFd() {
    if (fd >= 0) close(fd);
  }
  int Release() { return std::exchange(fd, -1); }
};

// An anonymous file in `tempDir` (TMPDIR or /tmp when empty) where a
// stream is kept while it arrives; it vanishes when closed.
UniqueFd OpenSpool(const std::string& tempDir, std::string& error);

// Writes all of `bytes` at `offset`; false with `error` set when it cannot.
bool WriteAt(int descriptor, std::span<const uint8_t> bytes, uint64_t offset, std::string& error);

// The database in use; a reload swaps it.
struct DatabaseSet {
  std::mutex mutex;
  std::shared_ptr<LoadedDatabase> current;
};
std::shared_ptr<LoadedDatabase> CurrentDatabase(DatabaseSet& set);
void ReplaceDatabase(DatabaseSet& set, std::shared_ptr<LoadedDatabase> database);

// A long stream scanned as it arrives: fed, piece by piece, to a handle of
// its own by one job at a time while the rest is still coming, so that
// only its end and the archive walk are left once the last byte is in. The
// handle comes from the database in use when the stream began and goes back
// to it when the stream's scan ends (or this is destroyed). Touched by one
// job at a time, and by the networking thread only between them.
struct StreamScan {
  std::shared_ptr<LoadedDatabase> database;
  ScanHandle* handle = nullptr;  // null: none to be had (all lent), or not asked for yet
  bool asked = false;
  uint64_t fed = 0;
  // The pieces fed so far, kept while the budget allows: the stream from
  // its start. Once one cannot be kept (or the stream gets no handle),
  // they go to the spool file, opened by that job in `tempDir`, and every
  // later piece is written there by its job at `spooled`. The first
  // failure is kept.
  std::vector<Piece> pieces;
  const std::string* tempDir = nullptr;
  UniqueFd spool;
  uint64_t spooled = 0;
  std::string spoolError;
  StreamScan() = default;
  StreamScan(const StreamScan&) = delete;
  StreamScan& operator=(const StreamScan&) = delete;
  ~StreamScan();
};

// Writes the pieces kept so far to the stream's spool file (opened first)
// and frees them; false with `spoolError` set when that fails.
bool SpillPieces(StreamScan& stream);

// SCAN stops at the first file with a report; CONTSCAN goes on;
// ALLMATCHSCAN goes on and lists every report. List only walks: MULTISCAN
// then hands the files to the workers one job each.
enum class PathMode : uint8_t { Scan, Continue, AllMatch, List };

struct ScanJob {
  // A descriptor to scan from where it stands (a spooled stream, a passed
  // descriptor), reported as `name`; or, when it is closed and the job is
  // not `inMemory`, `path` walked.
  scanning::InputFile file;
  // Or, when `inMemory`, these bytes (a stream kept whole while it arrived).
  std::vector<uint8_t> memory;
  bool inMemory = false;
  // A stream scanned as it arrived: with `feed`, `piece` is its next piece
  // (nothing is reported); without, its end: `piece` is the last piece,
  // and then the whole stream (its pieces, or its spool file) is walked as
  // an archive. A stream that stopped being fed is handed over as `file`.
  std::shared_ptr<StreamScan> stream;
  Piece piece;
  bool feed = false;
  std::string name;
  std::string path;
  PathMode mode = PathMode::Scan;

  // Filled by the worker: each file scanned (or failing) with what came of
  // it, in walk order.
  std::vector<std::pair<std::string, scanning::FileOutcome>> results;
  std::vector<scanning::ScanTarget> targets;  // what List found
  uint64_t generation = 0;
  std::chrono::steady_clock::time_point submitted{};  // set by SubmitJob
  // Called on the worker's thread once the results are in.
  std::function<void()> done;
};

// A job's time from submission to its results, counted at or below each
// bound (seconds); the last count takes the rest.
inline constexpr std::array<double, 12> LatencyBounds{0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025,
                                                      0.05,   0.1,   0.25,   1,     5,    30};

// Why a file or stream was not scanned whole, counted once per scan for each
// kind it met (only those that count as errors): the scan failed, a limit
// stopped it, an encrypted or a damaged member.
enum class ScanErrorKind : uint8_t { Failed, Incomplete, Encrypted, Damaged };
inline constexpr size_t ScanErrorKinds = 4;

// What the workers did, whichever protocol asked; read for STATS and the
// HTTP metrics.
struct PoolCounters {
  std::atomic<uint64_t> scans{0};
  std::atomic<uint64_t> bytes{0};
  std::atomic<uint64_t> found{0};
  std::atomic<uint64_t> errors{0};
  std::array<std::atomic<uint64_t>, 3> reportsByLevel{};  // index: level 1, 2; 0 for any other
  std::array<std::atomic<uint64_t>, ScanErrorKinds> errorsByKind{};
  std::array<std::atomic<uint64_t>, LatencyBounds.size() + 1> latency{};  // per job, not per file
  std::atomic<uint64_t> latencyMicroseconds{0};
};

// The largest body the networking thread scans itself, and the most time
// it may take: one that takes longer (an archive that unpacks to much) is
// scanned again by a worker, so that other clients wait at most this long.
inline constexpr size_t InlineScanBytes = size_t{64} << 10;
inline constexpr double InlineScanSeconds = 0.002;

struct ScanPool {
  DatabaseSet* databases = nullptr;
  scanning::ScanSettings settings;
  scanning::ScanSettings inlineSettings;  // `settings` with the inline time limit, set by StartPool
  std::string inlineLimitReason;          // the note of a scan cut by it
  size_t capacity = 0;  // jobs queued for a worker
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<std::shared_ptr<ScanJob>> queue;
  // Jobs that found the queue full: their clients wait (and are not read)
  // until a worker takes a queued job. One per connection at most.
  std::deque<std::shared_ptr<ScanJob>> waiting;
  size_t busy = 0;
  bool stopping = false;
  std::vector<std::thread> threads;
  PoolCounters counters;
};

// Starts `threads` workers, worker i scanning with handle i of the database
// in use when it takes a job.
void StartPool(ScanPool& pool, unsigned threads);

// Queues the job, or holds it until there is room.
void SubmitJob(ScanPool& pool, std::shared_ptr<ScanJob> job);

// On the networking thread: scans a body kept whole in memory (`inMemory`,
// at most InlineScanBytes) with the networking thread's handle and counts
// it as a worker would. False, with nothing filled in, when the job is not
// such a body or its scan ran past InlineScanSeconds: it goes to the pool.
bool ScanInline(ScanPool& pool, ScanJob& job);

// Drops what is queued and waits for the jobs under way.
void StopPool(ScanPool& pool);

struct PoolState {
  size_t threads = 0;
  size_t busy = 0;
  size_t queued = 0;
  size_t waiting = 0;
};
PoolState ReadPoolState(ScanPool& pool);

}  // namespace veltor::service
