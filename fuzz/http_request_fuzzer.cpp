// Differential target for veltord's HTTP entry (veltord/http_request.h, the
// request reader the service drives): the heads with their routes, each
// request's body, the ends and the error must be the same whether the bytes
// come whole, byte by byte, or in pieces whose size the first input byte
// chooses, each call getting what is left unread plus the new bytes, as the
// service's read buffer does. A body never passes its limit, a piece is
// never empty or longer than HttpBodyPiece, an error stays, and the reader
// always takes bytes, gives an event or asks for more. Any difference aborts,
// but one: the parser finds some malformed heads and chunk lines as soon as
// it has the bytes at once, and otherwise once the head is whole, so a run
// may end waiting in the middle of a request where another found a 400.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "veltord/http_request.h"

using namespace veltor::service;

namespace {

constexpr uint64_t BodyLimit = 1000;

std::vector<std::string> Events(std::span<const uint8_t> wire, size_t piece) {
  HttpReader reader;
  reader.maxBody = BodyLimit;
  std::vector<std::string> events;
  std::vector<uint8_t> unread;
  std::string body;
  for (size_t at = 0; at < wire.size(); at += piece) {
    const auto next = wire.subspan(at, std::min(piece, wire.size() - at));
    unread.insert(unread.end(), next.begin(), next.end());
    std::span<const uint8_t> input(unread);
    for (size_t calls = 0;; ++calls) {
      if (calls > 2 * wire.size() + 16) std::abort();  // no progress
      const size_t before = input.size();
      HttpEvent event = NextHttpEvent(reader, input);
      if (input.size() > before) std::abort();
      if (event.kind == HttpEventKind::NeedMore) break;
      if (event.kind == HttpEventKind::Error) {
        const HttpEvent again = NextHttpEvent(reader, input);
        if (again.kind != HttpEventKind::Error || again.status != event.status || again.reason != event.reason) {
          std::abort();
        }
        if (event.status != 400 && event.status != 413) std::abort();
        events.push_back(body);
        events.push_back("error " + std::to_string(event.status) + " " + event.reason);
        return events;
      }
      if (event.kind == HttpEventKind::BodyBytes) {
        if (event.bytes.empty() || event.bytes.size() > HttpBodyPiece) std::abort();
        body.append(reinterpret_cast<const char*>(event.bytes.data()), event.bytes.size());
        if (body.size() > BodyLimit) std::abort();
        continue;
      }
      if (event.kind == HttpEventKind::Head) {
        if (!body.empty()) std::abort();
        if ((event.route == HttpRoute::WrongMethod) == event.allow.empty()) std::abort();
        events.push_back("head " + std::to_string(static_cast<int>(event.route)) + " " +
                         std::to_string(event.version) + (event.expectContinue ? " continue" : ""));
      } else {
        events.push_back(body);
        body.clear();
        events.push_back(event.keepAlive ? "end keep-alive" : "end close");
      }
    }
    unread.erase(unread.begin(), unread.end() - static_cast<std::ptrdiff_t>(input.size()));
  }
  events.push_back(body);
  events.push_back(HttpMidRequest(reader) ? "mid" : "idle");
  return events;
}

bool Same(const std::vector<std::string>& one, const std::vector<std::string>& other) {
  if (one == other) return true;
  if (one.size() != other.size() || !std::equal(one.begin(), one.end() - 1, other.begin())) return false;
  const auto foundLater = [](const std::string& mid, const std::string& error) {
    return mid == "mid" && error.rfind("error 400 ", 0) == 0;
  };
  return foundLater(one.back(), other.back()) || foundLater(other.back(), one.back());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return veltor::fuzz::CheckSameWhateverThePieces(data, size, Events, Same);
}
