#pragma once
// veltord's ICAP listener (RFC 3507): web proxies hand it every response
// (RESPMOD) and request body (REQMOD) at icap://HOST:PORT/veltor. Bodies
// are spooled as they arrive (decoded when the HTTP message says gzip or
// deflate) and scanned by the pool like INSTREAM streams; a detection is
// answered with an HTTP 403 page, a clean message with 204 or unmodified.
// Boost 1.74's coroutine support uses std::exchange without including it.
#include <utility>

#include <boost/asio.hpp>

#include <functional>
#include <memory>
#include <string>

#include "veltord/scan_pool.h"
#include "veltord/service_options.h"

namespace veltor::service {

// What the service lends its ICAP listener, all on the networking thread.
struct IcapHost {
  boost::asio::io_context& io;
  const ServiceOptions& options;
  DatabaseSet& databases;
  unsigned& connections;  // open connections, every listener's together
  // Hands a job to the pool; resumes once a worker has finished it.
  std::function<boost::asio::awaitable<void>(std::shared_ptr<ScanJob>)> runJob;
  // An anonymous spool file, or -1 with the reason.
  std::function<int(std::string&)> openSpool;
};

// Accepts ICAP connections until the acceptor is closed; one coroutine per
// connection, persistent until the client closes.
boost::asio::awaitable<void> IcapAcceptLoop(IcapHost& host, boost::asio::ip::tcp::acceptor& acceptor);

}  // namespace veltor::service
