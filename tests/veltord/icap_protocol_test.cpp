// The ICAP reader: the events a connection's bytes make, whatever pieces
// the bytes arrive in, and the malformed requests it refuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "veltord/icap_protocol.h"

namespace veltor::service::icap {
namespace {

// Events as text: "REQ:METHOD:SERVICE:reqhead|reshead", "BYTES:...",
// "PREVIEW", "END" or "END:ieof", "ERROR"; a 100 Continue after each preview.
// With `direct`, a piece that begins inside a body chunk gives its chunk
// bytes by TakeChunkBytes, as the service reads them straight where a body
// is kept.
std::vector<std::string> Events(const std::string& wire, size_t piece, bool direct = false) {
  Reader reader;
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
      if (event.kind == EventKind::BodyBytes) {
        bytes.append(reinterpret_cast<const char*>(event.bytes.data()), event.bytes.size());
        continue;
      }
      if (!bytes.empty()) events.push_back("BYTES:" + std::exchange(bytes, {}));
      switch (event.kind) {
        case EventKind::Request:
          events.push_back("REQ:" + event.request.methodText + ":" + event.request.service + ":" +
                           event.request.requestHead + "|" + event.request.responseHead +
                           (event.request.allow204 ? ":204" : ""));
          break;
        case EventKind::PreviewEnd:
          events.push_back("PREVIEW");
          ContinueBody(reader);
          break;
        case EventKind::BodyEnd: events.push_back(event.ieof ? "END:ieof" : "END"); break;
        default: events.push_back("ERROR"); return events;
      }
    }
  }
  if (!bytes.empty()) events.push_back("BYTES:" + bytes);
  if (MidMessage(reader)) events.push_back("MID");
  return events;
}

const std::string Req = "GET /x HTTP/1.1\r\nHost: o\r\n\r\n";   // 28 bytes
const std::string Res = "HTTP/1.1 200 OK\r\n\r\n";              // 19 bytes

std::string Respmod(const std::string& extra, const std::string& encapsulated) {
  return "RESPMOD icap://127.0.0.1:1344/veltor ICAP/1.0\r\nHost: 127.0.0.1\r\n" + extra + "Encapsulated: " +
         encapsulated + "\r\n\r\n";
}

TEST(IcapReader, SameEventsWhateverThePieces) {
  struct Case {
    std::string wire;
    std::vector<std::string> events;
  };
  const std::string reqRes = "REQ:RESPMOD:veltor:" + Req + "|" + Res;
  const std::vector<Case> cases = {
      {"OPTIONS icap://h/veltor ICAP/1.0\r\n\r\n\r\nOPTIONS /veltor?x ICAP/1.0\r\nEncapsulated: null-body=0\r\n\r\n",
       {"REQ:OPTIONS:veltor:|", "REQ:OPTIONS:veltor:|"}},
      {Respmod("Allow: 204\r\n", "req-hdr=0, res-hdr=28, res-body=47") + Req + Res + "5\r\nhello\r\n6; x=y\r\n world\r\n0\r\n\r\n",
       {reqRes + ":204", "BYTES:hello world", "END"}},
      {Respmod("", "req-hdr=0, res-hdr=28, null-body=47") + Req + Res, {reqRes}},
      {"REQMOD icap://h/veltor ICAP/1.0\r\nEncapsulated: req-hdr=0, req-body=28\r\n\r\n" + Req + "3\r\nabc\r\n0\r\n\r\n",
       {"REQ:REQMOD:veltor:" + Req + "|", "BYTES:abc", "END"}},
      // Preview: without ieof the rest follows the 100 Continue; with ieof
      // the body ends in the preview.
      {Respmod("Preview: 4\r\n", "res-hdr=0, res-body=19") + Res + "4\r\nabcd\r\n0\r\n\r\n2\r\nef\r\n0\r\n\r\n",
       {"REQ:RESPMOD:veltor:|" + Res, "BYTES:abcd", "PREVIEW", "BYTES:ef", "END"}},
      {Respmod("Preview: 4\r\n", "res-hdr=0, res-body=19") + Res + "2\r\nab\r\n0; ieof\r\n\r\n",
       {"REQ:RESPMOD:veltor:|" + Res, "BYTES:ab", "END:ieof"}},
      {Respmod("", "res-hdr=0, res-body=19") + Res + "10\r\nabc", {"REQ:RESPMOD:veltor:|" + Res, "BYTES:abc", "MID"}},
      {"PUT icap://h/veltor ICAP/1.0\r\n\r\nanything", {"REQ:PUT:veltor:|", "ERROR"}},
      // Malformed: each ends the conversation.
      {Respmod("", "res-hdr=0, res-body=10") + Res, {"ERROR"}},             // an offset inside a block
      {Respmod("", "res-hdr=5, res-body=30") + Res, {"ERROR"}},             // not from 0
      {Respmod("", "res-hdr=0, res-body=0") + Res, {"ERROR"}},              // not rising
      {Respmod("", "res-body=0, res-hdr=19") + Res, {"ERROR"}},             // the body not last
      {Respmod("", "res-hdr=0, req-body=19") + Res, {"ERROR"}},             // req-body in RESPMOD
      {Respmod("", "res-hdr=0") + Res, {"ERROR"}},                          // no body part
      {Respmod("", "res-hdr=0, res-body=x") + Res, {"ERROR"}},
      {Respmod("", "res-hdr=0, res-body=99999999") + Res, {"ERROR"}},       // past the limit
      {Respmod("", "res-hdr=0, res-body=19") + Res + "3\r\nabcdef\r\n", {"REQ:RESPMOD:veltor:|" + Res, "BYTES:abc", "ERROR"}},
      {Respmod("", "res-hdr=0, res-body=19") + Res + "g\r\n", {"REQ:RESPMOD:veltor:|" + Res, "ERROR"}},
      {Respmod("", "res-hdr=0, res-body=19") + Res + "3\nabc", {"REQ:RESPMOD:veltor:|" + Res, "ERROR"}},
      {Respmod("", "res-hdr=0, res-body=19") + Res + "1000000000000000\r\n", {"REQ:RESPMOD:veltor:|" + Res, "ERROR"}},
      {Respmod("", "res-hdr=0, res-body=19") + Res + std::string(300, '1'), {"REQ:RESPMOD:veltor:|" + Res, "ERROR"}},
      {"RESPMOD icap://h/veltor ICAP/1.0\r\nHost: x\r\n\r\n", {"ERROR"}},   // no Encapsulated
      {"OPTIONS icap://h/veltor ICAP/1.0\nHost: x\n\n", {"ERROR"}},          // a missing CR
      {"OPTIONS icap://h/veltor HTTP/1.1\r\n\r\n", {"ERROR"}},
      {"OPTIONS veltor ICAP/1.0\r\n\r\n", {"ERROR"}},
      {"OPTIONS icap://h/veltor ICAP/1.0\r\nNo colon\r\n\r\n", {"ERROR"}},
      {"OPTIONS icap://h/veltor ICAP/1.0\r\nX: " + std::string(MaxHeadBytes, 'a'), {"ERROR"}},
  };
  for (const Case& c : cases) {
    for (const size_t piece : {c.wire.size() + 1, size_t{1}, size_t{7}}) {
      EXPECT_EQ(Events(c.wire, piece), c.events) << c.wire.substr(0, 200) << " in pieces of " << piece;
      EXPECT_EQ(Events(c.wire, piece, true), c.events) << "direct, in pieces of " << piece;
    }
  }
}

TEST(IcapReplies, CarryWhatProxiesRead) {
  const std::string istag = MakeIsTag(3, "Thu Dec  9 20:55:21 2026");
  EXPECT_NE(istag, MakeIsTag(4, "Thu Dec  9 20:55:21 2026"));
  EXPECT_LE(istag.size(), 34u);
  const std::string block = BlockReply(istag, "it holds <Rule&1>", "Rule&1");
  EXPECT_NE(block.find("X-Infection-Found: Type=0; Resolution=2; Threat=Rule&1;\r\n"), std::string::npos);
  EXPECT_NE(block.find("&lt;Rule&amp;1&gt;"), std::string::npos);
  // The Encapsulated offset names where the HTTP body starts.
  const size_t head = block.find("\r\n\r\n") + 4;
  const size_t offset = std::stoul(block.substr(block.find("res-body=") + 9));
  EXPECT_EQ(block.compare(head + offset - 4, 4, "\r\n\r\n"), 0);
  EXPECT_EQ(block.substr(block.size() - 5), "0\r\n\r\n");
  Request request;
  request.method = Method::ReqMod;
  request.requestHead = Req;
  EXPECT_NE(EchoHead(request, istag, true).find("Encapsulated: req-hdr=0, req-body=28\r\n\r\n" + Req), std::string::npos);
}

}  // namespace
}  // namespace veltor::service::icap
