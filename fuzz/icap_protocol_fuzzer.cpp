// Differential target for veltord's ICAP reader: the events (the requests
// with their encapsulated headers, the body's bytes, the preview's and the
// body's ends, the error) must be the same whether the bytes come whole,
// byte by byte, or in pieces whose size the first input byte chooses; the
// encapsulated headers never pass their limit, a failed reader stays
// failed, and every call takes bytes or returns an event. Any difference
// aborts.
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "veltord/icap_protocol.h"

using namespace veltor::service::icap;

namespace {

std::vector<std::string> Events(std::span<const uint8_t> wire, size_t piece) {
  Reader reader;
  std::vector<std::string> events;
  std::string bytes;
  for (size_t at = 0; at < wire.size(); at += piece) {
    std::span<const uint8_t> input = wire.subspan(at, std::min(piece, wire.size() - at));
    for (;;) {
      const size_t before = input.size();
      const Event event = NextEvent(reader, input);
      if (event.kind == EventKind::NeedMore) {
        if (!input.empty()) std::abort();
        break;
      }
      if (event.kind == EventKind::Error) {
        if (event.reason.empty()) std::abort();
        if (NextEvent(reader, input).kind != EventKind::Error) std::abort();
        events.push_back(bytes);
        events.push_back("error " + std::string(event.reason));
        return events;
      }
      if (event.kind == EventKind::BodyBytes) {
        if (event.bytes.empty() || input.size() == before) std::abort();
        bytes.append(reinterpret_cast<const char*>(event.bytes.data()), event.bytes.size());
        continue;
      }
      events.push_back(bytes);
      bytes.clear();
      if (event.kind == EventKind::Request) {
        const Request& request = event.request;
        if (request.requestHead.size() + request.responseHead.size() > MaxHttpHeadBytes) std::abort();
        std::string text = request.methodText + " " + request.uri + " " + request.service + " " +
                           std::to_string(request.headers.size()) + " " + request.requestHead + "|" +
                           request.responseHead + (request.body ? " body" : "") + (request.allow204 ? " 204" : "");
        if (request.preview) text += " preview " + std::to_string(*request.preview);
        events.push_back(text);
      } else if (event.kind == EventKind::PreviewEnd) {
        events.push_back("preview");
        ContinueBody(reader);
      } else {
        events.push_back(event.ieof ? "end ieof" : "end");
      }
    }
  }
  events.push_back(bytes);
  events.push_back(MidMessage(reader) ? "mid" : "idle");
  return events;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return veltor::fuzz::CheckSameWhateverThePieces(data, size, Events, std::equal_to<>{});
}
