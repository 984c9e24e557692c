#pragma once
// The folder the library was loaded from, recorded once when the library is
// attached to a process and only read afterwards. The default database is
// "qzdata.vlb" in that folder.
#include <cstdint>

namespace veltor {

inline constexpr uint32_t ModuleDirectorySize = 260;
inline constexpr char DefaultDatabaseName[] = "qzdata.vlb";

// Records the folder of `module` (see platform::ModuleFileName): its full
// file name up to, not including, the last path separator; the whole name
// when there is none. A name that does not fit in ModuleDirectorySize bytes
// leaves the folder unknown.
void RecordModuleDirectory(const void* module) noexcept;

// Room for the default database's path and its terminator.
inline constexpr uint32_t DefaultDatabasePathSize = ModuleDirectorySize + sizeof(DefaultDatabaseName) + 1;

// Writes the recorded folder, the path separator and "qzdata.vlb" into `path`;
// false when the folder is unknown (the library's path did not fit).
bool DefaultDatabasePath(char (&path)[DefaultDatabasePathSize]) noexcept;

}  // namespace veltor
