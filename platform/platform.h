#pragma once
// The operating-system services the engine uses, and the only place that
// knows which system it runs on. On Windows these are the real calls; on
// other systems our own layer gives every caller what the Windows call would:
// Windows-1252 stands for the ANSI code page (CP_ACP), the module's path
// comes from the dynamic loader, and local time applies the process's current
// offset from UTC.
#include <cstdint>

namespace veltor::platform {

// MultiByteToWideChar(CP_ACP, 0, ...). sourceLength -1 converts up to and
// including the NUL terminator. Returns the UTF-16 units written, or 0 on
// failure, including a destination too small (nothing is written past
// destinationCapacity).
int32_t AnsiToWide(const char* source, int32_t sourceLength, char16_t* destination,
                   int32_t destinationCapacity) noexcept;

// WideCharToMultiByte(CP_ACP, 0, ..., no default character). Characters the
// code page cannot represent become '?'. Same length and failure rules.
int32_t WideToAnsi(const char16_t* source, int32_t sourceLength, char* destination,
                   int32_t destinationCapacity) noexcept;

// GetModuleFileNameA: the full path of the module, NUL-terminated, truncated
// to `size` bytes. `module` is the module handle on Windows and any address
// inside the module elsewhere. Returns the number of characters written
// without the terminator, `size` when the path was truncated, 0 on failure.
uint32_t ModuleFileName(const void* module, char* buffer, uint32_t size) noexcept;

// The path separator of file names on this system.
inline constexpr char PathSeparator =
#ifdef _WIN32
    '\\';
#else
    '/';
#endif

// FILETIME: 100-nanosecond intervals since 1601-01-01 00:00 UTC.
using FileTime = uint64_t;

// SYSTEMTIME's fields, in SYSTEMTIME's order.
struct CalendarTime {
  uint16_t year;
  uint16_t month;
  uint16_t dayOfWeek;  // 0 = Sunday
  uint16_t day;
  uint16_t hour;
  uint16_t minute;
  uint16_t second;
  uint16_t milliseconds;
};

// FileTimeToLocalFileTime: applies the current offset from UTC (today's,
// not the one in force at the converted instant). False for values from
// 0x8000000000000000 up and for results outside the FILETIME range.
bool UtcToLocalFileTime(FileTime utc, FileTime* local) noexcept;

// FileTimeToSystemTime: calendar fields of a FILETIME (1601 to 30827).
// False for values from 0x8000000000000000 up.
bool FileTimeToCalendar(FileTime time, CalendarTime* out) noexcept;

}  // namespace veltor::platform
