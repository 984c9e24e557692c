#pragma once
// What veltord is told: the command line and the configuration file, with
// the same names (flags win), read by Boost.ProgramOptions.
#include <cstdint>
#include <optional>
#include <string>

#include "scanning/scan_archives.h"

namespace veltor::service {

inline constexpr const char* DefaultConfigFile = "/etc/veltor/veltord.conf";
inline constexpr const char* DefaultUnixSocket = "/run/veltor/veltord.sock";

enum class LogFormat : uint8_t { Text, Json };

struct Endpoint {
  std::string host;
  uint16_t port = 0;
};

struct ServiceOptions {
  std::string configFile;      // "" when none was read
  bool foreground = false;
  std::string database;        // "" until the default database is looked up
  std::string unixSocket = DefaultUnixSocket;  // "" for none
  unsigned unixSocketMode = 0660;
  std::optional<Endpoint> tcp;
  std::optional<Endpoint> http;  // HTTP/JSON, off unless set
  unsigned threads = 0;        // 0: the cores
  uint64_t maxStream = uint64_t{100} << 20;
  unsigned maxQueue = 0;       // 0: four per thread
  unsigned maxConnections = 256;
  unsigned readTimeoutSeconds = 30;   // a command, a chunk: the longest wait for the next byte
  unsigned idleTimeoutSeconds = 30;   // inside IDSESSION, between commands
  bool allowShutdown = false;
  bool tcpPathScans = false;   // SCAN and its kind over TCP
  std::string tempDir;         // where streams are spooled; "" for TMPDIR or /tmp
  uint64_t spoolMemory = uint64_t{256} << 20;  // long streams' pieces kept in memory, all streams together
  bool watchDatabase = false;          // reload when the database file changes
  unsigned watchIntervalSeconds = 5;   // how often it is looked at, and how long a change must hold
  LogFormat logFormat = LogFormat::Text;
  scanning::ArchiveSettings archives;
  // ICAP (icap_service.h): off unless set; the Preview offered in OPTIONS
  // (none when unset), and the Transfer-Ignore list ("" for none).
  std::optional<Endpoint> icap;
  std::optional<uint64_t> icapPreview = 4096;
  std::string icapTransferIgnore;
  bool checkConfig = false;
  bool version = false;
  bool help = false;
};

// Reads the command line, then the configuration file it names (or the
// default one, when it exists); nothing with `error` set when either is
// wrong. `help` gets the option list.
std::optional<ServiceOptions> ReadOptions(int argc, const char* const* argv, std::string& help, std::string& error);

// "HOST:PORT" or "PORT" (on 127.0.0.1).
std::optional<Endpoint> ParseEndpoint(const std::string& text);

// A size with an optional K, M or G suffix (powers of 1024).
std::optional<uint64_t> ParseSize(const std::string& text);

}  // namespace veltor::service
