#pragma once
// What veltord's listeners share on the networking thread: the service's
// state, the connection watchdog and close, the spool a stream is kept in
// while it arrives, and the hand-over of jobs to the pool. The clamd
// protocol (server.cpp) and HTTP (http_service.cpp) both build on it.
// Boost 1.74's coroutine support uses std::exchange without including it.
#include <utility>

#include <boost/asio.hpp>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "veltord/scan_pool.h"
#include "veltord/service_log.h"
#include "veltord/service_options.h"

namespace veltor::service {

namespace asio = boost::asio;
using Clock = std::chrono::steady_clock;

// How long a reply to a client that does not read may take.
inline constexpr auto WriteTimeout = std::chrono::seconds(10);
// How long, and for how many bytes, a closing connection is drained.
inline constexpr auto LingerTime = std::chrono::seconds(1);
inline constexpr size_t LingerBytes = size_t{4} << 20;

// A connection's deadline, which its watchdog keeps. A read or a write sets
// it and clears it after; the timer is moved only when the deadline comes
// earlier than the timer stands, so that most of those updates are a store
// and not a timer operation (and a wake-up of the watchdog).
struct Deadline {
  explicit Deadline(asio::io_context& io) : timer(io) { timer.expires_at(Clock::time_point::max()); }
  asio::steady_timer timer;
  Clock::time_point at = Clock::time_point::max();
  bool stopped = false;
  // The watchdog is started by the first deadline set (ServeConnection
  // arms this): a connection answered without a wait never has one.
  void (*startWatchdog)(Deadline&) = nullptr;
  std::weak_ptr<void> owner;  // the connection, for the watchdog to hold
  void After(Clock::duration wait) {
    at = Clock::now() + wait;
    if (at < timer.expiry()) timer.expires_at(at);  // the watchdog wakes and waits for it
    if (startWatchdog != nullptr) std::exchange(startWatchdog, nullptr)(*this);
  }
  void Clear() { at = Clock::time_point::max(); }
  // Ends the watchdog.
  void Stop() {
    stopped = true;
    timer.cancel();
  }
};

// Why a client's request ended in an error, as the metrics count them.
enum class ClientErrorKind : uint8_t { Malformed, SizeLimit, Timeout, EndedEarly };
inline constexpr size_t ClientErrorKinds = 4;

// Members are declared in the order that lets the networking's coroutines,
// destroyed with `io`, still find what they count, and the listeners go
// before `io`.
struct ServiceState {
  explicit ServiceState(const ServiceOptions& given) : options(given) {}
  const ServiceOptions& options;
  Clock::time_point started = Clock::now();
  // Touched on the networking thread only.
  unsigned connections = 0;
  uint64_t connectionsServed = 0;
  uint64_t connectionsRefused = 0;
  unsigned refusalsDraining = 0;
  std::array<uint64_t, ClientErrorKinds> clientErrors{};
  std::array<uint64_t, 600> httpReplies{};  // by status
  // Reloads run on a thread of their own, one at a time; requests made
  // while one runs make one more.
  std::mutex reloadMutex;
  std::condition_variable reloadWake;
  unsigned reloadRequests = 0;
  bool reloadStop = false;
  std::thread reloader;
  uint64_t lastGeneration = 1;
  std::atomic<uint64_t> reloads{0};
  std::atomic<uint64_t> reloadFailures{0};
  PieceStore pieces;  // outlives the jobs and connections that hold pieces
  DatabaseSet databases;
  ScanPool pool;
  asio::io_context io{1};
  asio::signal_set signals{io};
  std::optional<asio::local::stream_protocol::acceptor> unixAcceptor;
  std::optional<asio::ip::tcp::acceptor> tcpAcceptor;
  std::optional<asio::ip::tcp::acceptor> httpAcceptor;
  std::optional<asio::ip::tcp::acceptor> icapAcceptor;
};

inline void CountClientError(ServiceState& state, ClientErrorKind kind) {
  ++state.clientErrors[static_cast<size_t>(kind)];
}

// Counts a connection served while it lives.
struct ConnectionCount {
  ServiceState& state;
  explicit ConnectionCount(ServiceState& s) : state(s) {
    ++state.connections;
    ++state.connectionsServed;
  }
  ~ConnectionCount() { --state.connections; }
  ConnectionCount(const ConnectionCount&) = delete;
  ConnectionCount& operator=(const ConnectionCount&) = delete;
};

// Clients write a command, a chunk length and the chunk apart (an ICAP
// head, chunk-size lines, chunks); with Nagle's algorithm on their side each
// small write waits for the ACK of the one before, which a delayed ACK holds
// back for milliseconds. Linux turns quick ACKs off again by itself, so they
// are asked for each time a TCP connection waits for more of a message it
// has begun to read (a reply, sent at once otherwise, carries the ACK).
inline void AskQuickAck(int descriptor) {
  const int on = 1;
  setsockopt(descriptor, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
}

// A connection's unread bytes, bytes[start, end): a protocol reader takes
// them from the front, a read adds after them.
template <size_t Size>
struct ReadBuffer {
  std::array<uint8_t, Size> bytes;  // not cleared: only what was read is looked at
  size_t start = 0;
  size_t end = 0;
  bool readBefore = false;  // a read took bytes on this connection
  // Whether the next read tries the socket before it waits: a client sends
  // its request as it connects, and one that filled the room it had has
  // likely sent more. After a read that found nothing, a wait first costs
  // less than another such read.
  bool tryFirst = true;
  // Bytes read since this connection last went through the event loop: a
  // read that does not wait does not let other connections run, so a client
  // that keeps its socket full waits its turn once this passes
  // MaxReadWithoutWait.
  size_t readWithoutWait = 0;
};

// Another connection's request waits at most about this many bytes of a
// long stream's reading (a fraction of a millisecond) for its turn.
inline constexpr size_t MaxReadWithoutWait = size_t{1} << 20;

// Notes `count` bytes read into the `room` there was, and whether the
// next read may go without a wait.
template <size_t Size>
void NoteRead(ReadBuffer<Size>& in, size_t count, size_t room) {
  in.readBefore = true;
  in.readWithoutWait += count;
  in.tryFirst = count == room && in.readWithoutWait < MaxReadWithoutWait;
}

// Notes `count` bytes read into the `room` there was.
template <size_t Size>
void Took(ReadBuffer<Size>& in, size_t count, size_t room) {
  in.end += count;
  NoteRead(in, count, room);
}

// Sends what the socket takes at once, without waiting: the count sent
// (fewer than asked when its buffer is full), or -1 with errno set on a
// failure. A reply sent whole this way needs no deadline and no reactor.
inline ssize_t SendNow(int descriptor, std::span<const uint8_t> bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t count = send(descriptor, bytes.data() + sent, bytes.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (count >= 0) {
      sent += static_cast<size_t>(count);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) break;
    return -1;
  }
  return static_cast<ssize_t>(sent);
}

template <size_t Size>
std::span<const uint8_t> Unread(const ReadBuffer<Size>& in) {
  return {in.bytes.data() + in.start, in.end - in.start};
}

// Moves the unread bytes to the front; the room after them, empty when the
// buffer is full.
template <size_t Size>
std::span<uint8_t> MakeRoom(ReadBuffer<Size>& in) {
  if (in.start > 0) {
    std::memmove(in.bytes.data(), in.bytes.data() + in.start, in.end - in.start);
    in.end -= in.start;
    in.start = 0;
  }
  return {in.bytes.data() + in.end, Size - in.end};
}

// Where a read puts its bytes: after the unread ones in `in`, or, when
// `into` is not empty, there (a stream's bytes read straight where they
// are kept), counted in `taken`.
template <class Connection>
std::span<uint8_t> ReadRoom(Connection& connection, std::span<uint8_t> into) {
  return into.empty() ? MakeRoom(connection.in) : into;
}

// Notes `count` bytes read into the `room` ReadRoom gave.
template <class Connection>
void Landed(Connection& connection, size_t count, size_t room, std::span<uint8_t> into, size_t* taken) {
  if (into.empty()) {
    Took(connection.in, count, room);
  } else {
    *taken = count;
    NoteRead(connection.in, count, room);
  }
}

// For a connection record with a TCP `socket` and `in`: one read of what
// has arrived, without waiting. True when that ended the read (bytes taken,
// or `error` set: the end, a failure); false when nothing had arrived.
template <class Connection>
bool ReadArrivedTcp(Connection& connection, boost::system::error_code& error, std::span<uint8_t> into = {},
                    size_t* taken = nullptr) {
  const std::span<uint8_t> room = ReadRoom(connection, into);
  if (room.empty()) {
    error = asio::error::no_buffer_space;
    return true;
  }
  const ssize_t count = recv(connection.socket.native_handle(), room.data(), room.size(), MSG_DONTWAIT);
  if (count > 0) {
    Landed(connection, static_cast<size_t>(count), room.size(), into, taken);
    return true;
  }
  if (count == 0) {
    error = asio::error::eof;
    return true;
  }
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
    connection.in.tryFirst = false;
    return false;
  }
  error = boost::system::error_code(errno, boost::system::system_category());
  return true;
}

// The same, waiting for bytes when none have arrived: the quick ACK of
// what was read before is asked for as the wait begins.
template <class Connection>
asio::awaitable<void> WaitAndReadTcp(Connection& connection, boost::system::error_code& error,
                                     std::span<uint8_t> into = {}, size_t* taken = nullptr) {
  const std::span<uint8_t> room = ReadRoom(connection, into);
  if (room.empty()) {
    error = asio::error::no_buffer_space;
    co_return;
  }
  if (connection.in.readBefore) AskQuickAck(connection.socket.native_handle());
  connection.in.readWithoutWait = 0;  // its completion comes through the event loop
  const size_t count = co_await connection.socket.async_read_some(asio::buffer(room.data(), room.size()),
                                                                  asio::redirect_error(asio::use_awaitable, error));
  Landed(connection, count, room.size(), into, taken);
}

// Reads more bytes after the unread ones (or into `into`): at once when
// they have arrived (and tryFirst says to look), else once they come.
template <class Connection>
asio::awaitable<void> ReadMoreTcp(Connection& connection, boost::system::error_code& error,
                                  std::span<uint8_t> into = {}, size_t* taken = nullptr) {
  if (connection.in.tryFirst && ReadArrivedTcp(connection, error, into, taken)) co_return;
  co_await WaitAndReadTcp(connection, error, into, taken);
}

// Asks the reload thread for one more load of the database file.
void RequestReload(ServiceState& state);

// Jobs handed to the pool, waited for on the networking thread.
struct JobWait {
  explicit JobWait(asio::io_context& io) : timer(io) {}
  asio::steady_timer timer;
  size_t left = 0;
};
std::shared_ptr<JobWait> StartJobs(ServiceState& state, std::span<const std::shared_ptr<ScanJob>> jobs);
asio::awaitable<void> FinishJobs(std::shared_ptr<JobWait> wait);

// A stream as it arrives: in `memory` up to MemoryStreamBytes; past it,
// unless `feed` is off, scanned as it arrives (`scan`): gathered in
// `piece`, handed to a job once it reaches the bound while the next piece
// comes in (at most one piece in a job and one coming in: a client waits,
// unread, for the scan to catch up). The jobs keep the pieces in memory
// while the service's budget allows, or write them to the spool file.
// Once feeding ends (or without it), every byte is in `file`, written on
// the networking thread.
struct StreamSpool {
  std::vector<uint8_t> memory;
  Piece piece;
  std::vector<uint8_t> overflow;  // past the piece's room, until the next piece
  UniqueFd file;
  uint64_t bytes = 0;
  bool feed = true;
  std::shared_ptr<StreamScan> scan;
  std::shared_ptr<JobWait> feeding;  // the piece in a job
  std::string failure;               // a job's write that failed
};

// Where the stream's next bytes may be read straight to (the room of the
// piece coming in), or nothing; ReadIntoSpool counts what was put there.
std::span<uint8_t> SpoolRoom(StreamSpool& spool);
void ReadIntoSpool(StreamSpool& spool, size_t count);

// Keeps `bytes`, moving to a spool file at the bound; false with `error`
// set when the file cannot be opened or written (here or by a job).
bool SpoolBytes(StreamSpool& spool, std::span<const uint8_t> bytes, const ServiceOptions& options,
                std::string& error);

// Past the bound, hands the piece not fed yet to a job once it is whole
// (waiting for the piece before it first).
asio::awaitable<void> FeedStream(ServiceState& state, StreamSpool& spool);

// Ends the feeding, once the piece in a job is in: the file (or, for a
// short stream, `memory`) then holds every byte. False with `error` set
// when it cannot be written.
asio::awaitable<bool> SettleSpool(StreamSpool& spool, std::string& error);

// Gives the stream to `job` to scan and leaves `spool` empty: the memory
// moved, the scan fed so far with its last piece, or the file adopted from
// its start. With `share` the bytes stay reachable for sending back after
// the scan (the scan's pieces or file kept in `scan`, a duplicate of
// `file`). False with `error` set when the file cannot be looked at.
asio::awaitable<bool> HandOverStream(StreamSpool& spool, ScanJob& job, std::string& error, bool share = false);

// Logs each report of a finished job ("found") and each file it could not
// scan whole ("scan-error").
void LogResults(const std::string& peer, const ScanJob& job);

// Scans a small body kept in memory at once (ScanInline); hands any other
// job to the pool and waits, without holding the networking thread, until
// a worker has finished it.
asio::awaitable<void> RunJob(ServiceState& state, std::shared_ptr<ScanJob> job);
// The pool's part alone: for a caller that tried ScanInline itself, without
// a coroutine when it was enough.
asio::awaitable<void> RunInPool(ServiceState& state, std::shared_ptr<ScanJob> job);

// For a connection record with `socket`, `deadline` and `timedOut`: the
// watchdog cancels the socket's operations once the deadline passes. It
// wakes when the timer passes or is moved earlier; a deadline moved later
// or cleared meanwhile is waited for again.
template <class Connection>
asio::awaitable<void> Watchdog(std::shared_ptr<Connection> connection) {
  Deadline& deadline = connection->deadline;
  while (connection->socket.is_open()) {
    if (deadline.at <= Clock::now()) {
      connection->timedOut = true;
      boost::system::error_code ignored;
      connection->socket.cancel(ignored);
      deadline.at = Clock::time_point::max();
    }
    if (deadline.timer.expiry() != deadline.at) deadline.timer.expires_at(deadline.at);
    boost::system::error_code ignored;
    co_await deadline.timer.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
    if (deadline.stopped) co_return;
  }
}

template <class Connection>
void StartWatchdog(Deadline& deadline) {
  if (auto connection = std::static_pointer_cast<Connection>(deadline.owner.lock())) {
    asio::co_spawn(deadline.timer.get_executor(), Watchdog(std::move(connection)), asio::detached);
  }
}

// Ends the connection so that the client reads the last reply: closing a
// socket with unread bytes (a stream cut off at the size limit) would reset
// it and drop the reply. What the client still sends is read and dropped,
// for a short while.
// A connection whose client has closed its side, or (`finished`, on records
// that have it) whose last request was answered whole, with nothing unread
// is closed at once: no reset can come of it.
// ClosedAtOnce is that look, without a coroutine: true when it closed the
// connection, false when it is to be drained (DrainAndClose).
template <class Connection>
bool ClosedAtOnce(Connection& connection) {
  bool finished = false;
  if constexpr (requires { connection.finished; }) finished = connection.finished;
  uint8_t probe = 0;
  const ssize_t peeked = recv(connection.socket.native_handle(), &probe, 1, MSG_PEEK | MSG_DONTWAIT);
  if (peeked == 0 || (peeked < 0 && finished && (errno == EAGAIN || errno == EWOULDBLOCK))) {
    boost::system::error_code ignored;
    connection.socket.close(ignored);
    return true;
  }
  return false;
}

// The rest: shut down the sending side, drain, close.
template <class Connection>
asio::awaitable<void> DrainAndClose(Connection& connection) {
  using Socket = decltype(connection.socket);
  boost::system::error_code error;
  connection.socket.shutdown(Socket::shutdown_send, error);
  connection.deadline.After(LingerTime);
  std::array<uint8_t, 16384> sink;
  for (size_t dropped = 0; !error && dropped < LingerBytes;) {
    dropped += co_await connection.socket.async_read_some(asio::buffer(sink),
                                                          asio::redirect_error(asio::use_awaitable, error));
  }
  connection.socket.close(error);
}

template <class Connection>
asio::awaitable<void> LingeringClose(Connection& connection) {
  if (!ClosedAtOnce(connection)) co_await DrainAndClose(connection);
}

// Serves one connection record (`socket`, `deadline`, `timedOut`, `peer`):
// `converse`, then the lingering close, with a watchdog from the first
// deadline on; what the conversation throws is logged.
template <class Connection>
asio::awaitable<void> ServeConnection(ServiceState& state, std::shared_ptr<Connection> connection,
                                      asio::awaitable<void> (*converse)(ServiceState&, Connection&),
                                      std::string_view protocol) {
  const ConnectionCount count(state);
  connection->deadline.Clear();
  connection->deadline.owner = connection;
  connection->deadline.startWatchdog = &StartWatchdog<Connection>;
  try {
    co_await converse(state, *connection);
  } catch (const std::exception& failure) {
    Log("error", {{"client", connection->peer}, {"protocol", protocol}, {"reason", failure.what()}});
  }
  if (!ClosedAtOnce(*connection)) co_await DrainAndClose(*connection);
  connection->deadline.Stop();
}

}  // namespace veltor::service
