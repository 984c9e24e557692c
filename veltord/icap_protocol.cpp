#include "veltord/icap_protocol.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace veltor::service::icap {
namespace {

constexpr std::string_view Crlf = "\r\n";

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameWord(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return Lower(x) == Lower(y); });
}

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

std::optional<uint64_t> Decimal(std::string_view text, uint64_t limit) {
  if (text.empty() || text.size() > 18) return std::nullopt;
  uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  if (value > limit) return std::nullopt;
  return value;
}

bool IsTokenChar(char c) {
  return c > ' ' && c < 127 && c != ':' && c != '(' && c != ')' && c != '<' && c != '>' && c != '@' && c != ',' &&
         c != ';' && c != '\\' && c != '"' && c != '/' && c != '[' && c != ']' && c != '?' && c != '=' && c != '{' &&
         c != '}';
}

struct SectionName {
  std::string_view text;
  Section section;
};
constexpr std::array<SectionName, 6> SectionNames{{
    {"req-hdr", Section::ReqHdr},
    {"res-hdr", Section::ResHdr},
    {"req-body", Section::ReqBody},
    {"res-body", Section::ResBody},
    {"null-body", Section::NullBody},
    {"opt-body", Section::OptBody},
}};

bool IsBody(Section section) { return section >= Section::ReqBody; }

Event Fail(Reader& reader, std::string_view reason) {
  reader.state = Reader::State::Failed;
  reader.failure = reason;
  reader.buffer.clear();
  Event event;
  event.kind = EventKind::Error;
  event.reason = reason;
  return event;
}

// Splits a head (CRLF lines, the blank line last) into the request line and
// its fields; the reason when it is malformed.
std::string_view ParseFields(std::string_view head, std::string_view& first, std::vector<Field>& fields) {
  bool firstLine = true;
  while (!head.empty()) {
    const size_t end = head.find(Crlf);
    if (end == std::string_view::npos) return "a header line without CRLF";
    const std::string_view line = head.substr(0, end);
    head.remove_prefix(end + 2);
    if (line.empty()) return head.empty() ? std::string_view() : "bytes after the blank line";
    if (line.find_first_of("\r\n") != std::string_view::npos) return "a header line without CRLF";
    if (firstLine) {
      first = line;
      firstLine = false;
      continue;
    }
    const size_t colon = line.find(':');
    if (colon == 0 || colon == std::string_view::npos) return "a header line without a name";
    const std::string_view name = line.substr(0, colon);
    if (!std::all_of(name.begin(), name.end(), IsTokenChar)) return "a header name that is not a token";
    fields.push_back({std::string(name), std::string(Trimmed(line.substr(colon + 1)))});
  }
  return "a head without its blank line";
}

// The ICAP head is complete in reader.buffer: the request line, the fields
// and the encapsulation.
std::string_view ParseHead(Reader& reader) {
  Request& request = reader.request;
  reader.httpHeadBytes = 0;
  reader.headSections.clear();
  reader.sectionEnds.clear();
  std::string_view first;
  if (const std::string_view error = ParseFields(reader.buffer, first, request.headers); !error.empty()) return error;
  const size_t space1 = first.find(' ');
  const size_t space2 = space1 == std::string_view::npos ? space1 : first.find(' ', space1 + 1);
  if (space2 == std::string_view::npos || first.find(' ', space2 + 1) != std::string_view::npos) {
    return "a request line that is not METHOD URI VERSION";
  }
  request.methodText = first.substr(0, space1);
  request.uri = first.substr(space1 + 1, space2 - space1 - 1);
  if (first.substr(space2 + 1) != "ICAP/1.0") return "not ICAP/1.0";
  request.method = request.methodText == "OPTIONS"   ? Method::Options
                   : request.methodText == "RESPMOD" ? Method::RespMod
                   : request.methodText == "REQMOD"  ? Method::ReqMod
                                                     : Method::Other;
  std::string_view path = request.uri;
  if (path.size() > 7 && SameWord(path.substr(0, 7), "icap://")) {
    path.remove_prefix(7);
    const size_t slash = path.find('/');
    path = slash == std::string_view::npos ? std::string_view() : path.substr(slash);
  } else if (path.empty() || path.front() != '/') {
    return "a URI that is neither icap://HOST/SERVICE nor /SERVICE";
  }
  if (!path.empty()) path.remove_prefix(1);
  request.service = path.substr(0, path.find('?'));

  if (const auto preview = FieldValue(request.headers, "Preview")) {
    request.preview = Decimal(*preview, uint64_t{1} << 40);
    if (!request.preview) return "a Preview that is not a size";
  }
  if (const auto allow = FieldValue(request.headers, "Allow")) {
    std::string_view list = *allow;
    while (!list.empty()) {
      const size_t comma = list.find(',');
      if (Trimmed(list.substr(0, comma)) == "204") request.allow204 = true;
      list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
    }
  }
  if (request.method == Method::Other) return {};

  const auto encapsulated = FieldValue(request.headers, "Encapsulated");
  if (!encapsulated) {
    if (request.method == Method::Options) return {};
    return "no Encapsulated header";
  }
  std::string_view reason;
  const auto parts = ParseEncapsulated(*encapsulated, reason);
  if (!parts) return reason;
  for (const Part& part : *parts) {
    const bool allowed = request.method == Method::Options ? part.section == Section::NullBody
                         : request.method == Method::ReqMod
                             ? part.section == Section::ReqHdr || part.section == Section::ReqBody ||
                                   part.section == Section::NullBody
                             : part.section != Section::ReqBody && part.section != Section::OptBody;
    if (!allowed) return "an Encapsulated part this method does not carry";
  }
  const Part& body = parts->back();
  if (!IsBody(body.section)) return "an Encapsulated header without a body part";
  if (body.offset > MaxHttpHeadBytes) return "encapsulated headers past the limit";
  reader.httpHeadBytes = body.offset;
  reader.sectionEnds.clear();
  for (size_t i = 0; i + 1 < parts->size(); ++i) reader.sectionEnds.push_back((*parts)[i + 1].offset);
  if (body.section == Section::ReqBody || body.section == Section::ResBody) request.body = body.section;
  reader.headSections.clear();
  for (size_t i = 0; i + 1 < parts->size(); ++i) reader.headSections.push_back((*parts)[i].section);
  return {};
}

// The encapsulated header blocks are complete in reader.buffer.
std::string_view SplitHttpHeads(Reader& reader) {
  Request& request = reader.request;
  size_t start = 0;
  for (size_t i = 0; i < reader.sectionEnds.size(); ++i) {
    const size_t end = reader.sectionEnds[i];
    const std::string_view block = std::string_view(reader.buffer).substr(start, end - start);
    if (block.size() < 4 || block.substr(block.size() - 4) != "\r\n\r\n" ||
        block.find("\r\n\r\n") != block.size() - 4) {
      return "an Encapsulated offset that does not end a header block";
    }
    (reader.headSections[i] == Section::ReqHdr ? request.requestHead : request.responseHead) = block;
    start = end;
  }
  return {};
}

Event RequestDone(Reader& reader) {
  Event event;
  event.kind = EventKind::Request;
  event.request = std::move(reader.request);
  reader.request = {};
  reader.buffer.clear();
  if (event.request.body) {
    reader.state = Reader::State::ChunkLine;
    reader.inPreview = event.request.preview.has_value();
  } else {
    reader.state = Reader::State::Head;
  }
  return event;
}

Event ReadHead(Reader& reader, std::span<const uint8_t>& input) {
  while (!input.empty()) {
    const char byte = static_cast<char>(input[0]);
    input = input.subspan(1);
    // Empty lines before a request are passed over.
    if (reader.buffer.empty() && (byte == '\r' || byte == '\n')) continue;
    if (byte == '\n' && reader.buffer.back() != '\r') return Fail(reader, "a header line without CRLF");
    if (reader.buffer.size() == MaxHeadBytes) return Fail(reader, "an ICAP head past the limit");
    reader.buffer.push_back(byte);
    if (byte != '\n' || reader.buffer.size() < 4 || reader.buffer.compare(reader.buffer.size() - 4, 4, "\r\n\r\n") != 0) {
      continue;
    }
    if (const std::string_view error = ParseHead(reader); !error.empty()) return Fail(reader, error);
    if (reader.request.method == Method::Other) {
      // Answered 405, and the connection closed: what follows is not read.
      Event event = RequestDone(reader);
      reader.state = Reader::State::Failed;
      reader.failure = "a method not served";
      return event;
    }
    reader.buffer.clear();
    if (reader.httpHeadBytes == 0) return RequestDone(reader);
    reader.state = Reader::State::HttpHeads;
    return {};
  }
  return {};
}

}  // namespace

std::optional<std::string_view> FieldValue(std::span<const Field> fields, std::string_view name) {
  for (const Field& field : fields) {
    if (SameWord(field.name, name)) return std::string_view(field.value);
  }
  return std::nullopt;
}

std::vector<Field> HttpFields(std::string_view head) {
  std::vector<Field> fields;
  std::string_view first;
  ParseFields(head, first, fields);
  return fields;
}

std::optional<std::vector<Part>> ParseEncapsulated(std::string_view value, std::string_view& reason) {
  std::vector<Part> parts;
  size_t bodies = 0;
  while (true) {
    const size_t comma = value.find(',');
    const std::string_view item = Trimmed(value.substr(0, comma));
    const size_t equals = item.find('=');
    const auto name = std::find_if(SectionNames.begin(), SectionNames.end(),
                                   [&](const SectionName& s) { return s.text == item.substr(0, equals); });
    if (equals == std::string_view::npos || name == SectionNames.end()) {
      reason = "an Encapsulated part that is not NAME=OFFSET";
      return std::nullopt;
    }
    const auto offset = Decimal(item.substr(equals + 1), uint64_t{1} << 40);
    if (!offset) {
      reason = "an Encapsulated offset that is not a number";
      return std::nullopt;
    }
    if (parts.empty() ? *offset != 0 : *offset <= parts.back().offset) {
      reason = "Encapsulated offsets that do not rise from 0";
      return std::nullopt;
    }
    if (!parts.empty() && (name->section <= parts.back().section || IsBody(parts.back().section))) {
      reason = "Encapsulated parts out of order";
      return std::nullopt;
    }
    if (IsBody(name->section)) ++bodies;
    parts.push_back({name->section, static_cast<size_t>(*offset)});
    if (comma == std::string_view::npos) break;
    value.remove_prefix(comma + 1);
  }
  if (bodies != 1) {
    reason = "an Encapsulated header without its one body part";
    return std::nullopt;
  }
  return parts;
}

std::optional<ChunkLine> ParseChunkLine(std::string_view line) {
  ChunkLine chunk;
  size_t digits = 0;
  for (; digits < line.size(); ++digits) {
    const char c = line[digits];
    const int value = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    if (value < 0) break;
    if (digits == 15) return std::nullopt;  // past 2^60: no real chunk
    chunk.size = chunk.size * 16 + static_cast<uint64_t>(value);
  }
  if (digits == 0) return std::nullopt;
  std::string_view rest = Trimmed(line.substr(digits));
  if (rest.empty()) return chunk;
  if (rest.front() != ';') return std::nullopt;
  while (!rest.empty()) {
    rest.remove_prefix(1);  // the ';'
    const size_t next = rest.find(';');
    const std::string_view extension = Trimmed(rest.substr(0, next));
    if (extension == "ieof") chunk.ieof = true;
    rest = next == std::string_view::npos ? std::string_view() : rest.substr(next);
  }
  return chunk;
}

Event NextEvent(Reader& reader, std::span<const uint8_t>& input) {
  using State = Reader::State;
  for (;;) {
    switch (reader.state) {
      case State::Failed: {
        Event event;
        event.kind = EventKind::Error;
        event.reason = reader.failure;
        return event;
      }
      case State::Paused:
        if (input.empty()) return {};
        return Fail(reader, "bytes after a preview before 100 Continue");
      case State::Head:
        if (input.empty()) return {};
        {
          Event event = ReadHead(reader, input);
          if (event.kind != EventKind::NeedMore || reader.state != State::HttpHeads) return event;
        }
        continue;
      case State::HttpHeads: {
        const size_t take = std::min(reader.httpHeadBytes - reader.buffer.size(), input.size());
        reader.buffer.append(reinterpret_cast<const char*>(input.data()), take);
        input = input.subspan(take);
        if (reader.buffer.size() < reader.httpHeadBytes) return {};
        if (const std::string_view error = SplitHttpHeads(reader); !error.empty()) return Fail(reader, error);
        return RequestDone(reader);
      }
      case State::ChunkLine: {
        while (!input.empty()) {
          const char byte = static_cast<char>(input[0]);
          input = input.subspan(1);
          if (byte != '\n') {
            if (reader.buffer.size() == MaxChunkLine) return Fail(reader, "a chunk-size line past the limit");
            reader.buffer.push_back(byte);
            continue;
          }
          if (reader.buffer.empty() || reader.buffer.back() != '\r') return Fail(reader, "a chunk-size line without CRLF");
          reader.buffer.pop_back();
          const auto chunk = ParseChunkLine(reader.buffer);
          reader.buffer.clear();
          if (!chunk) return Fail(reader, "a chunk size that is not hexadecimal");
          if (chunk->size == 0) {
            reader.lastIeof = chunk->ieof;
            reader.state = State::LastChunkEnd;
          } else {
            if (chunk->ieof) return Fail(reader, "ieof on a chunk with data");
            reader.chunkLeft = chunk->size;
            reader.state = State::ChunkData;
          }
          break;
        }
        if (reader.state == State::ChunkLine) return {};
        continue;
      }
      case State::ChunkData: {
        if (input.empty()) return {};
        const size_t take = static_cast<size_t>(std::min<uint64_t>(reader.chunkLeft, input.size()));
        Event event;
        event.kind = EventKind::BodyBytes;
        event.bytes = input.first(take);
        input = input.subspan(take);
        reader.chunkLeft -= take;
        if (reader.chunkLeft == 0) reader.state = State::ChunkEnd;
        return event;
      }
      case State::ChunkEnd:
      case State::LastChunkEnd: {
        while (reader.buffer.size() < 2 && !input.empty()) {
          reader.buffer.push_back(static_cast<char>(input[0]));
          input = input.subspan(1);
        }
        if (reader.buffer.size() < 2) return {};
        const bool crlf = reader.buffer == Crlf;
        reader.buffer.clear();
        if (reader.state == State::ChunkEnd) {
          if (!crlf) return Fail(reader, "a chunk longer than its size");
          reader.state = State::ChunkLine;
          continue;
        }
        if (!crlf) return Fail(reader, "the last chunk without its blank line");
        Event event;
        if (reader.inPreview && !reader.lastIeof) {
          reader.state = State::Paused;
          event.kind = EventKind::PreviewEnd;
          return event;
        }
        event.kind = EventKind::BodyEnd;
        event.ieof = reader.inPreview && reader.lastIeof;
        reader.inPreview = false;
        reader.state = State::Head;
        return event;
      }
    }
  }
}

void ContinueBody(Reader& reader) noexcept {
  if (reader.state != Reader::State::Paused) return;
  reader.inPreview = false;
  reader.state = Reader::State::ChunkLine;
}

uint64_t ChunkBytesLeft(const Reader& reader) noexcept {
  return reader.state == Reader::State::ChunkData ? reader.chunkLeft : 0;
}

void TakeChunkBytes(Reader& reader, uint64_t count) noexcept {
  reader.chunkLeft -= count;
  if (reader.chunkLeft == 0) reader.state = Reader::State::ChunkEnd;
}

bool MidMessage(const Reader& reader) noexcept {
  switch (reader.state) {
    case Reader::State::Head: return !reader.buffer.empty();
    case Reader::State::Failed: return false;
    default: return true;
  }
}

// --- Replies ---------------------------------------------------------------

namespace {

std::string_view StatusText(unsigned status) {
  switch (status) {
    case 100: return "Continue";
    case 200: return "OK";
    case 204: return "No Content";
    case 400: return "Bad Request";
    case 404: return "ICAP Service Not Found";
    case 405: return "Method Not Allowed For Service";
    case 503: return "Service Overloaded";
    default: return "Server Error";
  }
}

std::string StatusLine(unsigned status) {
  return "ICAP/1.0 " + std::to_string(status) + " " + std::string(StatusText(status)) + "\r\n";
}

}  // namespace

std::string MakeIsTag(uint64_t generation, std::string_view buildTime) {
  uint32_t hash = 2166136261u;  // FNV-1a over the build time
  for (const char c : buildTime) hash = (hash ^ static_cast<uint8_t>(c)) * 16777619u;
  char text[48];
  std::snprintf(text, sizeof text, "\"VT-%08x-%llu\"", hash, static_cast<unsigned long long>(generation % 100000000000ull));
  return text;
}

std::string OptionsReply(const OptionsInfo& info) {
  std::string reply = StatusLine(200);
  reply += "Methods: RESPMOD, REQMOD\r\n";
  reply += "Service: " + info.service + "\r\n";
  reply += "ISTag: " + info.istag + "\r\n";
  reply += "Max-Connections: " + std::to_string(info.maxConnections) + "\r\n";
  reply += "Options-TTL: " + std::to_string(info.ttlSeconds) + "\r\n";
  reply += "Allow: 204\r\n";
  if (info.preview) reply += "Preview: " + std::to_string(*info.preview) + "\r\n";
  reply += "Transfer-Preview: *\r\n";
  if (!info.transferIgnore.empty()) reply += "Transfer-Ignore: " + info.transferIgnore + "\r\n";
  reply += "Encapsulated: null-body=0\r\n\r\n";
  return reply;
}

std::string StatusReply(unsigned status, std::string_view istag, bool close) {
  if (status == 100) return StatusLine(100) + "\r\n";
  std::string reply = StatusLine(status);
  reply += "ISTag: " + std::string(istag) + "\r\n";
  if (close) reply += "Connection: close\r\n";
  reply += "Encapsulated: null-body=0\r\n\r\n";
  return reply;
}

std::string HtmlEscaped(std::string_view text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string BlockReply(std::string_view istag, std::string_view what, std::string_view threat) {
  const std::string page = "<!DOCTYPE html>\n<html><head><title>Blocked by Veltor</title></head>\n<body><h1>Blocked</h1>\n<p>" +
                           HtmlEscaped(what) + "</p>\n</body></html>\n";
  const std::string http = "HTTP/1.1 403 Forbidden\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
                           std::to_string(page.size()) + "\r\nCache-Control: no-store\r\n\r\n";
  std::string reply = StatusLine(200);
  reply += "ISTag: " + std::string(istag) + "\r\n";
  if (!threat.empty()) {
    reply += "X-Infection-Found: Type=0; Resolution=2; Threat=" + std::string(threat) + ";\r\n";
    reply += "X-Violations-Found: 1\r\n\t-\r\n\t" + std::string(threat) + "\r\n\t0\r\n\t2\r\n";
  }
  reply += "Encapsulated: res-hdr=0, res-body=" + std::to_string(http.size()) + "\r\n\r\n";
  reply += http;
  reply += ChunkHeader(page.size()) + page + "\r\n";
  reply += LastChunk;
  return reply;
}

std::string EchoHead(const Request& request, std::string_view istag, bool withBody) {
  const bool response = request.method == Method::RespMod;
  const std::string& head = response ? request.responseHead : request.requestHead;
  const std::string_view kind = response ? "res" : "req";
  std::string reply = StatusLine(200);
  reply += "ISTag: " + std::string(istag) + "\r\n";
  reply += "Encapsulated: ";
  if (!head.empty()) reply += std::string(kind) + "-hdr=0, ";
  reply += withBody ? std::string(kind) + "-body=" : std::string("null-body=");
  reply += std::to_string(head.size()) + "\r\n\r\n";
  reply += head;
  return reply;
}

std::string ChunkHeader(size_t size) {
  char text[32];
  std::snprintf(text, sizeof text, "%zx\r\n", size);
  return text;
}

}  // namespace veltor::service::icap
