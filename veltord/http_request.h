#pragma once
// veltord's HTTP entry without sockets: bytes in; request heads with the
// route they ask for, body bytes, ends and errors out. Boost.Beast parses
// (Content-Length and chunked bodies); a body is handed over piece by piece
// as it arrives, never held whole. The service and the fuzz target drive it
// alike.
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include <boost/beast/http/buffer_body.hpp>
#include <boost/beast/http/parser.hpp>

namespace veltor::service {

// The longest request head (request line and fields) read.
inline constexpr uint32_t MaxHttpHead = 16 * 1024;
// Body bytes handed over per event at most.
inline constexpr size_t HttpBodyPiece = 64 * 1024;

enum class HttpRoute : uint8_t { Scan, Health, Version, Metrics, NotFound, WrongMethod };

enum class HttpEventKind : uint8_t {
  NeedMore,   // read more bytes after the ones left in `input`
  Head,       // a request's head: its route
  BodyBytes,  // the next piece of its body
  BodyEnd,    // the request is whole: answer it
  Error,      // malformed or too large: answer `status` and close
};

struct HttpEvent {
  HttpEventKind kind = HttpEventKind::NeedMore;
  HttpRoute route = HttpRoute::NotFound;  // Head
  std::string_view allow;                 // Head, WrongMethod: the method the path takes
  unsigned version = 11;                  // Head: 10 or 11, for the reply
  std::string name;                       // Head: the target's `name` query parameter, decoded ("" if none)
  bool expectContinue = false;            // Head: the client waits for "100 Continue"
  bool keepAlive = false;                 // BodyEnd: another request may follow
  std::span<const uint8_t> bytes;         // BodyBytes: valid until the next call
  unsigned status = 0;                    // Error: 400 or 413
  std::string reason;                     // Error
};

using HttpParser = boost::beast::http::request_parser<boost::beast::http::buffer_body>;

struct HttpReader {
  uint64_t maxBody = uint64_t{100} << 20;  // larger bodies are refused (413)
  std::optional<HttpParser> parser;        // the request under way; a new one per request
  std::unique_ptr<std::array<uint8_t, HttpBodyPiece>> piece = std::make_unique<std::array<uint8_t, HttpBodyPiece>>();
  unsigned failedStatus = 0;  // after an Error: its status and reason
  std::string failedReason;
};

// The next event from `input`, from whose front the bytes it used are
// removed. NeedMore may leave bytes in `input` (a head or chunk size not yet
// whole): they come again, with more after them, on the next call. After
// an Error every call gives the same error.
HttpEvent NextHttpEvent(HttpReader& reader, std::span<const uint8_t>& input);

// True between a request's first byte and its end.
bool HttpMidRequest(const HttpReader& reader);

// The route for a method and target ("/v1/scan?x" is "/v1/scan").
HttpRoute RouteFor(boost::beast::http::verb method, std::string_view target, std::string_view& allow);

// The first value of `key` in the target's query (after '?', pairs joined by
// '&', "%XX" and '+' decoded): true with `value` set, or with "" when the
// key is absent; false for a malformed "%" escape in that value.
bool QueryValue(std::string_view target, std::string_view key, std::string& value);

}  // namespace veltor::service
