#pragma once
// The signature name map beside a database: NAME.vlb.names. A database keeps
// no signature names (rules refer to signatures by id), so `veltor compile`
// writes the names its sources gave beside the file, and `veltor scan -s`,
// `--explain`, `veltor dump` and the Python package show them when the map
// is there and belongs to the database. The format (UTF-8 text, lines end
// in \n):
//
//   veltor signature names 1            the format and its version
//   database AABBCCDD                   the database's header CRC, hex
//   17 plain_sig                        id, one space, name; ascending ids
//
// Anonymous signatures have no line. A reader refuses another version, and
// a map whose CRC is not the database's (the database was rebuilt without
// it): its names could be wrong.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace veltor::scanning {

inline constexpr std::string_view SignatureNamesSuffix = ".names";

using SignatureNames = std::map<uint32_t, std::string>;  // id -> name (UTF-8)

std::string FormatSignatureNames(uint32_t databaseCrc, const SignatureNames& names);

// The names of a map's text; nothing, with `error` set, for a text that is
// not a map of this version or not the database's with header CRC
// `databaseCrc`.
std::optional<SignatureNames> ParseSignatureNames(std::string_view text, uint32_t databaseCrc, std::string& error);

// The map beside `databasePath` (databasePath + ".names"): an empty map when
// there is none; nothing, with `error` set ("PATH: why"), when one is there
// but cannot be read or used.
std::optional<SignatureNames> LoadSignatureNames(std::string_view databasePath, uint32_t databaseCrc,
                                                 std::string& error);

// "17 name", or "17" for a signature the map does not name.
std::string SignatureLabel(const SignatureNames& names, uint32_t id);

}  // namespace veltor::scanning
