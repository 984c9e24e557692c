// Differential target for veltord's clamd protocol reader: the events (the
// commands, the stream's bytes, the ends, the error) must be the same
// whether the bytes come whole, byte by byte, or in pieces whose size the
// first input byte chooses; a stream never passes its limit, a command
// never passes the longest line, and the reader always takes bytes or asks
// for more. Any difference aborts.
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "veltord/clamd_protocol.h"

using namespace veltor::service;

namespace {

constexpr uint64_t StreamLimit = 4096;

std::vector<std::string> Events(std::span<const uint8_t> wire, size_t piece) {
  ProtocolReader reader;
  reader.maxStream = StreamLimit;
  std::vector<std::string> events;
  std::string bytes;
  uint64_t streamed = 0;
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
        events.push_back(bytes);
        events.push_back("error " + std::to_string(static_cast<int>(event.error)));
        return events;
      }
      if (input.size() == before && event.kind != EventKind::StreamEnd && event.kind != EventKind::Command) std::abort();
      if (event.kind == EventKind::StreamBytes) {
        if (event.bytes.empty()) std::abort();
        streamed += event.bytes.size();
        if (streamed > StreamLimit) std::abort();
        bytes.append(reinterpret_cast<const char*>(event.bytes.data()), event.bytes.size());
        continue;
      }
      events.push_back(bytes);
      bytes.clear();
      if (event.kind == EventKind::StreamEnd) {
        streamed = 0;
        events.push_back("end");
      } else {
        if (event.command.argument.size() >= MaxCommandLine) std::abort();
        events.push_back(std::string(CommandText(event.command.name)) + " " +
                         std::to_string(static_cast<int>(event.command.delimiter)) + " " + event.command.argument);
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
