#pragma once
// Whole-file reads, with messages that name the file and the reason.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace veltor::scanning {

// The file's bytes, or nothing with `error` set ("cannot read PATH: reason").
// Reading stops with an error past `limit` bytes, so that a device such as
// /dev/zero cannot exhaust memory.
std::optional<std::vector<uint8_t>> ReadWholeFile(std::string_view path, std::string& error,
                                                  uint64_t limit = UINT64_MAX);

}  // namespace veltor::scanning
