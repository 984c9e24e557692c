#include "veltord/http_request.h"

#include <boost/beast/http/error.hpp>

namespace veltor::service {
namespace {

namespace http = boost::beast::http;
using boost::system::error_code;

struct RouteEntry {
  std::string_view path;
  http::verb method;
  std::string_view methodName;
  HttpRoute route;
};

constexpr RouteEntry Routes[] = {
    // PUT too: an upload (curl -T) is a PUT.
    {"/v1/scan", http::verb::post, "POST, PUT", HttpRoute::Scan},
    {"/v1/scan", http::verb::put, "POST, PUT", HttpRoute::Scan},
    {"/v1/health", http::verb::get, "GET", HttpRoute::Health},
    {"/v1/version", http::verb::get, "GET", HttpRoute::Version},
    {"/metrics", http::verb::get, "GET", HttpRoute::Metrics},
};

HttpEvent Failed(const HttpReader& reader) {
  HttpEvent event;
  event.kind = HttpEventKind::Error;
  event.status = reader.failedStatus;
  event.reason = reader.failedReason;
  return event;
}

HttpEvent Failure(HttpReader& reader, const error_code& error) {
  HttpEvent event;
  if (error == http::error::body_limit) {
    event.status = 413;
    event.reason = "the body is larger than max-stream (" + std::to_string(reader.maxBody) + " bytes)";
  } else if (error == http::error::header_limit) {
    event.status = 400;
    event.reason = "the request head is longer than " + std::to_string(MaxHttpHead) + " bytes";
  } else {
    event.status = 400;
    event.reason = "malformed request: " + error.message();
  }
  reader.failedStatus = event.status;
  reader.failedReason = std::move(event.reason);
  reader.parser.reset();
  return Failed(reader);
}

}  // namespace

HttpRoute RouteFor(http::verb method, std::string_view target, std::string_view& allow) {
  const std::string_view path = target.substr(0, target.find('?'));
  allow = {};
  for (const RouteEntry& entry : Routes) {
    if (entry.path != path) continue;
    allow = entry.methodName;
    if (entry.method == method) {
      allow = {};
      return entry.route;
    }
  }
  return allow.empty() ? HttpRoute::NotFound : HttpRoute::WrongMethod;
}

bool QueryValue(std::string_view target, std::string_view key, std::string& value) {
  value.clear();
  const size_t mark = target.find('?');
  if (mark == std::string_view::npos) return true;
  std::string_view query = target.substr(mark + 1);
  while (!query.empty()) {
    const size_t end = query.find('&');
    const std::string_view pair = query.substr(0, end);
    query = end == std::string_view::npos ? std::string_view{} : query.substr(end + 1);
    const size_t equals = pair.find('=');
    if (pair.substr(0, equals) != key) continue;
    const std::string_view raw = equals == std::string_view::npos ? std::string_view{} : pair.substr(equals + 1);
    for (size_t at = 0; at < raw.size(); ++at) {
      if (raw[at] == '+') {
        value += ' ';
      } else if (raw[at] != '%') {
        value += raw[at];
      } else {
        const auto digit = [](char c) {
          return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        };
        const int high = at + 2 < raw.size() ? digit(raw[at + 1]) : -1;
        const int low = high >= 0 ? digit(raw[at + 2]) : -1;
        if (low < 0) return false;
        value += static_cast<char>(high * 16 + low);
        at += 2;
      }
    }
    return true;
  }
  return true;
}

bool HttpMidRequest(const HttpReader& reader) { return reader.parser && reader.parser->got_some(); }

HttpEvent NextHttpEvent(HttpReader& reader, std::span<const uint8_t>& input) {
  if (reader.failedStatus != 0) return Failed(reader);
  if (!reader.parser) {
    if (input.empty()) return {};
    reader.parser.emplace();
    reader.parser->header_limit(MaxHttpHead);
    reader.parser->body_limit(reader.maxBody);
  }
  HttpParser& parser = *reader.parser;
  error_code error;
  if (!parser.is_header_done()) {
    // The start line, then the fields: each step takes its bytes once they
    // are whole.
    while (!parser.is_header_done()) {
      if (input.empty()) return {};
      const size_t used = parser.put(boost::asio::const_buffer(input.data(), input.size()), error);
      input = input.subspan(used);
      if (error == http::error::need_more) return {};
      if (error) return Failure(reader, error);
    }
    const auto& request = parser.get();
    HttpEvent event;
    event.kind = HttpEventKind::Head;
    const auto target = request.target();
    event.route = RouteFor(request.method(), std::string_view(target.data(), target.size()), event.allow);
    event.version = request.version() == 10 ? 10 : 11;
    if (event.route == HttpRoute::Scan &&
        !QueryValue(std::string_view(target.data(), target.size()), "name", event.name)) {
      reader.failedStatus = 400;
      reader.failedReason = "malformed request: a bad %-escape in the name parameter";
      reader.parser.reset();
      return Failed(reader);
    }
    const auto expect = request.find(http::field::expect);
    event.expectContinue = expect != request.end() && boost::beast::iequals(expect->value(), "100-continue");
    return event;
  }
  for (;;) {
    if (parser.is_done()) {
      HttpEvent event;
      event.kind = HttpEventKind::BodyEnd;
      event.keepAlive = parser.keep_alive();
      reader.parser.reset();
      return event;
    }
    if (input.empty()) return {};
    auto& body = parser.get().body();
    body.data = reader.piece->data();
    body.size = reader.piece->size();
    const size_t used = parser.put(boost::asio::const_buffer(input.data(), input.size()), error);
    input = input.subspan(used);
    const size_t written = reader.piece->size() - body.size;
    body.data = nullptr;
    body.size = 0;
    if (error == http::error::need_buffer) error = {};
    if (error && error != http::error::need_more) return Failure(reader, error);
    if (written > 0) {
      HttpEvent event;
      event.kind = HttpEventKind::BodyBytes;
      event.bytes = std::span<const uint8_t>(reader.piece->data(), written);
      return event;
    }
    if (error == http::error::need_more || used == 0) {
      if (parser.is_done()) continue;
      return {};
    }
  }
}

}  // namespace veltor::service
