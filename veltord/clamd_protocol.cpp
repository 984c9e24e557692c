#include "veltord/clamd_protocol.h"

#include <algorithm>
#include <array>

namespace veltor::service {
namespace {

struct NamedCommand {
  std::string_view text;
  CommandName name;
};

constexpr std::array<NamedCommand, 14> Commands{{
    {"PING", CommandName::Ping},
    {"VERSION", CommandName::Version},
    {"VERSIONCOMMANDS", CommandName::VersionCommands},
    {"RELOAD", CommandName::Reload},
    {"SHUTDOWN", CommandName::Shutdown},
    {"SCAN", CommandName::Scan},
    {"CONTSCAN", CommandName::ContScan},
    {"MULTISCAN", CommandName::MultiScan},
    {"ALLMATCHSCAN", CommandName::AllMatchScan},
    {"INSTREAM", CommandName::InStream},
    {"FILDES", CommandName::FilDes},
    {"STATS", CommandName::Stats},
    {"IDSESSION", CommandName::IdSession},
    {"END", CommandName::End},
}};

Delimiter DelimiterOf(char prefix) {
  return prefix == 'z' ? Delimiter::Nul : prefix == 'n' ? Delimiter::Newline : Delimiter::Bare;
}

Event Fail(ProtocolReader& reader, ProtocolError error, Delimiter delimiter) {
  reader.state = ProtocolReader::State::Failed;
  reader.failure = error;
  reader.line.clear();
  Event event;
  event.kind = EventKind::Error;
  event.error = error;
  event.command.delimiter = delimiter;
  return event;
}

// The command in `line`, its delimiter already taken off; an empty line is
// no command.
Event ParseLine(ProtocolReader& reader, std::string_view line, Delimiter delimiter) {
  if (delimiter == Delimiter::Newline && !line.empty() && line.back() == '\r') line.remove_suffix(1);
  const size_t space = line.find(' ');
  const std::string_view word = line.substr(0, space);
  const auto found = std::find_if(Commands.begin(), Commands.end(), [&](const NamedCommand& c) { return c.text == word; });
  if (found == Commands.end()) return Fail(reader, ProtocolError::UnknownCommand, delimiter);
  Event event;
  event.kind = EventKind::Command;
  event.command.name = found->name;
  event.command.delimiter = delimiter;
  if (space != std::string_view::npos) event.command.argument.assign(line.substr(space + 1));
  if (found->name == CommandName::InStream) {
    reader.state = ProtocolReader::State::ChunkLength;
    reader.lengthHave = 0;
    reader.streamBytes = 0;
  }
  return event;
}

Event ReadCommand(ProtocolReader& reader, std::span<const uint8_t>& input) {
  while (!input.empty()) {
    const bool first = reader.line.empty();
    // The prefix says which byte ends the command; a bare command ends at
    // either.
    const char prefix = first ? static_cast<char>(input[0]) : reader.line[0];
    const bool nul = prefix == 'z';
    const bool newline = prefix == 'n';
    size_t end = 0;
    for (; end < input.size(); ++end) {
      const uint8_t byte = input[end];
      if ((byte == 0 && !newline) || (byte == '\n' && !nul)) break;
    }
    const size_t room = MaxCommandLine - reader.line.size();
    if (end >= room) return Fail(reader, ProtocolError::LineTooLong, DelimiterOf(prefix));
    reader.line.append(reinterpret_cast<const char*>(input.data()), end);
    if (end == input.size()) {
      input = {};
      return {};
    }
    input = input.subspan(end + 1);
    std::string line;
    line.swap(reader.line);
    if (line.empty()) continue;  // a lone delimiter
    const Delimiter delimiter = DelimiterOf(prefix);
    const std::string_view text = delimiter == Delimiter::Bare ? std::string_view(line) : std::string_view(line).substr(1);
    if (text.empty()) continue;
    return ParseLine(reader, text, delimiter);
  }
  return {};
}

}  // namespace

Event NextEvent(ProtocolReader& reader, std::span<const uint8_t>& input) {
  using State = ProtocolReader::State;
  for (;;) {
    switch (reader.state) {
      case State::Failed: {
        Event event;
        event.kind = EventKind::Error;
        event.error = reader.failure;
        return event;
      }
      case State::Command:
        return ReadCommand(reader, input);
      case State::ChunkLength: {
        while (reader.lengthHave < 4 && !input.empty()) {
          reader.lengthBytes[reader.lengthHave++] = input[0];
          input = input.subspan(1);
        }
        if (reader.lengthHave < 4) return {};
        reader.lengthHave = 0;
        const uint32_t length = (uint32_t{reader.lengthBytes[0]} << 24) | (uint32_t{reader.lengthBytes[1]} << 16) |
                                (uint32_t{reader.lengthBytes[2]} << 8) | uint32_t{reader.lengthBytes[3]};
        if (length == 0) {
          reader.state = State::Command;
          Event event;
          event.kind = EventKind::StreamEnd;
          return event;
        }
        // streamBytes never passes maxStream.
        if (length > reader.maxStream - reader.streamBytes) {
          return Fail(reader, ProtocolError::SizeLimit, Delimiter::Bare);
        }
        reader.streamBytes += length;
        reader.chunkLeft = length;
        reader.state = State::ChunkData;
        continue;
      }
      case State::ChunkData: {
        if (input.empty()) return {};
        const size_t take = static_cast<size_t>(std::min<uint64_t>(reader.chunkLeft, input.size()));
        Event event;
        event.kind = EventKind::StreamBytes;
        event.bytes = input.first(take);
        input = input.subspan(take);
        reader.chunkLeft -= take;
        if (reader.chunkLeft == 0) reader.state = State::ChunkLength;
        return event;
      }
    }
  }
}

uint64_t ChunkBytesLeft(const ProtocolReader& reader) noexcept {
  return reader.state == ProtocolReader::State::ChunkData ? reader.chunkLeft : 0;
}

void TakeChunkBytes(ProtocolReader& reader, uint64_t count) noexcept {
  reader.chunkLeft -= count;
  if (reader.chunkLeft == 0) reader.state = ProtocolReader::State::ChunkLength;
}

bool MidMessage(const ProtocolReader& reader) noexcept {
  switch (reader.state) {
    case ProtocolReader::State::Command: return !reader.line.empty();
    case ProtocolReader::State::Failed: return false;
    default: return true;
  }
}

std::string_view CommandText(CommandName name) noexcept {
  for (const NamedCommand& command : Commands) {
    if (command.name == name) return command.text;
  }
  return "";
}

std::string_view CommandList() noexcept {
  return "SCAN CONTSCAN MULTISCAN ALLMATCHSCAN INSTREAM FILDES VERSION VERSIONCOMMANDS PING RELOAD SHUTDOWN STATS "
         "IDSESSION END";
}

std::string_view ErrorText(ProtocolError error) noexcept {
  switch (error) {
    case ProtocolError::UnknownCommand: return "UNKNOWN COMMAND";
    case ProtocolError::LineTooLong: return "Command line too long. ERROR";
    case ProtocolError::SizeLimit: return "INSTREAM size limit exceeded. ERROR";
    case ProtocolError::None: break;
  }
  return "";
}

char ReplyTerminator(Delimiter delimiter) noexcept { return delimiter == Delimiter::Nul ? '\0' : '\n'; }

}  // namespace veltor::service
