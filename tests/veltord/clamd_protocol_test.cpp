// The clamd protocol reader: the events a connection's bytes make, whatever
// pieces the bytes arrive in.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "veltord/clamd_protocol.h"

namespace veltor::service {
namespace {

// Events as text: "CMD:NAME:D:ARG", "BYTES:...", "END", "ERROR:N". With
// `direct`, a piece that begins inside a chunk gives its chunk bytes by
// TakeChunkBytes, as the service reads them straight where a stream is kept.
std::vector<std::string> Events(const std::string& wire, size_t piece, uint64_t maxStream = 1000,
                                bool direct = false) {
  ProtocolReader reader;
  reader.maxStream = maxStream;
  std::vector<std::string> events;
  std::string bytes;
  for (size_t at = 0; at < wire.size(); at += piece) {
    const std::string part = wire.substr(at, piece);
    std::span<const uint8_t> input(reinterpret_cast<const uint8_t*>(part.data()), part.size());
    if (const uint64_t left = ChunkBytesLeft(reader); direct && left != 0) {
      const size_t taken = static_cast<size_t>(std::min<uint64_t>(left, input.size()));
      bytes.append(reinterpret_cast<const char*>(input.data()), taken);
      input = input.subspan(taken);
      TakeChunkBytes(reader, taken);
    }
    for (;;) {
      const Event event = NextEvent(reader, input);
      if (event.kind == EventKind::NeedMore) break;
      if (event.kind == EventKind::StreamBytes) {
        bytes.append(reinterpret_cast<const char*>(event.bytes.data()), event.bytes.size());
        continue;
      }
      if (!bytes.empty()) events.push_back("BYTES:" + std::exchange(bytes, {}));
      if (event.kind == EventKind::Command) {
        events.push_back("CMD:" + std::string(CommandText(event.command.name)) + ":" +
                         std::to_string(static_cast<int>(event.command.delimiter)) + ":" + event.command.argument);
      } else if (event.kind == EventKind::StreamEnd) {
        events.push_back("END");
      } else {
        events.push_back("ERROR:" + std::to_string(static_cast<int>(event.error)));
        return events;
      }
    }
  }
  if (!bytes.empty()) events.push_back("BYTES:" + bytes);
  if (MidMessage(reader)) events.push_back("MID");
  return events;
}

std::string Chunk(const std::string& data) {
  const auto n = static_cast<uint32_t>(data.size());
  return std::string{static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
                     static_cast<char>(n)} + data;
}

using namespace std::string_literals;

TEST(ClamdProtocolReader, SameEventsWhateverThePieces) {
  struct Case {
    std::string wire;
    std::vector<std::string> events;
  };
  const std::vector<Case> cases = {
      {"zPING\0"s, {"CMD:PING:0:"}},
      {"nVERSION\r\n"s, {"CMD:VERSION:1:"}},
      {"PING\n"s, {"CMD:PING:2:"}},
      {"zSCAN /a b/c\0"s, {"CMD:SCAN:0:/a b/c"}},
      {"nSCAN /with\0nul\n"s, {"CMD:SCAN:1:/with\0nul"s}},
      {"\0\0zIDSESSION\0zPING\0\0zEND\0"s, {"CMD:IDSESSION:0:", "CMD:PING:0:", "CMD:END:0:"}},
      {"zINSTREAM\0"s + Chunk("hello ") + Chunk("world") + Chunk("") + "zPING\0"s,
       {"CMD:INSTREAM:0:", "BYTES:hello world", "END", "CMD:PING:0:"}},
      {"zINSTREAM\0"s + Chunk("abc"), {"CMD:INSTREAM:0:", "BYTES:abc", "MID"}},
      {"zINSTREAM\0\0\0"s, {"CMD:INSTREAM:0:", "MID"}},
      {"zPIN"s, {"MID"}},
      {"zFROB\0zPING\0"s, {"ERROR:1"}},
      {"zping\0"s, {"ERROR:1"}},
      {"z" + std::string(MaxCommandLine, 'A'), {"ERROR:2"}},
      {"zINSTREAM\0\xff\xff\xff\xff"s, {"CMD:INSTREAM:0:", "ERROR:3"}},
      {"zINSTREAM\0"s + Chunk(std::string(600, 'x')) + Chunk(std::string(401, 'y')),
       {"CMD:INSTREAM:0:", "BYTES:" + std::string(600, 'x'), "ERROR:3"}},
      {"zINSTREAM\0"s + Chunk(std::string(600, 'x')) + Chunk(std::string(400, 'y')) + Chunk(""),
       {"CMD:INSTREAM:0:", "BYTES:" + std::string(600, 'x') + std::string(400, 'y'), "END"}},
  };
  for (const Case& c : cases) {
    for (const size_t piece : {size_t{1}, size_t{2}, size_t{3}, size_t{7}, c.wire.size() + 1}) {
      EXPECT_EQ(Events(c.wire, piece), c.events) << "piece " << piece << " of " << c.wire.substr(0, 40);
      EXPECT_EQ(Events(c.wire, piece, 1000, true), c.events) << "direct, piece " << piece;
    }
  }
}

}  // namespace
}  // namespace veltor::service
