#include "veltord/server.h"

// Boost 1.74's coroutine support uses std::exchange without including it.
#include <utility>

#include <boost/asio.hpp>
#include <fcntl.h>
#ifdef VELTORD_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <type_traits>

#include "scanning/scan_archives.h"
#include "scanning/scan_text.h"
#include "veltord/clamd_protocol.h"
#include "veltord/database_watch.h"
#include "veltord/http_service.h"
#include "veltord/icap_service.h"
#include "veltord/service_log.h"
#include "veltord/service_state.h"
#include "veltord/verdicts.h"

namespace veltor::service {
namespace {

using asio::awaitable;
using asio::redirect_error;
using asio::use_awaitable;
using boost::system::error_code;
using UnixSocket = asio::local::stream_protocol::socket;
using TcpSocket = asio::ip::tcp::socket;

// A connection's unread bytes; larger than the longest command, so that a
// command always fits.
constexpr size_t ReadBufferSize = 64 * 1024;
static_assert(ReadBufferSize > MaxCommandLine);
// Descriptors a client may have passed and not yet used.
constexpr size_t MaxPassedDescriptors = 8;
constexpr std::string_view TooManyConnections = "Too many connections. ERROR\n";

// Tells systemd (Type=notify) where the service stands; nothing elsewhere.
void Notify([[maybe_unused]] const std::string& status) {
#ifdef VELTORD_HAVE_SYSTEMD
  sd_notify(0, status.c_str());
#endif
}

}  // namespace

void RequestReload(ServiceState& state) {
  {
    std::lock_guard lock(state.reloadMutex);
    ++state.reloadRequests;
  }
  state.reloadWake.notify_one();
}

namespace {

void ReloadLoop(ServiceState& state) {
  for (;;) {
    {
      std::unique_lock lock(state.reloadMutex);
      state.reloadWake.wait(lock, [&] { return state.reloadStop || state.reloadRequests > 0; });
      if (state.reloadStop) return;
      state.reloadRequests = 0;
    }
    const uint64_t generation = ++state.lastGeneration;
    Notify("RELOADING=1\nSTATUS=loading " + state.options.database);
    std::string error;
    const auto started = Clock::now();
    auto database = LoadDatabase(state.options.database, state.options.threads, generation, error);
    if (!database) {
      ++state.reloadFailures;
      Log("reload-failed", {{"db", state.options.database}, {"reason", error}, {"serving", "the previous database"}});
      Notify("READY=1\nSTATUS=serving; the last reload failed: " + error);
      continue;
    }
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
    const std::string rules = std::to_string(database->rules);
    const std::string generationText = std::to_string(generation);
    const std::string took = std::to_string(millis) + " ms";
    ReplaceDatabase(state.databases, std::move(database));
    ++state.reloads;
    Log("reloaded", {{"db", state.options.database}, {"generation", generationText}, {"rules", rules}, {"took", took}});
    Notify("READY=1\nSTATUS=serving generation " + generationText);
  }
}

void Stop(ServiceState& state) {
  Notify("STOPPING=1");
  error_code ignored;
  if (state.unixAcceptor) state.unixAcceptor->close(ignored);
  if (state.tcpAcceptor) state.tcpAcceptor->close(ignored);
  if (state.httpAcceptor) state.httpAcceptor->close(ignored);
  if (state.icapAcceptor) state.icapAcceptor->close(ignored);
  state.signals.cancel(ignored);
  state.io.stop();
}

template <class Socket>
constexpr bool IsUnix = std::is_same_v<Socket, UnixSocket>;

// Descriptors a client passed and has not used yet, oldest first: a ring
// of fixed size, so that a connection allocates nothing for them.
struct PassedDescriptors {
  std::array<UniqueFd, MaxPassedDescriptors> held;
  size_t first = 0;
  size_t count = 0;
};

// Keeps `file` unless as many are held already (it is closed then).
void Keep(PassedDescriptors& passed, UniqueFd file) {
  if (passed.count == MaxPassedDescriptors) return;
  passed.held[(passed.first + passed.count++) % MaxPassedDescriptors] = std::move(file);
}

// The oldest held; the caller checks that one is.
UniqueFd TakeOldest(PassedDescriptors& passed) {
  UniqueFd file = std::move(passed.held[passed.first]);
  passed.first = (passed.first + 1) % MaxPassedDescriptors;
  --passed.count;
  return file;
}

template <class Socket>
struct Connection {
  Connection(Socket&& accepted, asio::io_context& io) : socket(std::move(accepted)), deadline(io) {}
  Socket socket;
  Deadline deadline;
  bool timedOut = false;
  PassedDescriptors passed;
  ReadBuffer<ReadBufferSize> in;
  ProtocolReader reader;
  std::string peer;
  bool finished = false;  // the conversation ended with its last reply sent whole
  bool replied = false;   // TCP: a reply was sent
  bool noDelay = false;   // TCP: TCP_NODELAY is set
};

// The smallest segment TCP allows: a reply no longer than this goes out
// in one segment.
constexpr size_t SmallestSegment = 536;

// One read of what has arrived on the Unix socket, without waiting,
// through recvmsg, so that descriptors passed along with the bytes are
// kept. True when that ended the read (bytes taken, or `error` set: the
// end, a failure); false when nothing had arrived.
// With `into`, reads there instead (ReadRoom).
bool ReceiveArrived(Connection<UnixSocket>& connection, error_code& error, std::span<uint8_t> into = {},
                    size_t* taken = nullptr) {
  const std::span<uint8_t> room = ReadRoom(connection, into);
  if (room.empty()) {
    error = asio::error::no_buffer_space;
    return true;
  }
  iovec vector{room.data(), room.size()};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * MaxPassedDescriptors)];
  msghdr message{};
  message.msg_iov = &vector;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  const ssize_t count = recvmsg(connection.socket.native_handle(), &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
  if (count < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
      connection.in.tryFirst = false;
      return false;
    }
    error = error_code(errno, boost::system::system_category());
    return true;
  }
  for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr; header = CMSG_NXTHDR(&message, header)) {
    if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS) continue;
    const size_t descriptors = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (size_t i = 0; i < descriptors; ++i) {
      int descriptor = -1;
      std::memcpy(&descriptor, CMSG_DATA(header) + i * sizeof(int), sizeof(int));
      Keep(connection.passed, UniqueFd(descriptor));
    }
  }
  if (count == 0) {
    error = asio::error::eof;
    return true;
  }
  Landed(connection, static_cast<size_t>(count), room.size(), into, taken);
  return true;
}

// Reads more bytes after the unread ones at once, when they have arrived
// and the buffer says to look (tryFirst): no wait, no deadline and no
// coroutine for a request sent whole. False when ReadMore is to wait.
template <class Socket>
bool ReadArrived(Connection<Socket>& connection, error_code& error, std::span<uint8_t> into = {},
                 size_t* taken = nullptr) {
  if (!connection.in.tryFirst) return false;
  if constexpr (!IsUnix<Socket>) {
    return ReadArrivedTcp(connection, error, into, taken);
  } else {
    return ReceiveArrived(connection, error, into, taken);
  }
}

// Waits for more bytes and reads them (into `into`, as ReadRoom says).
template <class Socket>
awaitable<void> ReadMore(Connection<Socket>& connection, error_code& error, std::span<uint8_t> into = {},
                         size_t* taken = nullptr) {
  if constexpr (!IsUnix<Socket>) {
    co_await WaitAndReadTcp(connection, error, into, taken);
  } else {
    connection.in.readWithoutWait = 0;  // the wait goes through the event loop
    do {
      co_await connection.socket.async_wait(Socket::wait_read, redirect_error(use_awaitable, error));
      if (error) co_return;
    } while (!ReceiveArrived(connection, error, into, taken));
  }
}

template <class Socket>
awaitable<bool> Send(Connection<Socket>& connection, const std::string& text) {
  if constexpr (!IsUnix<Socket>) {
    // Nagle's algorithm holds a write back only while data sent before it is
    // not acknowledged (within a write: the tail after whole segments), so a
    // connection's first reply of one segment goes out at once without
    // TCP_NODELAY; the option costs a call only where it can matter.
    if (!connection.noDelay && (connection.replied || text.size() > SmallestSegment)) {
      error_code ignored;
      connection.socket.set_option(asio::ip::tcp::no_delay(true), ignored);
      connection.noDelay = true;
    }
    connection.replied = true;
  }
  const ssize_t sent = SendNow(connection.socket.native_handle(), {reinterpret_cast<const uint8_t*>(text.data()), text.size()});
  if (sent < 0) co_return false;
  if (static_cast<size_t>(sent) == text.size()) co_return true;
  connection.deadline.After(WriteTimeout);
  error_code error;
  co_await asio::async_write(connection.socket, asio::buffer(text.data() + sent, text.size() - static_cast<size_t>(sent)),
                             redirect_error(use_awaitable, error));
  connection.deadline.Clear();
  co_return !error;
}

// Hands the jobs to the pool and waits, without holding the networking
// thread, until workers have finished them all.
awaitable<void> RunJobs(ServiceState& state, std::span<const std::shared_ptr<ScanJob>> jobs) {
  co_await FinishJobs(StartJobs(state, jobs));
}

}  // namespace

std::shared_ptr<JobWait> StartJobs(ServiceState& state, std::span<const std::shared_ptr<ScanJob>> jobs) {
  auto waiter = std::make_shared<JobWait>(state.io);
  waiter->timer.expires_at(Clock::time_point::max());
  waiter->left = jobs.size();
  auto executor = state.io.get_executor();
  for (const auto& job : jobs) {
    job->done = [waiter, executor] {
      asio::post(executor, [waiter] {
        if (--waiter->left == 0) waiter->timer.cancel();
      });
    };
    SubmitJob(state.pool, job);
  }
  return waiter;
}

awaitable<void> FinishJobs(std::shared_ptr<JobWait> waiter) {
  while (waiter->left > 0) {
    error_code ignored;
    co_await waiter->timer.async_wait(redirect_error(use_awaitable, ignored));
  }
}

awaitable<void> RunInPool(ServiceState& state, std::shared_ptr<ScanJob> job) {
  const std::shared_ptr<ScanJob> jobs[] = {std::move(job)};
  co_await RunJobs(state, jobs);
}

awaitable<void> RunJob(ServiceState& state, std::shared_ptr<ScanJob> job) {
  if (ScanInline(state.pool, *job)) co_return;
  co_await RunInPool(state, std::move(job));
}

namespace {

// MULTISCAN: the walk on a worker, then the files on every worker, at most
// as many at once as there are workers, so that one folder does not
// crowd out other clients. The results come in walk order.
awaitable<void> RunMultiScan(ServiceState& state, ScanJob& job) {
  auto listing = std::make_shared<ScanJob>();
  listing->path = job.path;
  listing->mode = PathMode::List;
  co_await RunJob(state, listing);
  const size_t window = std::max<size_t>(1, state.options.threads);
  std::vector<std::shared_ptr<ScanJob>> batch;
  auto flush = [&]() -> awaitable<void> {
    co_await RunJobs(state, batch);
    for (const auto& file : batch) {
      for (auto& result : file->results) job.results.push_back(std::move(result));
    }
    batch.clear();
  };
  for (const scanning::ScanTarget& target : listing->targets) {
    if (target.state == scanning::TargetState::Excluded) continue;
    if (target.state == scanning::TargetState::Error) {
      co_await flush();
      job.results.emplace_back(scanning::PathText(target), scanning::FileOutcome{scanning::Outcome::Error, {}, target.reason, 0, {}});
      continue;
    }
    auto file = std::make_shared<ScanJob>();
    file->path = scanning::PathText(target);
    file->mode = PathMode::Continue;
    batch.push_back(std::move(file));
    if (batch.size() == window) co_await flush();
  }
  co_await flush();
}

// The state of one conversation: in an IDSESSION replies carry the
// request's number.
struct Dialogue {
  bool inSession = false;
  unsigned id = 0;
  Delimiter delimiter = Delimiter::Bare;
  StreamSpool stream;  // the INSTREAM stream under way
  bool streaming = false;
};

std::string Line(const Dialogue& dialogue, std::string_view text) {
  std::string line = dialogue.inSession ? std::to_string(dialogue.id) + ": " : std::string();
  line += text;
  line += ReplyTerminator(dialogue.delimiter);
  return line;
}

std::string VersionText(ServiceState& state) {
  const auto database = CurrentDatabase(state.databases);
  return std::string("Veltor ") + VELTOR_VERSION + "/" + std::to_string(database->rules) + "/" + database->buildTime;
}

std::string StatsText(ServiceState& state) {
  const auto database = CurrentDatabase(state.databases);
  const PoolState pool = ReadPoolState(state.pool);
  const auto uptime = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - state.started).count();
  const PoolCounters& counters = state.pool.counters;
  return "POOLS: 1\n\nSTATE: VALID PRIMARY\nTHREADS: live " + std::to_string(pool.busy) + "  idle " +
         std::to_string(pool.threads - pool.busy) + " max " + std::to_string(pool.threads) + "\nQUEUE: " +
         std::to_string(pool.queued) + " items (" + std::to_string(pool.waiting) + " waiting for room)\n" +
         "CONNECTIONS: open " + std::to_string(state.connections) + " served " +
         std::to_string(state.connectionsServed) + " refused " + std::to_string(state.connectionsRefused) +
         "\nSCANS: " + std::to_string(counters.scans.load()) + " bytes " + std::to_string(counters.bytes.load()) +
         " found " + std::to_string(counters.found.load()) + " errors " + std::to_string(counters.errors.load()) +
         "\nDATABASE: " + database->path + " generation " + std::to_string(database->generation) + " built " +
         database->buildTime + " signatures " + std::to_string(database->signatures) + " rules " +
         std::to_string(database->rules) + "\nRELOADS: " + std::to_string(state.reloads.load()) + " failed " +
         std::to_string(state.reloadFailures.load()) + "\nUPTIME: " + std::to_string(uptime) + " s\nEND";
}

}  // namespace

void LogResults(const std::string& peer, const ScanJob& job) {
  for (const auto& [name, outcome] : job.results) {
    for (const scanning::RuleReport& report : outcome.reports) {
      std::string where = name;
      for (const std::string& part : report.archivePath) where += "!" + part;
      Log("found", {{"client", peer}, {"name", where}, {"rule", ShownRuleName(report)},
                    {"level", std::to_string(report.level)}});
    }
    const std::string reason = ErrorReason(outcome);
    if (outcome.reports.empty() && !reason.empty()) Log("scan-error", {{"client", peer}, {"name", name}, {"reason", reason}});
  }
}

namespace {

// Ends the feeding once no job holds the stream: the pieces kept go to the
// spool file (unless a job put them there), then the piece coming in and
// what overflowed it, as every byte after them will.
bool StopFeeding(StreamSpool& spool, std::string& error) {
  spool.feed = false;
  if (spool.scan) {
    if (!SpillPieces(*spool.scan)) {
      error = spool.scan->spoolError;
      return false;
    }
    spool.file = std::move(spool.scan->spool);
    spool.scan.reset();
  }
  const uint64_t at = spool.bytes - spool.overflow.size() - spool.piece.size;
  const bool written = WriteAt(spool.file.fd, spool.piece.Used(), at, error) &&
                       WriteAt(spool.file.fd, spool.overflow, at + spool.piece.size, error);
  spool.piece = Piece();
  std::vector<uint8_t>().swap(spool.overflow);
  return written;
}

}  // namespace

bool SpoolBytes(StreamSpool& spool, std::span<const uint8_t> bytes, const ServiceOptions& options,
                std::string& error) {
  if (!spool.failure.empty()) {
    error = spool.failure;
    return false;
  }
  const uint64_t before = spool.bytes;
  spool.bytes += bytes.size();
  if (spool.scan && spool.feed) {
    // Into the piece coming in; a burst past its room waits in `overflow`.
    const size_t fits = spool.piece.bytes == nullptr ? 0 : std::min(bytes.size(), spool.piece.Room().size());
    if (fits != 0) std::memcpy(spool.piece.Room().data(), bytes.data(), fits);
    spool.piece.size += fits;
    try {
      spool.overflow.insert(spool.overflow.end(), bytes.begin() + static_cast<std::ptrdiff_t>(fits), bytes.end());
      return true;
    } catch (const std::bad_alloc&) {
      spool.failure = error = "out of memory while the stream arrived";
      return false;
    }
  }
  if (spool.file.fd < 0) {
    // Kept whole up to the bound; past it, until FeedStream makes pieces.
    if (spool.bytes <= MemoryStreamBytes || spool.feed) {
      try {
        spool.memory.insert(spool.memory.end(), bytes.begin(), bytes.end());
        return true;
      } catch (const std::bad_alloc&) {
        // On to a file, which needs no memory of ours.
      }
    }
    spool.feed = false;
    spool.file = OpenSpool(options.tempDir, error);
    if (spool.file.fd < 0) return false;
    if (!WriteAt(spool.file.fd, spool.memory, 0, error)) return false;
    std::vector<uint8_t>().swap(spool.memory);
  }
  return WriteAt(spool.file.fd, bytes, before, error);
}

std::span<uint8_t> SpoolRoom(StreamSpool& spool) {
  if (!spool.scan || !spool.feed || spool.piece.bytes == nullptr || !spool.overflow.empty() ||
      !spool.failure.empty()) {
    return {};
  }
  return spool.piece.Room();
}

void ReadIntoSpool(StreamSpool& spool, size_t count) {
  spool.piece.size += count;
  spool.bytes += count;
}

namespace {

// Waits for the piece in a job; feeding ends when the stream got no handle
// or its file could not be written. False with `error` set for the latter.
awaitable<bool> AwaitPiece(StreamSpool& spool, std::string& error) {
  if (!spool.feeding) co_return true;
  co_await FinishJobs(std::move(spool.feeding));
  spool.feeding.reset();
  if (!spool.scan) co_return true;
  if (!spool.scan->spoolError.empty()) {
    spool.failure = spool.scan->spoolError;
    error = spool.failure;
    spool.feed = false;
    spool.scan.reset();
    spool.piece = Piece();
    std::vector<uint8_t>().swap(spool.overflow);
    co_return false;
  }
  if (spool.scan->asked && spool.scan->handle == nullptr) co_return StopFeeding(spool, error);
  co_return true;
}

}  // namespace

awaitable<void> FeedStream(ServiceState& state, StreamSpool& spool) {
  if (!spool.feed || spool.file.fd >= 0 || spool.bytes <= MemoryStreamBytes || !spool.failure.empty()) co_return;
  std::string error;
  if (!spool.scan) {
    // Past the bound: what was kept becomes the first piece.
    auto scan = std::make_shared<StreamScan>();
    scan->database = CurrentDatabase(state.databases);
    scan->tempDir = &state.options.tempDir;
    spool.scan = std::move(scan);
    spool.overflow = std::move(spool.memory);
    spool.memory = {};
  }
  for (;;) {
    if (spool.piece.bytes == nullptr && !TakePiece(state.pieces, spool.piece)) {
      // No memory for a piece: the rest goes to the file, not fed.
      bool stopped = co_await AwaitPiece(spool, error);
      if (stopped && spool.feed) stopped = StopFeeding(spool, error);
      if (!stopped && spool.failure.empty()) spool.failure = error;  // the next SpoolBytes tells
      co_return;
    }
    const size_t moved = std::min(spool.overflow.size(), spool.piece.Room().size());
    if (moved != 0) {
      std::memcpy(spool.piece.Room().data(), spool.overflow.data(), moved);
      spool.piece.size += moved;
      spool.overflow.erase(spool.overflow.begin(), spool.overflow.begin() + static_cast<std::ptrdiff_t>(moved));
    }
    if (spool.piece.size < MemoryStreamBytes) co_return;
    if (!co_await AwaitPiece(spool, error)) {
      if (spool.failure.empty()) spool.failure = error;
      co_return;
    }
    if (!spool.feed) co_return;
    auto job = std::make_shared<ScanJob>();
    job->feed = true;
    job->stream = spool.scan;
    job->piece = std::move(spool.piece);
    spool.piece = Piece();
    const std::shared_ptr<ScanJob> jobs[] = {std::move(job)};
    spool.feeding = StartJobs(state, jobs);
  }
}

awaitable<bool> SettleSpool(StreamSpool& spool, std::string& error) {
  // One co_return at the end: GCC 12 mishandles a co_return of a
  // short-circuit expression (and co_await inside one).
  bool settled = !spool.scan && spool.file.fd < 0;  // in memory, whole
  if (!settled && !spool.failure.empty()) {
    error = spool.failure;
  } else if (!settled) {
    settled = co_await AwaitPiece(spool, error);
    if (settled && spool.feed) settled = StopFeeding(spool, error);
  }
  co_return settled;
}

awaitable<bool> HandOverStream(StreamSpool& spool, ScanJob& job, std::string& error, bool share) {
  if (!spool.scan && spool.file.fd < 0) {
    spool.bytes = 0;
    job.memory = std::move(spool.memory);
    job.inMemory = true;
    spool.memory = {};
    co_return true;
  }
  if (!spool.failure.empty()) {
    error = spool.failure;
    co_return false;
  }
  if (!co_await AwaitPiece(spool, error)) co_return false;
  // FeedStream leaves nothing in `overflow`; should it, the file takes it.
  bool written = true;
  if (spool.feed && !spool.overflow.empty()) written = StopFeeding(spool, error);
  if (!written) co_return false;
  if (spool.feed) {
    // The last piece, the scan's end and the walk go to the job.
    job.stream = share ? spool.scan : std::move(spool.scan);
    job.piece = std::move(spool.piece);
    spool.piece = Piece();
    spool.bytes = 0;
    co_return true;
  }
  // A scan that stopped being fed has not seen every byte: the file is
  // scanned whole instead.
  spool.bytes = 0;
  lseek(spool.file.fd, 0, SEEK_SET);
  const int descriptor = share ? dup(spool.file.fd) : spool.file.Release();
  if (descriptor < 0) {
    error = std::string("cannot scan the spool: ") + std::strerror(errno);
    co_return false;
  }
  co_return scanning::AdoptInput(job.file, descriptor, error);
}

namespace {

// Scans a stream and replies.
template <class Socket>
awaitable<bool> ScanStream(ServiceState& state, Connection<Socket>& connection, Dialogue& dialogue) {
  auto job = std::make_shared<ScanJob>();
  std::string error;
  dialogue.streaming = false;
  if (!co_await HandOverStream(dialogue.stream, *job, error)) co_return co_await Send(connection, Line(dialogue, "stream: " + error + " ERROR"));
  job->name = "stream";
  if (!ScanInline(state.pool, *job)) co_await RunInPool(state, job);
  LogResults(connection.peer, *job);
  std::string reply;
  for (const std::string& line : VerdictLines(job->name, job->results.front().second, false)) reply += Line(dialogue, line);
  co_return co_await Send(connection, reply);
}

// Scans what a descriptor holds and replies.
template <class Socket>
awaitable<bool> ScanDescriptor(ServiceState& state, Connection<Socket>& connection, Dialogue& dialogue, UniqueFd file,
                               std::string name) {
  auto job = std::make_shared<ScanJob>();
  std::string error;
  const int descriptor = file.Release();
  if (!scanning::AdoptInput(job->file, descriptor, error)) co_return co_await Send(connection, Line(dialogue, name + ": " + error + " ERROR"));
  job->name = std::move(name);
  co_await RunJob(state, job);
  LogResults(connection.peer, *job);
  std::string reply;
  for (const std::string& line : VerdictLines(job->name, job->results.front().second, false)) reply += Line(dialogue, line);
  co_return co_await Send(connection, reply);
}

template <class Socket>
awaitable<bool> ScanPathCommand(ServiceState& state, Connection<Socket>& connection, Dialogue& dialogue,
                                const Command& command) {
  const std::string& path = command.argument;
  const std::string_view commandName = CommandText(command.name);
  if (path.empty()) co_return co_await Send(connection, Line(dialogue, std::string(commandName) + ": no path given. ERROR"));
  if (!IsUnix<Socket> && !state.options.tcpPathScans) {
    Log("refused", {{"client", connection.peer}, {"command", commandName}, {"reason", "path scans over TCP are off"}});
    co_return co_await Send(connection, Line(dialogue, scanning::DisplayPath(path) +
                                                           ": path scans are served on the Unix socket only. ERROR"));
  }
  if (path.front() != '/') co_return co_await Send(connection, Line(dialogue, scanning::DisplayPath(path) + ": the path must be absolute. ERROR"));
  auto job = std::make_shared<ScanJob>();
  job->path = path;
  job->mode = command.name == CommandName::Scan       ? PathMode::Scan
              : command.name == CommandName::AllMatchScan ? PathMode::AllMatch
                                                          : PathMode::Continue;
  if (command.name == CommandName::MultiScan) {
    co_await RunMultiScan(state, *job);
  } else {
    co_await RunJob(state, job);
  }
  LogResults(connection.peer, *job);
  std::string reply;
  for (const auto& [name, outcome] : job->results) {
    if (IsClean(outcome)) continue;
    for (const std::string& line : VerdictLines(name, outcome, job->mode == PathMode::AllMatch)) {
      reply += Line(dialogue, line);
    }
  }
  if (reply.empty()) reply = Line(dialogue, scanning::DisplayPath(path) + ": OK");
  co_return co_await Send(connection, reply);
}

// The conversation with one client: one command, or an IDSESSION of many.
template <class Socket>
awaitable<void> Converse(ServiceState& state, Connection<Socket>& connection) {
  ProtocolReader& reader = connection.reader;
  reader.maxStream = state.options.maxStream;
  Dialogue dialogue;
  const auto readTimeout = std::chrono::seconds(state.options.readTimeoutSeconds);
  const auto idleTimeout = std::chrono::seconds(state.options.idleTimeoutSeconds);
  for (;;) {
    std::span<const uint8_t> input = Unread(connection.in);
    const size_t before = input.size();
    Event event = NextEvent(reader, input);
    connection.in.start += before - input.size();
    switch (event.kind) {
      case EventKind::NeedMore: {
        const bool idle = dialogue.inSession && !MidMessage(reader);
        // A long chunk's bytes go straight into the stream's piece when
        // nothing is left unread before them.
        std::span<uint8_t> into;
        if (dialogue.streaming && Unread(connection.in).empty()) {
          into = SpoolRoom(dialogue.stream);
          into = into.first(static_cast<size_t>(std::min<uint64_t>(into.size(), ChunkBytesLeft(reader))));
        }
        size_t taken = 0;
        error_code error;
        if (!ReadArrived(connection, error, into, &taken)) {
          connection.deadline.After(idle ? idleTimeout : readTimeout);
          co_await ReadMore(connection, error, into, &taken);
          connection.deadline.Clear();
        }
        if (!error && taken != 0) {
          TakeChunkBytes(reader, taken);
          ReadIntoSpool(dialogue.stream, taken);
          co_await FeedStream(state, dialogue.stream);
        }
        if (!error) break;
        const bool middle = MidMessage(reader);
        if (connection.timedOut) {
          if (idle) co_return;  // an idle session simply ends
          const std::string reason = middle ? "read timed out in the middle of a command or stream" : "no command came in time";
          Log("client-error", {{"client", connection.peer}, {"reason", reason}});
          CountClientError(state, ClientErrorKind::Timeout);
          connection.timedOut = false;
          co_await Send(connection, Line(dialogue, (dialogue.streaming ? "stream: " : "") + reason + ". ERROR"));
        } else if (error == asio::error::eof) {
          if (middle) {
            const std::string reason = dialogue.streaming ? "the stream ended before its zero-length chunk"
                                                                : "the connection ended in the middle of a command";
            Log("client-error", {{"client", connection.peer}, {"reason", reason}});
            CountClientError(state, ClientErrorKind::EndedEarly);
            co_await Send(connection, Line(dialogue, (dialogue.streaming ? "stream: " : "") + reason + ". ERROR"));
          }
        } else if (error != asio::error::operation_aborted) {
          Log("client-error", {{"client", connection.peer}, {"reason", error.message()}});
        }
        co_return;
      }
      case EventKind::Error: {
        if (event.error != ProtocolError::SizeLimit) dialogue.delimiter = event.command.delimiter;
        Log("client-error", {{"client", connection.peer}, {"reason", ErrorText(event.error)}});
        CountClientError(state, event.error == ProtocolError::SizeLimit ? ClientErrorKind::SizeLimit
                                                                        : ClientErrorKind::Malformed);
        co_await Send(connection, Line(dialogue, ErrorText(event.error)));
        co_return;
      }
      case EventKind::StreamBytes: {
        std::string error;
        if (!SpoolBytes(dialogue.stream, event.bytes, state.options, error)) {
          Log("error", {{"client", connection.peer}, {"reason", error}});
          co_await Send(connection, Line(dialogue, "stream: " + error + " ERROR"));
          co_return;
        }
        co_await FeedStream(state, dialogue.stream);
        break;
      }
      case EventKind::StreamEnd: {
        if (!co_await ScanStream(state, connection, dialogue)) co_return;
        if (!dialogue.inSession) {
          connection.finished = true;
          co_return;
        }
        break;
      }
      case EventKind::Command: {
        const Command& command = event.command;
        dialogue.delimiter = command.delimiter;
        if (dialogue.inSession) ++dialogue.id;
        bool carryOn = true;
        switch (command.name) {
          case CommandName::IdSession:
            if (dialogue.inSession) {
              carryOn = co_await Send(connection, Line(dialogue, "IDSESSION: already in a session. ERROR"));
            }
            dialogue.inSession = true;
            dialogue.id = 0;
            continue;
          case CommandName::End:
            co_return;
          case CommandName::Ping:
            carryOn = co_await Send(connection, Line(dialogue, "PONG"));
            break;
          case CommandName::Version:
            carryOn = co_await Send(connection, Line(dialogue, VersionText(state)));
            break;
          case CommandName::VersionCommands:
            carryOn = co_await Send(connection, Line(dialogue, VersionText(state) + "| COMMANDS: " + std::string(CommandList())));
            break;
          case CommandName::Stats:
            carryOn = co_await Send(connection, Line(dialogue, StatsText(state)));
            break;
          case CommandName::Reload:
          case CommandName::Shutdown:
          case CommandName::ContScan:
          case CommandName::MultiScan:
          case CommandName::AllMatchScan:
            if (dialogue.inSession) {
              carryOn = co_await Send(connection, Line(dialogue, std::string(CommandText(command.name)) +
                                                                     ": not accepted inside IDSESSION. ERROR"));
              break;
            }
            if (command.name == CommandName::Reload) {
              Log("reload-requested", {{"client", connection.peer}});
              RequestReload(state);
              carryOn = co_await Send(connection, Line(dialogue, "RELOADING"));
            } else if (command.name == CommandName::Shutdown) {
              if (!state.options.allowShutdown) {
                Log("refused", {{"client", connection.peer}, {"command", "SHUTDOWN"}, {"reason", "allow-shutdown is off"}});
                carryOn = co_await Send(connection, Line(dialogue, "SHUTDOWN: not allowed by the configuration. ERROR"));
              } else {
                Log("shutdown", {{"client", connection.peer}});
                Stop(state);
                co_return;
              }
            } else {
              carryOn = co_await ScanPathCommand(state, connection, dialogue, command);
            }
            break;
          case CommandName::Scan:
            carryOn = co_await ScanPathCommand(state, connection, dialogue, command);
            break;
          case CommandName::InStream:
            dialogue.stream = {};
            dialogue.streaming = true;
            continue;  // the stream's chunks follow
          case CommandName::FilDes: {
            if constexpr (!IsUnix<Socket>) {
              carryOn = co_await Send(connection, Line(dialogue, "FILDES: only over the Unix socket. ERROR"));
              break;
            } else {
              while (connection.passed.count == 0) {
                error_code error;
                if (!ReadArrived(connection, error)) {
                  connection.deadline.After(readTimeout);
                  co_await ReadMore(connection, error);
                  connection.deadline.Clear();
                }
                if (error) {
                  Log("client-error", {{"client", connection.peer}, {"reason", "FILDES without a descriptor"}});
                  co_await Send(connection, Line(dialogue, "FILDES: no descriptor received. ERROR"));
                  co_return;
                }
              }
              UniqueFd file = TakeOldest(connection.passed);
              const std::string name = "fd[" + std::to_string(file.fd) + "]";
              carryOn = co_await ScanDescriptor(state, connection, dialogue, std::move(file), name);
              break;
            }
          }
        }
        if (!carryOn || !dialogue.inSession) {
          connection.finished = carryOn;
          co_return;
        }
        break;
      }
    }
  }
}

template <class Socket>
awaitable<void> Refuse(ServiceState& state, std::shared_ptr<Connection<Socket>> connection) {
  ++state.refusalsDraining;
  connection->deadline.Clear();
  asio::co_spawn(state.io, Watchdog(connection), asio::detached);
  co_await LingeringClose(*connection);
  connection->deadline.Stop();
  --state.refusalsDraining;
}

// What a listener speaks: the clamd protocol, HTTP or ICAP.
enum class Listener : uint8_t { Clamd, Http, Icap };

template <class Acceptor>
awaitable<void> AcceptLoop(ServiceState& state, Acceptor& acceptor, Listener listener = Listener::Clamd) {
  using Socket = typename Acceptor::protocol_type::socket;
  asio::steady_timer pause(state.io);
  for (;;) {
    error_code error;
    // With every slot taken and as many refusals draining, new connections
    // wait in the listen queue: accepted now, they could only be closed
    // unread, and a close with unread bytes resets the connection, losing
    // the refusal. Each drain ends within LingerTime.
    while (state.connections >= state.options.maxConnections &&
           state.refusalsDraining >= state.options.maxConnections) {
      pause.expires_after(std::chrono::milliseconds(10));
      co_await pause.async_wait(redirect_error(use_awaitable, error));
      if (!acceptor.is_open()) co_return;
    }
    Socket socket(state.io);
    typename Acceptor::endpoint_type from;  // filled by the accept itself: no look-up after
    co_await acceptor.async_accept(socket, from, redirect_error(use_awaitable, error));
    if (!acceptor.is_open() || error == asio::error::operation_aborted) co_return;
    if (error) {
      // Out of descriptors, most likely: wait for some to be freed.
      Log("error", {{"reason", "accept: " + error.message()}});
      pause.expires_after(std::chrono::milliseconds(100));
      co_await pause.async_wait(redirect_error(use_awaitable, error));
      continue;
    }
    std::string peer = "unix";
    if constexpr (!IsUnix<Socket>) {
      // Replies go out whole, at once (the clamd protocol's Send sets it
      // when it can matter).
      if (listener != Listener::Clamd) socket.set_option(asio::ip::tcp::no_delay(true), error);
      peer = from.address().to_string() + ":" + std::to_string(from.port());
    }
    if (state.connections >= state.options.maxConnections) {
      // A clear refusal that cannot wait on the client, then drained for a
      // moment so that the close does not reset it away.
      ++state.connectionsRefused;
      const std::string_view refusal = listener == Listener::Http   ? HttpTooManyConnections()
                                       : listener == Listener::Icap ? IcapTooManyConnections()
                                                                    : TooManyConnections;
      [[maybe_unused]] const ssize_t sent =
          send(socket.native_handle(), refusal.data(), refusal.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
      Log("refused", {{"client", peer}, {"reason", "too many connections"},
                      {"limit", std::to_string(state.options.maxConnections)}});
      auto connection = std::make_shared<Connection<Socket>>(std::move(socket), state.io);
      asio::co_spawn(state.io, Refuse(state, std::move(connection)), asio::detached);
      continue;
    }
    if constexpr (!IsUnix<Socket>) {
      if (listener == Listener::Http) {
        asio::co_spawn(state.io, ServeHttp(state, std::move(socket), std::move(peer)), asio::detached);
        continue;
      }
      if (listener == Listener::Icap) {
        asio::co_spawn(state.io, ServeIcap(state, std::move(socket), std::move(peer)), asio::detached);
        continue;
      }
    }
    auto connection = std::make_shared<Connection<Socket>>(std::move(socket), state.io);
    connection->peer = std::move(peer);
    asio::co_spawn(state.io, ServeConnection(state, std::move(connection), &Converse<Socket>, "clamd"), asio::detached);
  }
}

// Gives idle pieces back to the system once streams have stopped for a
// moment.
awaitable<void> TrimLoop(ServiceState& state) {
  asio::steady_timer timer(state.io);
  for (;;) {
    timer.expires_after(std::chrono::seconds(1));
    error_code error;
    co_await timer.async_wait(redirect_error(use_awaitable, error));
    if (error) co_return;
    TrimPieces(state.pieces);
  }
}

awaitable<void> SignalLoop(ServiceState& state) {
  for (;;) {
    error_code error;
    const int number = co_await state.signals.async_wait(redirect_error(use_awaitable, error));
    if (error) co_return;
    if (number == SIGHUP) {
      Log("reload-requested", {{"by", "SIGHUP"}});
      RequestReload(state);
    } else {
      Log("stopping", {{"signal", number == SIGTERM ? "SIGTERM" : "SIGINT"}});
      Stop(state);
      co_return;
    }
  }
}

// The Unix socket: a stale socket file from an earlier run is replaced, a
// live one (another daemon answering) is not.
bool ListenUnix(ServiceState& state, const std::string& path, std::string& error) {
  namespace fs = std::filesystem;
  std::error_code code;
  const fs::path folder = fs::path(path).parent_path();
  if (!folder.empty()) fs::create_directories(folder, code);
  if (fs::is_socket(fs::symlink_status(path, code))) {
    UnixSocket probe(state.io);
    error_code probeError;
    probe.connect(asio::local::stream_protocol::endpoint(path), probeError);
    if (!probeError) {
      error = path + ": another service is listening there";
      return false;
    }
    fs::remove(path, code);
  }
  error_code failure;
  auto& acceptor = state.unixAcceptor.emplace(state.io);
  acceptor.open(asio::local::stream_protocol(), failure);
  if (!failure) acceptor.bind(asio::local::stream_protocol::endpoint(path), failure);
  if (!failure && chmod(path.c_str(), state.options.unixSocketMode) != 0) {
    failure = error_code(errno, boost::system::system_category());
  }
  if (!failure) acceptor.listen(asio::socket_base::max_listen_connections, failure);
  if (failure) {
    error = path + ": " + failure.message();
    return false;
  }
  return true;
}

bool ListenTcp(ServiceState& state, std::optional<asio::ip::tcp::acceptor>& listener, const Endpoint& where,
               std::string& error) {
  error_code failure;
  const auto address = asio::ip::make_address(where.host == "localhost" ? "127.0.0.1" : where.host, failure);
  if (failure) {
    error = where.host + ": not an IP address";
    return false;
  }
  auto& acceptor = listener.emplace(state.io);
  const asio::ip::tcp::endpoint endpoint(address, where.port);
  acceptor.open(endpoint.protocol(), failure);
  if (!failure) acceptor.set_option(asio::socket_base::reuse_address(true), failure);
  if (!failure) acceptor.bind(endpoint, failure);
  if (!failure) acceptor.listen(asio::socket_base::max_listen_connections, failure);
  if (failure) {
    error = where.host + ":" + std::to_string(where.port) + ": " + failure.message();
    return false;
  }
  return true;
}

// Where TCP is served, with the port the system chose for port 0.
std::string BoundTcp(const std::optional<asio::ip::tcp::acceptor>& listener) {
  if (!listener) return "";
  error_code error;
  const auto endpoint = listener->local_endpoint(error);
  return error ? "" : endpoint.address().to_string() + ":" + std::to_string(endpoint.port());
}

// Sockets systemd opened for the service (veltord.socket): a Unix socket
// and a TCP socket at most, each taken instead of the one configured.
// False with `error` set for a socket of another kind.
bool AdoptActivatedSockets(ServiceState& state, bool& adoptedUnix, bool& adoptedTcp, std::string& error) {
  adoptedUnix = adoptedTcp = false;
#ifdef VELTORD_HAVE_SYSTEMD
  const int count = sd_listen_fds(1);
  for (int descriptor = SD_LISTEN_FDS_START; descriptor < SD_LISTEN_FDS_START + std::max(count, 0); ++descriptor) {
    error_code failure;
    if (!adoptedUnix && sd_is_socket_unix(descriptor, SOCK_STREAM, 1, nullptr, 0) > 0) {
      state.unixAcceptor.emplace(state.io).assign(asio::local::stream_protocol(), descriptor, failure);
      adoptedUnix = !failure;
    } else if (!adoptedTcp && sd_is_socket_inet(descriptor, AF_INET, SOCK_STREAM, 1, 0) > 0) {
      state.tcpAcceptor.emplace(state.io).assign(asio::ip::tcp::v4(), descriptor, failure);
      adoptedTcp = !failure;
    } else if (!adoptedTcp && sd_is_socket_inet(descriptor, AF_INET6, SOCK_STREAM, 1, 0) > 0) {
      state.tcpAcceptor.emplace(state.io).assign(asio::ip::tcp::v6(), descriptor, failure);
      adoptedTcp = !failure;
    } else {
      error = "socket activation: descriptor " + std::to_string(descriptor) + " is not a listening stream socket";
      return false;
    }
    if (failure) {
      error = "socket activation: " + failure.message();
      return false;
    }
  }
#else
  (void)state;
  (void)error;
#endif
  return true;
}

}  // namespace

int Serve(const ServiceOptions& options, std::shared_ptr<LoadedDatabase> database, void (*ready)()) {
  ServiceState state(options);
  ReplaceDatabase(state.databases, std::move(database));
  state.pool.databases = &state.databases;
  state.pool.settings.archives = options.archives;
  state.pool.capacity = options.maxQueue;
  state.pieces.budget = options.spoolMemory;

  std::string error;
  bool activatedUnix = false;
  bool activatedTcp = false;
  if (!AdoptActivatedSockets(state, activatedUnix, activatedTcp, error) ||
      (!activatedUnix && !options.unixSocket.empty() && !ListenUnix(state, options.unixSocket, error)) ||
      (!activatedTcp && options.tcp && !ListenTcp(state, state.tcpAcceptor, *options.tcp, error)) ||
      (options.http && !ListenTcp(state, state.httpAcceptor, *options.http, error)) ||
      (options.icap && !ListenTcp(state, state.icapAcceptor, *options.icap, error))) {
    Log("error", {{"reason", "cannot listen: " + error}});
    return 1;
  }
  if (!state.unixAcceptor && !state.tcpAcceptor && !state.httpAcceptor && !state.icapAcceptor) {
    Log("error", {{"reason", "nothing to listen on: none of unix-socket, tcp, http and icap is set"}});
    return 1;
  }
  state.signals.add(SIGTERM);
  state.signals.add(SIGINT);
  state.signals.add(SIGHUP);

  if (ready != nullptr) {
    state.io.notify_fork(asio::execution_context::fork_prepare);
    ready();
    state.io.notify_fork(asio::execution_context::fork_child);
  }
  StartPool(state.pool, options.threads);
  state.reloader = std::thread(ReloadLoop, std::ref(state));
  if (state.unixAcceptor) asio::co_spawn(state.io, AcceptLoop(state, *state.unixAcceptor), asio::detached);
  if (state.tcpAcceptor) asio::co_spawn(state.io, AcceptLoop(state, *state.tcpAcceptor), asio::detached);
  if (state.httpAcceptor) asio::co_spawn(state.io, AcceptLoop(state, *state.httpAcceptor, Listener::Http), asio::detached);
  if (state.icapAcceptor) asio::co_spawn(state.io, AcceptLoop(state, *state.icapAcceptor, Listener::Icap), asio::detached);
  if (options.watchDatabase) {
    asio::co_spawn(state.io, WatchDatabase(state.io, options.database, options.watchIntervalSeconds, [&state] {
                     Log("reload-requested", {{"by", "a change of the database file"}});
                     RequestReload(state);
                   }), asio::detached);
  }
  asio::co_spawn(state.io, SignalLoop(state), asio::detached);
  asio::co_spawn(state.io, TrimLoop(state), asio::detached);

  const auto current = CurrentDatabase(state.databases);
  Notify("READY=1\nSTATUS=serving generation 1");
  Log("ready", {{"unix-socket", activatedUnix ? "(from systemd)" : options.unixSocket},
                {"tcp", BoundTcp(state.tcpAcceptor)}, {"http", BoundTcp(state.httpAcceptor)},
                {"icap", BoundTcp(state.icapAcceptor)},
                {"db", current->path}, {"rules", std::to_string(current->rules)},
                {"threads", std::to_string(options.threads)}});
  state.io.run();

  {
    std::lock_guard lock(state.reloadMutex);
    state.reloadStop = true;
  }
  state.reloadWake.notify_all();
  state.reloader.join();
  StopPool(state.pool);
  // A socket systemd made is systemd's to remove.
  if (state.unixAcceptor && !activatedUnix) {
    std::error_code ignored;
    std::filesystem::remove(options.unixSocket, ignored);
  }
  Log("stopped", {});
  return 0;
}

}  // namespace veltor::service
