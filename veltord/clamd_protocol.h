#pragma once
// The clamd protocol, so existing clients work: what a connection's bytes
// say, read as they arrive. A reader turns the bytes into events: a command
// (with its delimiter and argument), and after INSTREAM the stream's bytes
// chunk by chunk and its end. It owns no socket and never allocates for a
// stream's bytes, so that the service and the fuzz target drive it alike.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace veltor::service {

// How a command ends, and so how its replies end: "zCMD\0", "nCMD\n", or
// the bare "CMD" ended by a newline or a NUL (replied with a newline).
enum class Delimiter : uint8_t { Nul, Newline, Bare };

enum class CommandName : uint8_t {
  Ping,
  Version,
  VersionCommands,
  Reload,
  Shutdown,
  Scan,
  ContScan,
  MultiScan,
  AllMatchScan,
  InStream,
  FilDes,
  Stats,
  IdSession,
  End,
};

struct Command {
  CommandName name = CommandName::Ping;
  Delimiter delimiter = Delimiter::Bare;
  std::string argument;  // what follows the name and one space ("" if nothing)
};

// The longest command line, delimiter included: a path of PATH_MAX bytes
// and the longest name, with room to spare.
inline constexpr size_t MaxCommandLine = 4096 + 64;

enum class ProtocolError : uint8_t {
  None,
  UnknownCommand,  // not one of the commands above
  LineTooLong,     // no delimiter within MaxCommandLine bytes
  SizeLimit,       // INSTREAM's chunks announce more than the stream limit
};

enum class EventKind : uint8_t {
  NeedMore,     // every byte given was taken; read more
  Command,      // `command` is complete
  StreamBytes,  // `bytes` (borrowed from the input) belong to the stream
  StreamEnd,    // the zero-length chunk: the stream is complete
  Error,        // `error`; the reader stays failed, the connection ends
};

struct Event {
  EventKind kind = EventKind::NeedMore;
  Command command{};  // for an error in a command line, its delimiter too
  std::span<const uint8_t> bytes{};
  ProtocolError error = ProtocolError::None;
};

struct ProtocolReader {
  enum class State : uint8_t { Command, ChunkLength, ChunkData, Failed };
  State state = State::Command;
  uint64_t maxStream = 0;      // the stream limit, in bytes
  std::string line;            // the command read so far
  uint8_t lengthBytes[4] = {};
  size_t lengthHave = 0;
  uint64_t chunkLeft = 0;      // bytes of the current chunk still to come
  uint64_t streamBytes = 0;    // bytes announced so far in this stream
  ProtocolError failure = ProtocolError::None;
};

// Takes bytes from the front of `input` until one event is complete, and
// returns it. An INSTREAM command switches the reader to chunks; the
// zero-length chunk switches it back. Empty commands (a lone delimiter, as
// the byte that carries a passed descriptor) are passed over.
Event NextEvent(ProtocolReader& reader, std::span<const uint8_t>& input);

// The bytes of the current chunk still to come (0 outside a chunk), and
// the taking of `count` of them read elsewhere (straight where the stream
// is kept), as a StreamBytes event would.
uint64_t ChunkBytesLeft(const ProtocolReader& reader) noexcept;
void TakeChunkBytes(ProtocolReader& reader, uint64_t count) noexcept;

// True when the connection ending now would cut a command or a stream short.
bool MidMessage(const ProtocolReader& reader) noexcept;

// The command's name as clients write it.
std::string_view CommandText(CommandName name) noexcept;

// The names VERSIONCOMMANDS lists, space-separated.
std::string_view CommandList() noexcept;

// The reply line to a protocol error, as that daemon words them where it has
// words for them ("UNKNOWN COMMAND", "INSTREAM size limit exceeded.").
std::string_view ErrorText(ProtocolError error) noexcept;

// The terminator of a reply to a command with this delimiter.
char ReplyTerminator(Delimiter delimiter) noexcept;

}  // namespace veltor::service
