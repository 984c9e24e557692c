#pragma once
// The folder the library was loaded from, recorded once when the library is
// attached to a process and only read afterwards. The default database is
// "qzdata.vlb" in that folder.
#include <cstdint>
#include <optional>
#include <string>

namespace veltor {

inline constexpr uint32_t ModuleDirectorySize = 260;
inline constexpr char DefaultDatabaseName[] = "qzdata.vlb";

// Records the folder of `module` (see platform::ModuleFileName): its full
// file name up to, not including, the last path separator; the whole name
// when there is none. A name that does not fit in ModuleDirectorySize bytes
// leaves the folder unknown.
void RecordModuleDirectory(const void* module) noexcept;

// The recorded folder; empty before the library is attached.
const char* ModuleDirectory() noexcept;

// ModuleDirectory, the path separator, "qzdata.vlb"; nothing when the
// folder is unknown (the library's path did not fit).
std::optional<std::string> DefaultDatabasePath();

}  // namespace veltor
