#pragma once
// ICAP (RFC 3507), so that web proxies hand veltord every response and
// request body: what a connection's bytes say, read as they arrive, and the
// replies' bytes. A reader turns the bytes into events: a request (its ICAP
// head and the encapsulated HTTP headers), then the body's bytes chunk by
// chunk, the end of a preview, and the body's end. It owns no socket and
// never allocates for a body's bytes, so that the service and the fuzz
// target drive it alike.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace veltor::service::icap {

// The one service veltord offers: icap://HOST:PORT/veltor.
inline constexpr std::string_view ServiceName = "veltor";
// The ICAP request line and its headers, together.
inline constexpr size_t MaxHeadBytes = 16 * 1024;
// The encapsulated HTTP headers, request and response together.
inline constexpr size_t MaxHttpHeadBytes = 64 * 1024;
// A chunk-size line with its extensions.
inline constexpr size_t MaxChunkLine = 256;

enum class Method : uint8_t { Options, RespMod, ReqMod, Other };

// The parts the Encapsulated header names, in the order they may come.
enum class Section : uint8_t { ReqHdr, ResHdr, ReqBody, ResBody, NullBody, OptBody };

struct Field {
  std::string name;
  std::string value;
};

struct Request {
  Method method = Method::Other;
  std::string methodText;
  std::string uri;
  std::string service;  // the URI's path without its '/' and query
  std::vector<Field> headers;
  std::string requestHead;   // the encapsulated HTTP request headers, blank line included ("" if none)
  std::string responseHead;  // the same for the HTTP response
  std::optional<Section> body;  // ReqBody or ResBody when a chunked body follows
  std::optional<uint64_t> preview;  // the Preview header's size
  bool allow204 = false;            // "Allow: 204"
};

// A header's value (names compared without case), or nothing.
std::optional<std::string_view> FieldValue(std::span<const Field> fields, std::string_view name);

// The fields of an HTTP header block ("STATUS LINE\r\nName: value\r\n...\r\n").
std::vector<Field> HttpFields(std::string_view head);

enum class EventKind : uint8_t {
  NeedMore,    // every byte given was taken; read more
  Request,     // `request` is complete; its body's events follow when it has one
  BodyBytes,   // `bytes` (borrowed from the input) belong to the body
  PreviewEnd,  // the preview ended without ieof: answer 100 Continue, then ContinueBody
  BodyEnd,     // the last chunk; `ieof` when it ended the preview
  Error,       // `reason`; the reader stays failed: answer 400 and close
};

struct Event {
  EventKind kind = EventKind::NeedMore;
  Request request{};
  std::span<const uint8_t> bytes{};
  bool ieof = false;
  std::string_view reason{};
};

struct Reader {
  enum class State : uint8_t { Head, HttpHeads, ChunkLine, ChunkData, ChunkEnd, LastChunkEnd, Paused, Failed };
  State state = State::Head;
  std::string buffer;     // the head, the encapsulated headers or a chunk line, as read so far
  Request request;        // the request under way
  size_t httpHeadBytes = 0;   // the encapsulated headers' length, from Encapsulated
  std::vector<Section> headSections;  // the encapsulated header blocks, in order
  std::vector<size_t> sectionEnds;    // where each ends
  uint64_t chunkLeft = 0;
  bool inPreview = false;
  bool lastIeof = false;
  std::string_view failure;
};

// Takes bytes from the front of `input` until one event is complete, and
// returns it. Empty lines before a request are passed over.
Event NextEvent(Reader& reader, std::span<const uint8_t>& input);

// After PreviewEnd: the rest of the body follows (the server said 100 Continue).
void ContinueBody(Reader& reader) noexcept;

// The bytes of the current body chunk still to come (0 outside a chunk),
// and the taking of `count` of them read elsewhere (straight where the body
// is kept), as a BodyBytes event would.
uint64_t ChunkBytesLeft(const Reader& reader) noexcept;
void TakeChunkBytes(Reader& reader, uint64_t count) noexcept;

// True when the connection ending now would cut a request short.
bool MidMessage(const Reader& reader) noexcept;

// The parts of an Encapsulated header, checked: known names, decimal
// offsets, header blocks first and increasing from 0, at most one body part,
// last; nothing when it is malformed (with `reason`).
struct Part {
  Section section;
  size_t offset;
};
std::optional<std::vector<Part>> ParseEncapsulated(std::string_view value, std::string_view& reason);

// A chunk-size line without its CRLF: the size, and whether it says ieof.
struct ChunkLine {
  uint64_t size = 0;
  bool ieof = false;
};
std::optional<ChunkLine> ParseChunkLine(std::string_view line);

// --- Replies -------------------------------------------------------------

struct OptionsInfo {
  std::string istag;  // quoted
  std::string service;
  unsigned maxConnections = 0;
  unsigned ttlSeconds = 0;
  std::optional<uint64_t> preview;
  std::string transferIgnore;  // "" for none
};

// An ISTag (quoted, at most 32 characters inside) for a database
// generation and its build time: it changes with every reload.
std::string MakeIsTag(uint64_t generation, std::string_view buildTime);

std::string OptionsReply(const OptionsInfo& info);

// A reply with no body: 100, 204, 400, 404, 405, ... `close` adds
// "Connection: close".
std::string StatusReply(unsigned status, std::string_view istag, bool close);

// A 200 carrying an HTTP 403 page that says why (`what`, shown escaped),
// with the infection headers when `threat` is not empty.
std::string BlockReply(std::string_view istag, std::string_view what, std::string_view threat);

// The head of a 200 that returns the message unmodified: the encapsulated
// headers of the part this method may change, then (when `withBody`) the
// body follows in chunks.
std::string EchoHead(const Request& request, std::string_view istag, bool withBody);

// A chunk's size line, and the last chunk.
std::string ChunkHeader(size_t size);
inline constexpr std::string_view LastChunk = "0\r\n\r\n";

// `text` with &, <, >, " escaped for HTML.
std::string HtmlEscaped(std::string_view text);

}  // namespace veltor::service::icap
