#pragma once
// veltord's ICAP listener (RFC 3507): web proxies hand it every response
// (RESPMOD) and request body (REQMOD) at icap://HOST:PORT/veltor. Bodies
// are spooled as they arrive (decoded when the HTTP message says gzip or
// deflate) and scanned by the pool like INSTREAM streams; a detection is
// answered with an HTTP 403 page, a clean message with 204 or unmodified.
// Boost 1.74's coroutine support uses std::exchange without including it.
#include <utility>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <string>
#include <string_view>

#include "veltord/service_state.h"

namespace veltor::service {

// Serves one ICAP connection, request after request until the client
// closes it.
asio::awaitable<void> ServeIcap(ServiceState& state, asio::ip::tcp::socket socket, std::string peer);

// The whole reply a connection past max-connections gets (503).
std::string_view IcapTooManyConnections();

}  // namespace veltor::service
