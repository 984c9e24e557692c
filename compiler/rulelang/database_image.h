#pragma once
// Database records to a database file and back, through the database writer
// and the engine's own body checks. Tables are read in stored order (the
// engine's loader sorts them by id), so that a database printed and compiled
// again comes back record for record.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/database/database_format.h"
#include "compiler/rulelang/database_entries.h"

namespace veltor::rulelang {

// FILETIME (100 ns units since 1601-01-01 UTC) of a Unix time in seconds.
uint64_t FileTimeFromUnixSeconds(int64_t seconds) noexcept;
// Seconds since 1970 of a FILETIME, rounded down.
int64_t UnixSecondsFromFileTime(uint64_t fileTime) noexcept;

// The body: header, signature table, rule table, nothing else.
std::vector<uint8_t> WriteBody(const DatabaseEntries& entries, uint64_t buildTime);
// The sealed file, the envelope's free bytes from the entries.
std::vector<uint8_t> WriteDatabaseImage(const DatabaseEntries& entries, uint64_t buildTime);

struct DatabaseContents {
  DatabaseHeader header;
  DatabaseEntries entries;
  uint32_t bodySize = 0;
};

// Reads a body the engine would load. Nothing, with `error` set, when the
// engine would refuse it or a record runs past the end of the body.
std::optional<DatabaseContents> ReadBody(std::span<const uint8_t> body, std::string& error);

// Unseals a database file and reads its body; the envelope's free bytes go
// into the entries.
std::optional<DatabaseContents> ReadDatabaseImage(std::span<const uint8_t> file, std::string& error);

}  // namespace veltor::rulelang
