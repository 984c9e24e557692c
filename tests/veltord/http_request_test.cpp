// The HTTP request reader: the events a connection's bytes make, whatever
// pieces they arrive in (the unread bytes offered again with the next ones,
// as the service's read buffer does).
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "veltord/http_request.h"

namespace veltor::service {
namespace {

// Events as text: "HEAD:ROUTE[:ALLOW][:continue]", "BODY:...", "END:keep|close", "ERROR:STATUS".
std::string Head(HttpRoute route, std::string_view allow = {}, bool expectContinue = false) {
  std::string text = "HEAD:";
  text += std::to_string(static_cast<int>(route));
  if (!allow.empty()) text.append(":").append(allow);
  if (expectContinue) text += ":continue";
  return text;
}

std::string Error(unsigned status) {
  std::string text = "ERROR:";
  text += std::to_string(status);
  return text;
}

std::vector<std::string> Events(const std::string& wire, size_t piece) {
  HttpReader reader;
  reader.maxBody = 20;
  std::vector<std::string> events;
  std::string body;
  std::string unread;
  for (size_t at = 0; at < wire.size(); at += piece) {
    unread += wire.substr(at, piece);
    std::span<const uint8_t> input(reinterpret_cast<const uint8_t*>(unread.data()), unread.size());
    for (;;) {
      HttpEvent event = NextHttpEvent(reader, input);
      if (event.kind == HttpEventKind::NeedMore) break;
      if (event.kind == HttpEventKind::BodyBytes) {
        body.append(reinterpret_cast<const char*>(event.bytes.data()), event.bytes.size());
        continue;
      }
      if (!body.empty()) events.push_back("BODY:" + std::exchange(body, {}));
      if (event.kind == HttpEventKind::Head) {
        events.push_back(Head(event.route, event.allow, event.expectContinue));
      } else if (event.kind == HttpEventKind::BodyEnd) {
        events.push_back(event.keepAlive ? "END:keep" : "END:close");
      } else {
        events.push_back(Error(event.status));
        return events;
      }
    }
    unread.erase(0, unread.size() - input.size());
  }
  if (!body.empty()) events.push_back("BODY:" + body);
  if (HttpMidRequest(reader)) events.push_back("MID");
  return events;
}

TEST(HttpRequestReader, SameEventsWhateverThePieces) {
  const std::string scan = Head(HttpRoute::Scan);
  struct Case {
    std::string wire;
    std::vector<std::string> events;
  };
  const std::vector<Case> cases = {
      {"GET /v1/health HTTP/1.1\r\nHost: x\r\n\r\nGET /metrics?x=1 HTTP/1.0\r\n\r\n",
       {Head(HttpRoute::Health), "END:keep", Head(HttpRoute::Metrics), "END:close"}},
      {"POST /v1/scan HTTP/1.1\r\nContent-Length: 5\r\nExpect: 100-continue\r\n\r\nhelloGET /x HTTP/1.1\r\n\r\n",
       {Head(HttpRoute::Scan, {}, true), "BODY:hello", "END:keep", Head(HttpRoute::NotFound), "END:keep"}},
      {"PUT /v1/scan HTTP/1.1\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n3\r\nabc\r\n2;e=1\r\nde\r\n0\r\n\r\n",
       {scan, "BODY:abcde", "END:close"}},
      {"DELETE /v1/scan HTTP/1.1\r\n\r\n", {Head(HttpRoute::WrongMethod, "POST, PUT"), "END:keep"}},
      {"POST /v1/scan HTTP/1.1\r\nContent-Length: 21\r\n\r\n", {Error(413)}},
      {"POST /v1/scan HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n15\r\n", {scan, Error(413)}},
      {"POST /v1/scan HTTP/1.1\r\nContent-Length: 9\r\n\r\nabc", {scan, "BODY:abc", "MID"}},
      {"NOT HTTP\r\n\r\n", {Error(400)}},
      {"GET / HTTP/1.1\r\nContent-Length: x\r\n\r\n", {Error(400)}},
      {"GET / HTTP/1.1\r\n" + std::string(MaxHttpHead, 'a'), {Error(400)}},
  };
  for (const Case& c : cases) {
    for (const size_t piece : {c.wire.size(), size_t{1}, size_t{7}}) {
      EXPECT_EQ(Events(c.wire, piece), c.events) << c.wire.substr(0, 60) << " in pieces of " << piece;
    }
  }
}

TEST(HttpRequest, QueryValueDecodesTheFirstValueOfItsKey) {
  struct Case {
    std::string_view target;
    bool ok;
    std::string value;
  };
  const Case cases[] = {
      {"/v1/scan", true, ""},
      {"/v1/scan?name=a.zip", true, "a.zip"},
      {"/v1/scan?x=1&name=docs%2Fa+b%2bc.tar.gz&name=second", true, "docs/a b+c.tar.gz"},
      {"/v1/scan?names=x&name", true, ""},
      {"/v1/scan?name=%e9t%C3%A9", true, "\xe9t\xc3\xa9"},
      {"/v1/scan?name=%4", false, ""},
      {"/v1/scan?name=%zz", false, ""},
      {"/v1/scan?name=ok&other=%", true, "ok"},  // only its own value must be well formed
  };
  for (const Case& c : cases) {
    std::string value = "left over";
    EXPECT_EQ(QueryValue(c.target, "name", value), c.ok) << c.target;
    if (c.ok) {
      EXPECT_EQ(value, c.value) << c.target;
    }
  }
}

}  // namespace
}  // namespace veltor::service
