#include "veltord/icap_service.h"

#include <boost/asio.hpp>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "scanning/scan_text.h"
#include "veltord/icap_protocol.h"
#include "veltord/service_log.h"
#include "veltord/verdicts.h"

namespace veltor::service {
namespace {

using asio::awaitable;
using asio::redirect_error;
using asio::use_awaitable;
using boost::system::error_code;

constexpr size_t ReadBufferSize = 64 * 1024;
// How long a proxy may keep the OPTIONS answer.
constexpr unsigned OptionsTtlSeconds = 3600;
// The block an unmodified body is sent back in.
constexpr size_t EchoBlock = 256 * 1024;

struct Connection {
  Connection(asio::ip::tcp::socket&& accepted, asio::io_context& io) : socket(std::move(accepted)), deadline(io) {}
  asio::ip::tcp::socket socket;
  Deadline deadline;
  bool timedOut = false;
  ReadBuffer<ReadBufferSize> in;
  icap::Reader reader;
  std::string peer;
};

awaitable<bool> Send(Connection& connection, std::string_view text) {
  connection.deadline.After(WriteTimeout);
  error_code error;
  co_await asio::async_write(connection.socket, asio::buffer(text.data(), text.size()),
                             redirect_error(use_awaitable, error));
  connection.deadline.Clear();
  co_return !error;
}

// A body as it arrives: spooled whole when it may have to be sent back,
// and, when the HTTP message says gzip or deflate, decoded into the file
// that is scanned. Neither file passes max-stream unless the body must be
// returned unmodified and limits are accepted.
struct Body {
  StreamSpool raw;      // the body's bytes as they came
  StreamSpool decoded;  // the decoded bytes, when decoding
  const ServiceOptions* options = nullptr;  // where a long body is spooled
  bool keepRaw = false;
  bool echo = false;   // sent back unmodified when clean (no 204 allowed)
  bool decoding = false;
  bool deflate = false;  // Content-Encoding: deflate (zlib, or raw deflate)
  bool started = false;  // inflate initialised
  bool ended = false;    // the encoded stream ended
  z_stream zlib{};
  uint64_t rawBytes = 0;
  uint64_t decodedBytes = 0;
  uint64_t limit = 0;
  bool limitsOk = false;
  bool overLimit = false;
  std::string failure;  // why what is scanned is not the whole body (decoding, a write)
  Body() = default;
  Body(const Body&) = delete;
  Body& operator=(const Body&) = delete;
  ~Body() {
    if (started) inflateEnd(&zlib);
  }
};

void Decode(Body& body, std::span<const uint8_t> bytes) {
  if (!body.decoding || !body.failure.empty() || body.overLimit || bytes.empty()) return;
  if (!body.started) {
    // Content-Encoding: deflate is meant to be zlib data; some servers send
    // raw deflate. A zlib header is told by its check bits.
    int windowBits = 15 + 32;
    if (body.deflate && (bytes.size() < 2 || (bytes[0] & 0x0f) != 8 || ((bytes[0] << 8) | bytes[1]) % 31 != 0)) {
      windowBits = -15;
    }
    if (inflateInit2(&body.zlib, windowBits) != Z_OK) {
      body.failure = "cannot start decoding";
      return;
    }
    body.started = true;
  }
  std::array<uint8_t, 64 * 1024> out;
  body.zlib.next_in = const_cast<Bytef*>(bytes.data());
  body.zlib.avail_in = static_cast<uInt>(bytes.size());
  while (body.zlib.avail_in > 0) {
    if (body.ended) {
      // Another gzip member follows.
      if (body.deflate || inflateReset(&body.zlib) != Z_OK) {
        body.failure = "bytes after the end of the encoded body";
        return;
      }
      body.ended = false;
    }
    body.zlib.next_out = out.data();
    body.zlib.avail_out = static_cast<uInt>(out.size());
    const int status = inflate(&body.zlib, Z_NO_FLUSH);
    if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) {
      body.failure = std::string("the encoded body does not decode: ") + (body.zlib.msg ? body.zlib.msg : "damaged");
      return;
    }
    const size_t produced = out.size() - body.zlib.avail_out;
    if (body.decodedBytes + produced > body.limit) {
      body.overLimit = true;
      return;
    }
    if (!SpoolBytes(body.decoded, {out.data(), produced}, *body.options, body.failure)) return;
    body.decodedBytes += produced;
    if (status == Z_STREAM_END) body.ended = true;
    if (status == Z_BUF_ERROR && produced == 0) break;
  }
}

// Where a body chunk's next bytes may be read straight to: the room of the
// piece coming in, when the body is kept as it comes and not past the limit.
std::span<uint8_t> BodyRoom(Body& body, uint64_t chunkLeft) {
  if (body.decoding || !body.keepRaw || !body.failure.empty() || body.overLimit || body.rawBytes >= body.limit) {
    return {};
  }
  const std::span<uint8_t> room = SpoolRoom(body.raw);
  return room.first(static_cast<size_t>(std::min<uint64_t>({room.size(), chunkLeft, body.limit - body.rawBytes})));
}

void Take(Body& body, std::span<const uint8_t> bytes) {
  if (body.rawBytes + bytes.size() > body.limit) body.overLimit = true;
  body.rawBytes += bytes.size();
  // Past the limit the raw bytes are kept only to be sent back.
  if (body.keepRaw && body.failure.empty() && (!body.overLimit || (body.echo && body.limitsOk))) {
    SpoolBytes(body.raw, bytes, *body.options, body.failure);
  }
  Decode(body, bytes);
}

// The URL the HTTP request line names, for the log and the page.
std::string RequestUrl(const icap::Request& request) {
  const std::string_view head = request.requestHead;
  const std::string_view line = head.substr(0, head.find("\r\n"));
  const size_t space = line.find(' ');
  if (space == std::string_view::npos) return "";
  const std::string_view rest = line.substr(space + 1);
  return std::string(rest.substr(0, rest.find(' ')));
}

std::string CurrentIsTag(ServiceState& state) {
  const auto database = CurrentDatabase(state.databases);
  return icap::MakeIsTag(database->generation, database->buildTime);
}

// Sends the body back unmodified, re-chunked, from the spool (null: no body).
awaitable<bool> SendEcho(Connection& connection, const icap::Request& request, const std::string& istag,
                         const StreamSpool* body) {
  if (!co_await Send(connection, icap::EchoHead(request, istag, body != nullptr))) co_return false;
  if (body == nullptr) co_return true;
  // Where the body is: its file, the scan's file or pieces, or memory.
  int file = body->file.fd;
  std::vector<std::span<const uint8_t>> parts;
  if (file < 0 && body->scan) file = body->scan->spool.fd;
  if (file < 0 && body->scan) {
    for (const Piece& piece : body->scan->pieces) parts.push_back(piece.Used());
  } else if (file < 0) {
    parts.push_back(body->memory);
  }
  if (file >= 0) lseek(file, 0, SEEK_SET);
  std::vector<uint8_t> block(file >= 0 ? EchoBlock : 0);
  for (size_t part = 0, at = 0;;) {
    std::span<const uint8_t> piece;
    if (file < 0) {
      while (part < parts.size() && at == parts[part].size()) {
        ++part;
        at = 0;
      }
      if (part == parts.size()) break;
      piece = parts[part].subspan(at, std::min(EchoBlock, parts[part].size() - at));
      at += piece.size();
    } else {
      const ssize_t count = read(file, block.data(), block.size());
      if (count < 0 && errno == EINTR) continue;
      if (count > 0) piece = {block.data(), static_cast<size_t>(count)};
    }
    if (piece.empty()) break;
    std::string chunk = icap::ChunkHeader(piece.size());
    chunk.append(reinterpret_cast<const char*>(piece.data()), piece.size());
    chunk += "\r\n";
    if (!co_await Send(connection, chunk)) co_return false;
  }
  co_return co_await Send(connection, icap::LastChunk);
}

// One RESPMOD or REQMOD whose body is complete: the scan, the verdict and
// the reply. False when the connection is to end.
awaitable<bool> Answer(ServiceState& state, Connection& connection, const icap::Request& request, Body& body, bool ieof) {
  const std::string url = RequestUrl(request);
  const std::string name = url.empty() ? std::string("icap") : url;
  std::string threat;
  std::string unscanned;  // why the body was not scanned whole
  if (body.overLimit) {
    unscanned = "larger than max-stream (" + std::to_string(state.options.maxStream) + " bytes)";
    // Kept to be sent back: the file must hold all of it.
    std::string error;
    if (!co_await SettleSpool(body.raw, error)) {
      Log("error", {{"client", connection.peer}, {"reason", error}});
      co_await Send(connection, icap::StatusReply(500, CurrentIsTag(state), true));
      co_return false;
    }
  } else {
    StreamSpool& scanned = body.decoding ? body.decoded : body.raw;
    auto job = std::make_shared<ScanJob>();
    std::string error;
    // The raw body's memory comes back after the scan: it may be sent back.
    if (!co_await HandOverStream(scanned, *job, error, true)) {
      Log("error", {{"client", connection.peer}, {"reason", error}});
      co_await Send(connection, icap::StatusReply(500, CurrentIsTag(state), true));
      co_return false;
    }
    job->name = name;
    co_await RunJob(state, job);
    if (job->inMemory) scanned.memory = std::move(job->memory);
    LogResults(connection.peer, *job);
    const scanning::FileOutcome& outcome = job->results.front().second;
    const scanning::RuleReport* best = nullptr;
    for (const scanning::RuleReport& report : outcome.reports) {
      if (best == nullptr || report.level < best->level) best = &report;
    }
    if (best != nullptr) {
      threat = ShownRuleName(*best);
    } else {
      unscanned = ErrorReason(outcome);
      if (!body.failure.empty()) unscanned = body.failure;
    }
  }
  const std::string istag = CurrentIsTag(state);
  if (!threat.empty()) {
    // Semicolons and spaces would split the header's fields.
    std::string headerThreat = threat;
    for (char& c : headerThreat) {
      if (c == ';' || c == ' ' || c == '\t') c = '_';
    }
    co_return co_await Send(connection, icap::BlockReply(istag, "The content at " + name + " was blocked: it holds " +
                                                                    threat + ".", headerThreat));
  }
  if (!unscanned.empty()) {
    const bool pass = state.options.archives.limitsOk;
    Log("icap-unscanned", {{"client", connection.peer}, {"name", name}, {"reason", unscanned},
                           {"action", pass ? "passed (limits-ok)" : "blocked"}});
    if (!pass) {
      co_return co_await Send(connection, icap::BlockReply(istag, "The content at " + name +
                                                                      " was blocked: it could not be scanned whole (" +
                                                                      unscanned + ").", ""));
    }
  }
  if (request.allow204 || ieof) co_return co_await Send(connection, icap::StatusReply(204, istag, false));
  co_return co_await SendEcho(connection, request, istag, &body.raw);
}

// Sets up what a body needs.
void PrepareBody(ServiceState& state, const icap::Request& request, Body& body) {
  body.options = &state.options;
  body.limit = state.options.maxStream;
  body.limitsOk = state.options.archives.limitsOk;
  body.echo = !request.allow204;
  const std::string& head = request.body == icap::Section::ResBody ? request.responseHead : request.requestHead;
  const auto fields = icap::HttpFields(head);
  if (const auto encoding = icap::FieldValue(fields, "Content-Encoding")) {
    std::string lower(*encoding);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower == "gzip" || lower == "x-gzip" || lower == "deflate") {
      body.decoding = true;
      body.deflate = lower == "deflate";
    }
  }
  body.keepRaw = body.echo || !body.decoding;
  body.raw.feed = !body.decoding;  // only what is scanned is fed
}

awaitable<void> Converse(ServiceState& state, Connection& connection) {
  icap::Reader& reader = connection.reader;
  const auto readTimeout = std::chrono::seconds(state.options.readTimeoutSeconds);
  const auto idleTimeout = std::chrono::seconds(state.options.idleTimeoutSeconds);
  std::optional<icap::Request> request;
  std::unique_ptr<Body> body;
  for (;;) {
    std::span<const uint8_t> input = Unread(connection.in);
    const size_t before = input.size();
    icap::Event event = icap::NextEvent(reader, input);
    connection.in.start += before - input.size();
    switch (event.kind) {
      case icap::EventKind::NeedMore: {
        const bool middle = icap::MidMessage(reader);
        connection.deadline.After(middle ? readTimeout : idleTimeout);
        std::span<uint8_t> into;
        if (body && Unread(connection.in).empty()) into = BodyRoom(*body, icap::ChunkBytesLeft(reader));
        size_t taken = 0;
        error_code error;
        co_await ReadMoreTcp(connection, error, into, &taken);
        connection.deadline.Clear();
        if (!error && taken != 0) {
          icap::TakeChunkBytes(reader, taken);
          body->rawBytes += taken;
          ReadIntoSpool(body->raw, taken);
          co_await FeedStream(state, body->raw);
        }
        if (!error) break;
        if (!middle) co_return;  // the client is done, or idle too long
        const std::string reason = connection.timedOut ? "read timed out in the middle of a request"
                                   : error == asio::error::eof ? "the connection ended in the middle of a request"
                                                               : error.message();
        CountClientError(state, connection.timedOut ? ClientErrorKind::Timeout : ClientErrorKind::EndedEarly);
        Log("client-error", {{"client", connection.peer}, {"protocol", "icap"}, {"reason", reason}});
        connection.timedOut = false;
        if (error != asio::error::eof) co_await Send(connection, icap::StatusReply(400, CurrentIsTag(state), true));
        co_return;
      }
      case icap::EventKind::Error:
        CountClientError(state, ClientErrorKind::Malformed);
        Log("client-error", {{"client", connection.peer}, {"protocol", "icap"}, {"reason", event.reason}});
        co_await Send(connection, icap::StatusReply(400, CurrentIsTag(state), true));
        co_return;
      case icap::EventKind::Request: {
        const std::string istag = CurrentIsTag(state);
        if (event.request.service != icap::ServiceName) {
          Log("client-error", {{"client", connection.peer}, {"protocol", "icap"},
                               {"reason", "no such service: " + event.request.service}});
          co_await Send(connection, icap::StatusReply(404, istag, true));
          co_return;
        }
        if (event.request.method == icap::Method::Other) {
          Log("client-error", {{"client", connection.peer}, {"protocol", "icap"},
                               {"reason", "method not served: " + event.request.methodText}});
          co_await Send(connection, icap::StatusReply(405, istag, true));
          co_return;
        }
        const bool close = icap::FieldValue(event.request.headers, "Connection").value_or("") == "close";
        if (event.request.method == icap::Method::Options) {
          icap::OptionsInfo info;
          info.istag = istag;
          info.service = std::string("Veltor ") + VELTOR_VERSION;
          info.maxConnections = state.options.maxConnections;
          info.ttlSeconds = OptionsTtlSeconds;
          info.preview = state.options.icapPreview;
          info.transferIgnore = state.options.icapTransferIgnore;
          if (!co_await Send(connection, icap::OptionsReply(info)) || close) co_return;
          break;
        }
        if (!event.request.body) {
          // Headers alone: nothing to scan.
          const bool sent = event.request.allow204
                                ? co_await Send(connection, icap::StatusReply(204, istag, false))
                                : co_await SendEcho(connection, event.request, istag, nullptr);
          if (!sent || close) co_return;
          break;
        }
        body = std::make_unique<Body>();
        PrepareBody(state, event.request, *body);
        request = std::move(event.request);
        break;
      }
      case icap::EventKind::BodyBytes:
        Take(*body, event.bytes);
        co_await FeedStream(state, body->decoding ? body->decoded : body->raw);
        break;
      case icap::EventKind::PreviewEnd:
        if (!co_await Send(connection, icap::StatusReply(100, "", false))) co_return;
        icap::ContinueBody(reader);
        break;
      case icap::EventKind::BodyEnd: {
        if (body->decoding && body->failure.empty() && !body->overLimit && body->rawBytes > 0 && !body->ended) {
          body->failure = "the encoded body ends early";
        }
        const bool close = icap::FieldValue(request->headers, "Connection").value_or("") == "close";
        const bool sent = co_await Answer(state, connection, *request, *body, event.ieof);
        body.reset();
        request.reset();
        if (!sent || close) co_return;
        break;
      }
    }
  }
}

}  // namespace

std::string_view IcapTooManyConnections() {
  static const std::string refusal = icap::StatusReply(503, "\"VT-busy\"", true);
  return refusal;
}

awaitable<void> ServeIcap(ServiceState& state, asio::ip::tcp::socket socket, std::string peer) {
  auto connection = std::make_shared<Connection>(std::move(socket), state.io);
  connection->peer = std::move(peer);
  co_await ServeConnection(state, std::move(connection), &Converse, "icap");
}

}  // namespace veltor::service
