#include "veltord/http_service.h"

// Boost 1.74's coroutine support uses std::exchange without including it.
#include <utility>

#include <boost/asio.hpp>
#include <boost/beast/http.hpp>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "engine/text/windows1252.h"
#include "scanning/scan_text.h"
#include "veltord/http_request.h"
#include "veltord/service_log.h"
#include "veltord/verdicts.h"

namespace veltor::service {
namespace {

namespace http = boost::beast::http;
using asio::awaitable;
using asio::redirect_error;
using asio::use_awaitable;
using boost::system::error_code;
using TcpSocket = asio::ip::tcp::socket;

// A connection's unread bytes: a request head (MaxHttpHead) always fits.
constexpr size_t HttpReadBuffer = 64 * 1024;
static_assert(HttpReadBuffer > MaxHttpHead);

constexpr std::string_view TooManyConnectionsReply =
    "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\nContent-Length: 33\r\n"
    "Connection: close\r\n\r\n{\"error\":\"too many connections\"}\n";

struct HttpConnection {
  HttpConnection(TcpSocket&& accepted, asio::io_context& io) : socket(std::move(accepted)), deadline(io) {}
  TcpSocket socket;
  Deadline deadline;
  bool timedOut = false;
  ReadBuffer<HttpReadBuffer> in;
  std::string peer;
};

struct Reply {
  unsigned status = 200;
  std::string body;
  std::string_view contentType = "application/json";
  std::string_view allow;
};

Reply MakeReply(unsigned status, std::string body, std::string_view contentType = "application/json") {
  Reply reply;
  reply.status = status;
  reply.body = std::move(body);
  reply.contentType = contentType;
  return reply;
}

Reply JsonError(unsigned status, std::string_view reason) {
  return MakeReply(status, "{\"error\":" + scanning::JsonString(reason) + "}\n");
}

awaitable<bool> Write(HttpConnection& connection, const Reply& reply, unsigned version, bool keepAlive,
                      ServiceState& state) {
  http::response<http::string_body> response{static_cast<http::status>(reply.status), version};
  response.set(http::field::server, "veltord");
  const auto text = [](std::string_view value) { return boost::beast::string_view(value.data(), value.size()); };
  response.set(http::field::content_type, text(reply.contentType));
  if (!reply.allow.empty()) response.set(http::field::allow, text(reply.allow));
  response.keep_alive(keepAlive);
  response.body() = reply.body;
  response.prepare_payload();
  ++state.httpReplies[std::min<size_t>(reply.status, state.httpReplies.size() - 1)];
  connection.deadline.After(WriteTimeout);
  error_code error;
  co_await http::async_write(connection.socket, response, redirect_error(use_awaitable, error));
  connection.deadline.Clear();
  co_return !error;
}

// The body is reported under the `name` query parameter, as a file would
// be (what a compressed body unpacks to is named after it), else "stream".
awaitable<Reply> Scan(ServiceState& state, HttpConnection& connection, StreamSpool& stream, std::string name) {
  auto job = std::make_shared<ScanJob>();
  std::string error;
  if (!co_await HandOverStream(stream, *job, error)) co_return JsonError(500, error);
  job->name = name.empty() ? "stream" : std::move(name);
  co_await RunJob(state, job);
  LogResults(connection.peer, *job);
  ScanReply reply = ScanReplyFor(job->name, job->results.front().second, job->generation);
  co_return MakeReply(reply.status, std::move(reply.json));
}

std::string DatabaseJson(const LoadedDatabase& database) {
  return "{\"path\":" + scanning::JsonString(database.path) + ",\"buildTime\":" +
         scanning::JsonString(database.buildTime) + ",\"buildSeconds\":" + std::to_string(database.buildSeconds) +
         ",\"signatures\":" + std::to_string(database.signatures) + ",\"rules\":" + std::to_string(database.rules) +
         ",\"generation\":" + std::to_string(database.generation) + "}";
}

awaitable<Reply> Answer(ServiceState& state, HttpConnection& connection, HttpRoute route, std::string_view allow,
                        StreamSpool& stream, std::string name) {
  switch (route) {
    case HttpRoute::Scan: co_return co_await Scan(state, connection, stream, std::move(name));
    case HttpRoute::Health: {
      const auto database = CurrentDatabase(state.databases);
      if (!database) co_return MakeReply(503, "{\"status\":\"no database loaded\"}\n");
      const auto uptime = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - state.started).count();
      co_return MakeReply(200, "{\"status\":\"ok\",\"generation\":" + std::to_string(database->generation) +
                               ",\"uptimeSeconds\":" + std::to_string(uptime) + "}\n");
    }
    case HttpRoute::Version: {
      const auto database = CurrentDatabase(state.databases);
      if (!database) co_return MakeReply(503, "{\"status\":\"no database loaded\"}\n");
      co_return MakeReply(200, std::string("{\"version\":\"") + VELTOR_VERSION + "\",\"database\":" +
                               DatabaseJson(*database) + "}\n");
    }
    case HttpRoute::Metrics: co_return MakeReply(200, MetricsText(state), "text/plain; version=0.0.4; charset=utf-8");
    case HttpRoute::NotFound: co_return JsonError(404, "no such route");
    case HttpRoute::WrongMethod: {
      Reply reply = JsonError(405, "this route takes " + std::string(allow));
      reply.allow = allow;
      co_return reply;
    }
  }
  co_return JsonError(500, "unknown route");
}

// The conversation with one client: requests one after another while the
// connection is kept alive.
awaitable<void> Converse(ServiceState& state, HttpConnection& connection) {
  HttpReader reader;
  reader.maxBody = state.options.maxStream;
  const auto readTimeout = std::chrono::seconds(state.options.readTimeoutSeconds);
  const auto idleTimeout = std::chrono::seconds(state.options.idleTimeoutSeconds);
  HttpRoute route = HttpRoute::NotFound;
  std::string_view allow;
  unsigned version = 11;
  std::string name;
  StreamSpool stream;
  const auto fail = [&](unsigned status, const std::string& reason, ClientErrorKind kind) -> awaitable<void> {
    Log("client-error", {{"client", connection.peer}, {"reason", reason}});
    CountClientError(state, kind);
    co_await Write(connection, JsonError(status, reason), version, false, state);
  };
  for (;;) {
    std::span<const uint8_t> input = Unread(connection.in);
    const size_t before = input.size();
    HttpEvent event = NextHttpEvent(reader, input);
    connection.in.start += before - input.size();
    switch (event.kind) {
      case HttpEventKind::NeedMore: {
        const bool middle = HttpMidRequest(reader);
        connection.deadline.After(middle ? readTimeout : idleTimeout);
        error_code error;
        co_await ReadMoreTcp(connection, error);
        connection.deadline.Clear();
        if (!error) break;
        if (error == asio::error::no_buffer_space) {
          co_await fail(400, "a line of the request is too long", ClientErrorKind::Malformed);
        } else if (connection.timedOut) {
          if (!middle) co_return;  // an idle connection simply ends
          co_await fail(408, "read timed out in the middle of a request", ClientErrorKind::Timeout);
        } else if (error == asio::error::eof) {
          if (middle) {
            Log("client-error", {{"client", connection.peer}, {"reason", "the connection ended inside a request"}});
            CountClientError(state, ClientErrorKind::EndedEarly);
          }
        } else if (error != asio::error::operation_aborted) {
          Log("client-error", {{"client", connection.peer}, {"reason", error.message()}});
        }
        co_return;
      }
      case HttpEventKind::Error:
        co_await fail(event.status, event.reason,
                      event.status == 413 ? ClientErrorKind::SizeLimit : ClientErrorKind::Malformed);
        co_return;
      case HttpEventKind::Head: {
        route = event.route;
        allow = event.allow;
        version = event.version;
        name = std::move(event.name);
        stream = {};
        if (event.expectContinue) {
          connection.deadline.After(WriteTimeout);
          error_code error;
          static constexpr std::string_view Continue = "HTTP/1.1 100 Continue\r\n\r\n";
          co_await asio::async_write(connection.socket, asio::buffer(Continue), redirect_error(use_awaitable, error));
          connection.deadline.Clear();
          if (error) co_return;
        }
        break;
      }
      case HttpEventKind::BodyBytes: {
        if (route != HttpRoute::Scan) break;  // a body another route does not read
        std::string error;
        if (!SpoolBytes(stream, event.bytes, state.options, error)) {
          Log("error", {{"client", connection.peer}, {"reason", error}});
          co_await Write(connection, JsonError(500, error), version, false, state);
          co_return;
        }
        co_await FeedStream(state, stream);
        break;
      }
      case HttpEventKind::BodyEnd: {
        const Reply reply = co_await Answer(state, connection, route, allow, stream, std::exchange(name, {}));
        if (!co_await Write(connection, reply, version, event.keepAlive, state) || !event.keepAlive) co_return;
        break;
      }
    }
  }
}

void AppendMetric(std::string& out, std::string_view name, std::string_view type, std::string_view help) {
  out.append("# HELP ").append(name).append(" ").append(help).append("\n# TYPE ").append(name).append(" ");
  out.append(type).append("\n");
}

std::string Sample(std::string_view name, std::string_view labels, uint64_t value) {
  return std::string(name) + (labels.empty() ? "" : "{" + std::string(labels) + "}") + " " + std::to_string(value) +
         "\n";
}

// A label's value: backslash, quote and newline escaped.
std::string LabelValue(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out;
}

}  // namespace

std::string_view HttpTooManyConnections() { return TooManyConnectionsReply; }

ScanReply ScanReplyFor(std::string_view name, const scanning::FileOutcome& outcome, uint64_t generation) {
  ScanReply reply;
  std::string results;
  const std::string lines = scanning::FormatOutcome(name, outcome, {.json = true});
  for (size_t at = 0; at < lines.size();) {
    const size_t end = lines.find('\n', at);
    const size_t stop = end == std::string::npos ? lines.size() : end;
    if (stop > at) results += (results.empty() ? "" : ",") + lines.substr(at, stop - at);
    at = stop + 1;
  }
  const std::string reason = ErrorReason(outcome);
  std::string json = "{\"name\":" + scanning::JsonString(name);
  if (!outcome.reports.empty()) {
    const scanning::RuleReport& best = BestReport(outcome);
    json += ",\"verdict\":\"found\",\"rule\":" + scanning::JsonString(Utf8FromWindows1252(best.name)) +
            ",\"level\":" + std::to_string(best.level);
  } else if (reason.empty()) {
    json += ",\"verdict\":\"clean\"";
  } else {
    json += outcome.outcome == scanning::Outcome::Error ? ",\"verdict\":\"error\"" : ",\"verdict\":\"incomplete\"";
    reply.status = outcome.outcome == scanning::Outcome::Error ? 500 : 422;
  }
  if (!reason.empty()) json += ",\"incomplete\":true,\"error\":" + scanning::JsonString(reason);
  json += ",\"bytes\":" + std::to_string(outcome.bytes) + ",\"generation\":" + std::to_string(generation) +
          ",\"results\":[" + results + "]}\n";
  reply.json = std::move(json);
  return reply;
}

std::string MetricsText(ServiceState& state) {
  const PoolCounters& counters = state.pool.counters;
  std::string out;
  AppendMetric(out, "veltord_scans_total", "counter", "Files and streams scanned, over either protocol.");
  out += Sample("veltord_scans_total", "", counters.scans.load());
  AppendMetric(out, "veltord_scanned_bytes_total", "counter", "Bytes scanned, archive members counted unpacked.");
  out += Sample("veltord_scanned_bytes_total", "", counters.bytes.load());
  AppendMetric(out, "veltord_scans_with_reports_total", "counter", "Scans with at least one report.");
  out += Sample("veltord_scans_with_reports_total", "", counters.found.load());
  AppendMetric(out, "veltord_reports_total", "counter", "Reports, by level (0: any other).");
  for (const size_t level : {size_t{1}, size_t{2}, size_t{0}}) {
    out += Sample("veltord_reports_total", "level=\"" + std::to_string(level) + "\"", counters.reportsByLevel[level].load());
  }
  AppendMetric(out, "veltord_errors_total", "counter",
               "Scans not made whole (failed, incomplete, encrypted, damaged) and clients' errors, by kind.");
  static constexpr std::array<std::string_view, ScanErrorKinds> ScanKinds{"scan_failed", "incomplete", "encrypted",
                                                                          "damaged"};
  for (size_t kind = 0; kind < ScanErrorKinds; ++kind) {
    out += Sample("veltord_errors_total", "kind=\"" + std::string(ScanKinds[kind]) + "\"",
                  counters.errorsByKind[kind].load());
  }
  static constexpr std::array<std::string_view, ClientErrorKinds> ClientKinds{"malformed", "size_limit", "timeout",
                                                                              "ended_early"};
  for (size_t kind = 0; kind < ClientErrorKinds; ++kind) {
    out += Sample("veltord_errors_total", "kind=\"" + std::string(ClientKinds[kind]) + "\"", state.clientErrors[kind]);
  }
  out += Sample("veltord_errors_total", "kind=\"refused\"", state.connectionsRefused);
  AppendMetric(out, "veltord_scan_duration_seconds", "histogram", "Scan jobs from submission to their results.");
  uint64_t cumulative = 0;
  for (size_t bucket = 0; bucket <= LatencyBounds.size(); ++bucket) {
    cumulative += counters.latency[bucket].load();
    char bound[32];
    if (bucket < LatencyBounds.size()) {
      std::snprintf(bound, sizeof bound, "%g", LatencyBounds[bucket]);
    } else {
      std::snprintf(bound, sizeof bound, "+Inf");
    }
    out += Sample("veltord_scan_duration_seconds_bucket", "le=\"" + std::string(bound) + "\"", cumulative);
  }
  char sum[64];
  std::snprintf(sum, sizeof sum, "%.6f", static_cast<double>(counters.latencyMicroseconds.load()) / 1e6);
  out += "veltord_scan_duration_seconds_sum " + std::string(sum) + "\n";
  out += Sample("veltord_scan_duration_seconds_count", "", cumulative);
  AppendMetric(out, "veltord_reloads_total", "counter", "Database reloads, by result.");
  out += Sample("veltord_reloads_total", "result=\"ok\"", state.reloads.load());
  out += Sample("veltord_reloads_total", "result=\"failed\"", state.reloadFailures.load());
  AppendMetric(out, "veltord_connections", "gauge", "Connections open now, both protocols.");
  out += Sample("veltord_connections", "", state.connections);
  AppendMetric(out, "veltord_http_responses_total", "counter", "HTTP replies, by status.");
  for (size_t status = 0; status < state.httpReplies.size(); ++status) {
    if (state.httpReplies[status] != 0) {
      out += Sample("veltord_http_responses_total", "code=\"" + std::to_string(status) + "\"", state.httpReplies[status]);
    }
  }
  if (const auto database = CurrentDatabase(state.databases)) {
    AppendMetric(out, "veltord_database_info", "gauge", "The database in use.");
    out += Sample("veltord_database_info",
                  "path=\"" + LabelValue(database->path) + "\",built=\"" + LabelValue(database->buildTime) +
                      "\",generation=\"" + std::to_string(database->generation) + "\"",
                  1);
    AppendMetric(out, "veltord_database_build_time_seconds", "gauge", "When the database in use was built.");
    out += "veltord_database_build_time_seconds " + std::to_string(database->buildSeconds) + "\n";
    AppendMetric(out, "veltord_database_rules", "gauge", "Rules in the database in use.");
    out += Sample("veltord_database_rules", "", database->rules);
    AppendMetric(out, "veltord_database_signatures", "gauge", "Signatures in the database in use.");
    out += Sample("veltord_database_signatures", "", database->signatures);
  }
  return out;
}

awaitable<void> ServeHttp(ServiceState& state, TcpSocket socket, std::string peer) {
  auto connection = std::make_shared<HttpConnection>(std::move(socket), state.io);
  connection->peer = std::move(peer);
  co_await ServeConnection(state, std::move(connection), &Converse, "http");
}

}  // namespace veltor::service
