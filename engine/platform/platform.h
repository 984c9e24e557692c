#pragma once
// The operating-system services the engine uses, and the only place that
// knows which system it runs on. On Windows these are the real calls; on
// other systems our own layer gives every caller what the Windows call would:
// Windows-1252 stands for the ANSI code page (CP_ACP), the module's path
// comes from the dynamic loader, and local time applies the process's current
// offset from UTC. Both builds run the same tests against these contracts.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "engine/platform/allocation.h"

namespace veltor::platform {

// MultiByteToWideChar(CP_ACP, 0, ...). A sourceLength of -1 converts up to and
// including the first NUL; a positive one converts exactly that many bytes,
// NULs included, and adds no terminator. Returns the UTF-16 units written.
// A destinationCapacity of 0 writes nothing and returns the units needed.
// Returns 0 on failure: a null source, a sourceLength of 0 or below -1, a
// null destination with a nonzero capacity, or a destination too small (the
// call fails and nothing is written past destinationCapacity).
// Every byte converts: outside Windows, 0x80-0x9F give the 27 characters of
// Windows-1252 there and the five bytes it leaves undefined (0x81 0x8D 0x8F
// 0x90 0x9D) give the UTF-16 units of the same value.
int32_t AnsiToWide(const char* source, int32_t sourceLength, char16_t* destination,
                   int32_t destinationCapacity) noexcept;

// WideCharToMultiByte(CP_ACP, ..., no default character), converting unit by
// unit. A unit the code page cannot represent exactly becomes '?': no
// look-alike substitution (so a full-width solidus never turns into a path
// separator), and each half of a surrogate pair, paired or not, becomes its
// own '?'. Same length, capacity and failure rules as AnsiToWide.
int32_t WideToAnsi(const char16_t* source, int32_t sourceLength, char* destination,
                   int32_t destinationCapacity) noexcept;

// The one lock of the library's process-wide state (the caches of shared
// signature libraries and finder tables; process_state.h holds it for a
// scope): a static mutex on POSIX, a slim reader/writer lock on Windows. Needs no construction, never fails and never throws. Not
// recursive: hold it only around short work that takes no other lock.
void LockProcessState() noexcept;
void UnlockProcessState() noexcept;

// GetModuleFileNameA: the full, absolute path of a module's file.
// `module` is any address inside the module (on Windows a module handle is
// one: the module's base address). Returns the path's length without the
// terminator when it fits in `size` bytes with its NUL. When it does not fit,
// the buffer holds its first size - 1 bytes and a NUL and the result is
// `size`. Returns 0 on failure (and stores an empty string when size > 0).
// Outside Windows a path the loader recorded as relative is made absolute
// against the current directory: call this early, as the module entry does.
uint32_t ModuleFileName(const void* module, char* buffer, uint32_t size) noexcept;

// A file read whole.
struct FileContents {
  HeapArray<uint8_t> bytes;  // null when the file was empty
  uint64_t size = 0;                 // the file's size when it was opened
  size_t read = 0;                   // bytes read: fewer than size when the file shrank meanwhile
};

// Reads a regular file whole without ever waiting: the file is opened
// without blocking and its type checked on the opened file, so a FIFO, a
// device or a folder is refused at once, and a read that would block is a
// read error, not a wait. False, with `contents` empty, when the file cannot
// be opened, is not a regular file, is larger than maxBytes, its buffer
// cannot be allocated or a read fails. Allocates without throwing.
bool ReadRegularFile(const char* path, uint64_t maxBytes, FileContents& contents) noexcept;

// Receives the next part of a file being streamed, in order.
using FileChunkSink = void (*)(const uint8_t* bytes, size_t length, void* context) noexcept;

// Reads a regular file from its start through `buffer`, handing each part
// read to `sink`, opened and checked as ReadRegularFile does (never waits),
// and allocates nothing. Reads at most the size the file had when it was
// opened; a file that shrank ends early. False when the file cannot be
// opened, is not a regular file, is larger than maxBytes, the buffer is
// empty or a read fails: `sink` may then have had the parts read before the
// failure, which the caller discards.
bool StreamRegularFile(const char* path, uint64_t maxBytes, std::span<uint8_t> buffer, FileChunkSink sink,
                       void* context) noexcept;

// The path separator of file names on this system.
inline constexpr char PathSeparator =
#ifdef _WIN32
    '\\';
#else
    '/';
#endif

// FILETIME: 100-nanosecond intervals since 1601-01-01 00:00 UTC. Values from
// 0x8000000000000000 up are not times; the last one is
// 0x7FFFFFFFFFFFFFFF = 30828-09-14 02:48:05.4775807 UTC.
using FileTime = uint64_t;
inline constexpr FileTime LastFileTime = 0x7FFF'FFFF'FFFF'FFFF;

// SYSTEMTIME's fields, in SYSTEMTIME's order.
struct CalendarTime {
  uint16_t year;
  uint16_t month;      // 1 = January
  uint16_t dayOfWeek;  // 0 = Sunday
  uint16_t day;
  uint16_t hour;
  uint16_t minute;
  uint16_t second;
  uint16_t milliseconds;
};

// FileTimeToLocalFileTime: the same instant in local time, shifted by the
// current offset from UTC (today's, not the one in force at the converted
// instant). Outside Windows the zone is TZ as the C library read it on its
// first conversion; the call never reads or changes the environment itself. False, leaving *local untouched, for a null `local`, for values
// above LastFileTime and when the shifted value would leave 0..LastFileTime.
bool UtcToLocalFileTime(FileTime utc, FileTime* local) noexcept;

// FileTimeToSystemTime: the calendar fields of a FILETIME, milliseconds
// truncated; covers 1601-01-01 to the last FILETIME in 30828. False, leaving
// *out untouched, for a null `out` and for values above LastFileTime.
bool FileTimeToCalendar(FileTime time, CalendarTime* out) noexcept;

}  // namespace veltor::platform
