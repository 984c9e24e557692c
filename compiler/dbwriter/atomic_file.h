#pragma once
// Replacing a file so that readers see either the old content or the new,
// never a half-written file.
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>

namespace veltor {

// Writes the bytes to a new temporary file in the target's folder, then
// renames it over the target. False when any step fails, with the system's
// reason in `reason` when given; the temporary file is removed and the
// target is left as it was. Does not flush to stable storage.
bool WriteFileAtomically(const std::filesystem::path& path, std::span<const uint8_t> bytes,
                         std::string* reason = nullptr);

}  // namespace veltor
