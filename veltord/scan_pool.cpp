#include "veltord/scan_pool.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string_view>

#include <fcntl.h>

#include "compiler/rulelang/database_image.h"
#include "engine/api/scan.h"
#include "engine/database/database_format.h"
#include "scanning/files.h"
#include "scanning/scan_targets.h"

namespace veltor::service {
namespace {

std::string DescribeBuildTime(uint64_t fileTime) {
  const std::time_t seconds = static_cast<std::time_t>(rulelang::UnixSecondsFromFileTime(fileTime));
  std::tm parts{};
  if (gmtime_r(&seconds, &parts) == nullptr) return "unknown";
  char text[64];
  const size_t length = std::strftime(text, sizeof text, "%a %b %e %H:%M:%S %Y", &parts);
  return std::string(text, length);
}

scanning::FileOutcome Failed(std::string reason) { return {scanning::Outcome::Error, {}, std::move(reason), 0, {}}; }

// Walks `job.path` (a folder through its subfolders) and scans each file.
void ScanPath(ScanJob& job, ScanHandle& handle, const scanning::MemberHandles& more, std::span<uint8_t> buffer,
              const scanning::ScanSettings& settings) {
  const std::array<std::string_view, 1> arguments{job.path};
  scanning::WalkResult walk = scanning::CollectTargets(arguments, {true, false, false});
  if (job.mode == PathMode::List) {
    job.targets = std::move(walk.targets);
    return;
  }
  for (const scanning::ScanTarget& target : walk.targets) {
    const std::string name = scanning::PathText(target);
    if (target.state == scanning::TargetState::Excluded) continue;
    if (target.state == scanning::TargetState::Error) {
      job.results.emplace_back(name, Failed(target.reason));
      continue;
    }
    scanning::InputFile file;
    std::string error;
    if (!scanning::OpenInput(file, std::filesystem::path(target.path), error)) {
      job.results.emplace_back(name, Failed(error));
    } else if (!file.regular) {
      job.results.emplace_back(name, Failed("not a regular file"));
    } else {
      job.results.emplace_back(name, scanning::ScanOpenFile(file, name, handle, more, buffer, settings));
    }
    if (job.mode == PathMode::Scan && job.results.back().second.outcome == scanning::Outcome::Reported) break;
  }
}

void Count(PoolCounters& counters, const ScanJob& job) {
  for (const auto& [name, outcome] : job.results) {
    counters.scans += 1;
    counters.bytes += outcome.bytes;
    if (!outcome.reports.empty()) counters.found += 1;
    if (outcome.outcome == scanning::Outcome::Error) counters.errors += 1;
    for (const scanning::RuleReport& report : outcome.reports) {
      counters.reportsByLevel[report.level == 1 || report.level == 2 ? static_cast<size_t>(report.level) : 0] += 1;
    }
    std::array<bool, ScanErrorKinds> met{};
    met[static_cast<size_t>(ScanErrorKind::Failed)] = outcome.outcome == scanning::Outcome::Error;
    for (const scanning::ArchiveNote& note : outcome.archiveNotes) {
      if (!note.isError) continue;
      const ScanErrorKind kind = note.kind == scanning::NoteKind::Incomplete  ? ScanErrorKind::Incomplete
                                 : note.kind == scanning::NoteKind::Encrypted ? ScanErrorKind::Encrypted
                                 : note.kind == scanning::NoteKind::Damaged   ? ScanErrorKind::Damaged
                                                                              : ScanErrorKind::Failed;
      met[static_cast<size_t>(kind)] = true;
    }
    for (size_t kind = 0; kind < ScanErrorKinds; ++kind) counters.errorsByKind[kind] += met[kind] ? 1 : 0;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - job.submitted).count();
  size_t bucket = 0;
  while (bucket < LatencyBounds.size() && seconds > LatencyBounds[bucket]) ++bucket;
  counters.latency[bucket] += 1;
  counters.latencyMicroseconds += static_cast<uint64_t>(seconds * 1e6);
}

// A handle for a stream scanned as it arrives: an idle one, or a new one
// while fewer than one per worker were made; null when all are lent.
ScanHandle* LendStreamHandle(LoadedDatabase& database) {
  {
    std::lock_guard lock(database.streamMutex);
    if (!database.idleStreamHandles.empty()) {
      ScanHandle* handle = database.idleStreamHandles.back();
      database.idleStreamHandles.pop_back();
      return handle;
    }
    if (database.streamHandles.size() >= database.handles.size()) return nullptr;
    database.streamHandles.push_back(nullptr);  // the slot, filled below
  }
  auto handle = std::make_unique<ScanHandle>();
  const bool loaded = LoadHandleImage(*handle, database.image);
  std::lock_guard lock(database.streamMutex);
  auto slot = std::find(database.streamHandles.begin(), database.streamHandles.end(), nullptr);
  if (!loaded) {
    database.streamHandles.erase(slot);
    return nullptr;
  }
  *slot = std::move(handle);
  return slot->get();
}

// Gives the stream's handle back to its database.
void ReturnHandle(StreamScan& stream) {
  if (stream.handle == nullptr) return;
  std::lock_guard lock(stream.database->streamMutex);
  stream.database->idleStreamHandles.push_back(std::exchange(stream.handle, nullptr));
}

// Keeps a piece fed to the stream's scan while the budget allows; writes it
// to the spool file once it does not (the pieces kept before it first).
void KeepPiece(StreamScan& stream, Piece&& piece) {
  if (!stream.spoolError.empty() || piece.size == 0) return;
  if (stream.spool.fd < 0 && ReservePiece(piece)) {
    try {
      stream.pieces.push_back(std::move(piece));
      return;
    } catch (const std::bad_alloc&) {
      // Written to the file instead.
    }
  }
  if (stream.spool.fd < 0 && !SpillPieces(stream)) return;
  if (!WriteAt(stream.spool.fd, piece.Used(), stream.spooled, stream.spoolError)) return;
  stream.spooled += piece.size;
}

// A piece of a stream scanned as it arrives: fed, then kept or written to
// the spool file. A stream that gets no handle goes to its file whole, to
// be scanned from there at its end.
void FeedPiece(StreamScan& stream, Piece&& piece) {
  if (!stream.spoolError.empty()) return;
  if (!stream.asked) {
    stream.asked = true;
    stream.handle = LendStreamHandle(*stream.database);
    if (stream.handle != nullptr) BeginScan(*stream.handle);
  }
  if (stream.handle == nullptr) {
    if (stream.spool.fd < 0 && !SpillPieces(stream)) return;
    KeepPiece(stream, std::move(piece));
    return;
  }
  if (piece.size != 0) FeedScan(*stream.handle, piece.bytes, piece.size);
  stream.fed += piece.size;
  KeepPiece(stream, std::move(piece));
}

// The end of a stream scanned as it arrived: its last piece, then the walk
// over its pieces or its spool file.
scanning::FileOutcome FinishStream(ScanJob& job, ScanHandle& handle, const scanning::MemberHandles& more,
                                   std::span<uint8_t> buffer, const scanning::ScanSettings& settings) {
  StreamScan& stream = *job.stream;
  FeedPiece(stream, std::move(job.piece));
  job.piece = Piece();  // back to the store now when it went to the file
  if (!stream.spoolError.empty()) return Failed(stream.spoolError);
  scanning::FileOutcome outcome;
  if (stream.handle == nullptr) {
    // Never fed: scanned from its file as any other.
    std::string error;
    const int descriptor = dup(stream.spool.fd);
    if (descriptor < 0 || lseek(descriptor, 0, SEEK_SET) != 0 || !scanning::AdoptInput(job.file, descriptor, error)) {
      return Failed(error.empty() ? std::string("cannot scan the spool: ") + std::strerror(errno) : error);
    }
    return scanning::ScanOpenFile(job.file, job.name, handle, more, buffer, settings);
  }
  if (stream.spool.fd < 0) {
    PiecesReader reader = ReadPieces(stream.pieces);
    outcome = scanning::FinishFedScan(*stream.handle, stream.fed, PiecesInput(reader), job.name, handle, more,
                                      settings);
  } else {
    std::string error;
    const int descriptor = dup(stream.spool.fd);
    if (descriptor < 0 || !scanning::AdoptInput(job.file, descriptor, error)) {
      if (descriptor < 0) error = std::string("cannot scan the spool: ") + std::strerror(errno);
      FinishScan(*stream.handle);
      outcome = Failed(error);
    } else {
      outcome = scanning::FinishFedScan(*stream.handle, stream.fed, job.file, job.name, handle, more, settings);
    }
  }
  ReturnHandle(stream);
  return outcome;
}

// Scans the job with handle `index` of `database` (and its member handles).
void ScanJobWith(ScanJob& job, LoadedDatabase& database, unsigned index, std::span<uint8_t> buffer,
                 const scanning::ScanSettings& settings) {
  job.generation = database.generation;
  ScanHandle& handle = *database.handles[index];
  const scanning::MemberHandles more = [&database, index](uint32_t level) -> ScanHandle* {
    std::vector<std::unique_ptr<ScanHandle>>& kept = database.memberHandles[index];
    if (kept.size() < level - 1) kept.resize(level - 1);
    std::unique_ptr<ScanHandle>& member = kept[level - 2];
    if (!member) {
      member = std::make_unique<ScanHandle>();
      if (!LoadHandleImage(*member, database.image)) member.reset();
    }
    return member.get();
  };
  try {
    if (job.stream) {
      job.results.emplace_back(job.name, FinishStream(job, handle, more, buffer, settings));
    } else if (job.inMemory) {
      job.results.emplace_back(job.name, scanning::ScanMemory(job.memory, job.name, handle, more, settings));
    } else if (job.file.descriptor >= 0) {
      job.results.emplace_back(job.name, scanning::ScanOpenFile(job.file, job.name, handle, more, buffer, settings));
    } else {
      ScanPath(job, handle, more, buffer, settings);
    }
  } catch (const std::bad_alloc&) {
    job.results.clear();
    job.results.emplace_back(job.inMemory || job.file.descriptor >= 0 ? job.name : job.path, Failed("out of memory"));
  }
}

void RunJob(ScanPool& pool, ScanJob& job, unsigned index, std::span<uint8_t> buffer) {
  if (job.feed) {
    try {
      FeedPiece(*job.stream, std::move(job.piece));
    } catch (const std::bad_alloc&) {
      // No handle made: the stream is scanned from its file at its end.
      job.stream->asked = true;
      SpillPieces(*job.stream);
    }
    job.piece = Piece();
    return;
  }
  // A stream scanned as it arrived ends on the database it began with.
  const std::shared_ptr<LoadedDatabase> database =
      job.stream ? job.stream->database : CurrentDatabase(*pool.databases);
  ScanJobWith(job, *database, index, buffer, pool.settings);
  job.stream.reset();  // its pieces freed, unless the connection keeps them to send back
  Count(pool.counters, job);
}

void Work(ScanPool& pool, unsigned index) {
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[pool.settings.chunkSize]);
  for (;;) {
    std::shared_ptr<ScanJob> job;
    {
      std::unique_lock lock(pool.mutex);
      pool.wake.wait(lock, [&] { return pool.stopping || !pool.queue.empty(); });
      if (pool.stopping) return;
      job = std::move(pool.queue.front());
      pool.queue.pop_front();
      if (!pool.waiting.empty()) {
        pool.queue.push_back(std::move(pool.waiting.front()));
        pool.waiting.pop_front();
      }
      ++pool.busy;
    }
    if (buffer) {
      RunJob(pool, *job, index, {buffer.get(), pool.settings.chunkSize});
    } else {
      job->results.emplace_back(job->name, Failed("out of memory"));
    }
    {
      std::lock_guard lock(pool.mutex);
      --pool.busy;
    }
    if (job->done) job->done();
  }
}

}  // namespace

std::shared_ptr<LoadedDatabase> LoadDatabase(const std::string& path, unsigned workers, uint64_t generation,
                                             std::string& error) {
  try {
    auto image = scanning::ReadWholeFile(path, error, MaxDatabaseSize);
    if (!image) return nullptr;
    const auto contents = rulelang::ReadDatabaseImage(*image, error);
    if (!contents) {
      error = path + ": " + error;
      return nullptr;
    }
    auto database = std::make_shared<LoadedDatabase>();
    database->path = path;
    database->buildTime = DescribeBuildTime(BuildTime(contents->header));
    database->buildSeconds = static_cast<int64_t>(rulelang::UnixSecondsFromFileTime(BuildTime(contents->header)));
    database->signatures = contents->entries.signatures.size();
    database->rules = contents->entries.rules.size();
    database->generation = generation;
    for (unsigned i = 0; i <= workers; ++i) {  // the last: the networking thread's
      auto handle = std::make_unique<ScanHandle>();
      if (!LoadHandleImage(*handle, *image)) {
        error = path + ": the engine does not load it";
        return nullptr;
      }
      database->handles.push_back(std::move(handle));
    }
    database->memberHandles.resize(workers + 1);
    database->image = std::move(*image);
    return database;
  } catch (const std::bad_alloc&) {
    error = path + ": out of memory";
    return nullptr;
  }
}

bool WriteAt(int descriptor, std::span<const uint8_t> bytes, uint64_t offset, std::string& error) {
  while (!bytes.empty()) {
    const ssize_t written = pwrite(descriptor, bytes.data(), bytes.size(), static_cast<off_t>(offset));
    if (written < 0) {
      if (errno == EINTR) continue;
      error = std::string("cannot spool the stream: ") + std::strerror(errno);
      return false;
    }
    bytes = bytes.subspan(static_cast<size_t>(written));
    offset += static_cast<uint64_t>(written);
  }
  return true;
}

StreamScan::~StreamScan() { ReturnHandle(*this); }

bool SpillPieces(StreamScan& stream) {
  if (!stream.spoolError.empty()) return false;
  if (stream.spool.fd < 0) {
    stream.spool = OpenSpool(*stream.tempDir, stream.spoolError);
    if (stream.spool.fd < 0) return false;
  }
  for (const Piece& piece : stream.pieces) {
    if (!WriteAt(stream.spool.fd, piece.Used(), stream.spooled, stream.spoolError)) return false;
    stream.spooled += piece.size;
  }
  stream.pieces.clear();
  return true;
}

UniqueFd OpenSpool(const std::string& tempDir, std::string& error) {
  std::string folder = tempDir;
  if (folder.empty()) {
    const char* environment = std::getenv("TMPDIR");
    folder = environment != nullptr && *environment != '\0' ? environment : "/tmp";
  }
  int descriptor = open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (descriptor < 0 && (errno == EOPNOTSUPP || errno == EISDIR)) {
    std::string name = folder + "/veltord-stream-XXXXXX";
    descriptor = mkostemp(name.data(), O_CLOEXEC);
    if (descriptor >= 0) unlink(name.c_str());
  }
  if (descriptor < 0) error = "cannot spool the stream in " + folder + ": " + std::strerror(errno);
  return UniqueFd(descriptor);
}

std::shared_ptr<LoadedDatabase> CurrentDatabase(DatabaseSet& set) {
  std::lock_guard lock(set.mutex);
  return set.current;
}

void ReplaceDatabase(DatabaseSet& set, std::shared_ptr<LoadedDatabase> database) {
  std::shared_ptr<LoadedDatabase> old;
  {
    std::lock_guard lock(set.mutex);
    old = std::move(set.current);
    set.current = std::move(database);
  }
  // `old` is freed here, outside the lock, unless a scan still holds it.
}

void StartPool(ScanPool& pool, unsigned threads) {
  pool.inlineSettings = pool.settings;
  pool.inlineSettings.maxScanTime = InlineScanSeconds;
  pool.inlineLimitReason = scanning::TimeLimitReason(InlineScanSeconds);
  for (unsigned i = 0; i < threads; ++i) pool.threads.emplace_back(Work, std::ref(pool), i);
}

void SubmitJob(ScanPool& pool, std::shared_ptr<ScanJob> job) {
  job->submitted = std::chrono::steady_clock::now();
  {
    std::lock_guard lock(pool.mutex);
    if (pool.queue.size() < pool.capacity) {
      pool.queue.push_back(std::move(job));
    } else {
      pool.waiting.push_back(std::move(job));
      return;
    }
  }
  pool.wake.notify_one();
}

bool ScanInline(ScanPool& pool, ScanJob& job) {
  if (!job.inMemory || job.stream || job.memory.size() > InlineScanBytes) return false;
  job.submitted = std::chrono::steady_clock::now();
  const std::shared_ptr<LoadedDatabase> database = CurrentDatabase(*pool.databases);
  ScanJobWith(job, *database, static_cast<unsigned>(database->handles.size() - 1), {}, pool.inlineSettings);
  // The time limit is the inline one (veltord sets no other): past it, the
  // whole scan is the pool's to do again, without a limit.
  for (const auto& [name, outcome] : job.results) {
    for (const scanning::ArchiveNote& note : outcome.archiveNotes) {
      if (note.incomplete && note.reason == pool.inlineLimitReason) {
        job.results.clear();
        return false;
      }
    }
  }
  Count(pool.counters, job);
  return true;
}

void StopPool(ScanPool& pool) {
  {
    std::lock_guard lock(pool.mutex);
    pool.stopping = true;
    pool.queue.clear();
    pool.waiting.clear();
  }
  pool.wake.notify_all();
  for (std::thread& thread : pool.threads) thread.join();
  pool.threads.clear();
}

PoolState ReadPoolState(ScanPool& pool) {
  std::lock_guard lock(pool.mutex);
  return {pool.threads.size(), pool.busy, pool.queue.size(), pool.waiting.size()};
}

}  // namespace veltor::service
