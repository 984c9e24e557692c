#pragma once
// veltord's HTTP/JSON interface, on the networking thread beside the clamd
// protocol's listeners: POST /v1/scan (a body of any size, spooled as it
// arrives, then one scan job through the same pool), GET /v1/health,
// GET /v1/version and GET /metrics (Prometheus text). Requests are read by
// http_request.h; replies are written by Boost.Beast.
// Boost 1.74's coroutine support uses std::exchange without including it.
#include <utility>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <string>
#include <string_view>

#include "scanning/scan_report.h"
#include "veltord/service_state.h"

namespace veltor::service {

// Serves one connection, request after request while it is kept alive.
asio::awaitable<void> ServeHttp(ServiceState& state, asio::ip::tcp::socket socket, std::string peer);

// The whole reply a connection past max-connections gets (503).
std::string_view HttpTooManyConnections();

// The reply to a scan: its status (200 with or without reports; 422 when
// it could not be scanned whole, 500 when it failed) and its JSON, whose
// "results" are the lines `veltor scan --json` prints for the file.
struct ScanReply {
  unsigned status = 200;
  std::string json;
};
ScanReply ScanReplyFor(std::string_view name, const scanning::FileOutcome& outcome, uint64_t generation);

// GET /metrics: the counters in Prometheus's text format.
std::string MetricsText(ServiceState& state);

}  // namespace veltor::service
