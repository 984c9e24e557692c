// The services on Windows: the system's own calls, with the argument checks
// and range guards that make them keep the contracts of platform.h.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <utility>

#include "engine/platform/file_contents.h"
#include "engine/platform/platform.h"

namespace veltor::platform {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 units are wchar_t on Windows");
static_assert(sizeof(CalendarTime) == sizeof(SYSTEMTIME), "CalendarTime mirrors SYSTEMTIME");

int32_t AnsiToWide(const char* source, int32_t sourceLength, char16_t* destination,
                   int32_t destinationCapacity) noexcept {
  if (source == nullptr || sourceLength == 0 || sourceLength < -1) return 0;
  return MultiByteToWideChar(CP_ACP, 0, source, sourceLength, reinterpret_cast<wchar_t*>(destination),
                             destinationCapacity);
}

int32_t WideToAnsi(const char16_t* source, int32_t sourceLength, char* destination,
                   int32_t destinationCapacity) noexcept {
  if (source == nullptr || sourceLength == 0 || sourceLength < -1) return 0;
  // No best-fit look-alikes: with them a full-width reverse solidus becomes
  // '\' and a UTF-16 path could turn into another, existing path. Without
  // them every character the code page lacks becomes '?', which no file name
  // contains.
  return WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, reinterpret_cast<const wchar_t*>(source),
                             sourceLength, destination, destinationCapacity, nullptr, nullptr);
}

namespace {

// Statically initialised: it exists before any constructor runs.
SRWLOCK processState = SRWLOCK_INIT;

}  // namespace

void LockProcessState() noexcept { AcquireSRWLockExclusive(&processState); }

void UnlockProcessState() noexcept { ReleaseSRWLockExclusive(&processState); }

uint32_t ModuleFileName(const void* module, char* buffer, uint32_t size) noexcept {
  if (buffer == nullptr || size == 0) return 0;
  buffer[0] = '\0';
  HMODULE handle = nullptr;
  if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          static_cast<LPCSTR>(module), &handle)) {
    return 0;
  }
  const DWORD length = GetModuleFileNameA(handle, buffer, size);
  if (length == 0) {
    buffer[0] = '\0';
    return 0;
  }
  // Some Windows versions (and Wine) leave a cut path unterminated.
  if (length >= size) {
    buffer[size - 1] = '\0';
    return size;
  }
  return length;
}

namespace {

// Opens a disk file for reading; INVALID_HANDLE_VALUE when it cannot be
// opened or is not a disk file (a pipe or a character device could make a
// read wait). `size` receives its size.
HANDLE OpenRegularFile(const char* path, uint64_t& size) noexcept {
  if (path == nullptr) return INVALID_HANDLE_VALUE;
  const HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return file;
  LARGE_INTEGER fileSize{};
  if (GetFileType(file) != FILE_TYPE_DISK || !GetFileSizeEx(file, &fileSize) || fileSize.QuadPart < 0) {
    CloseHandle(file);
    return INVALID_HANDLE_VALUE;
  }
  size = static_cast<uint64_t>(fileSize.QuadPart);
  return file;
}

struct HandleCloser {
  HANDLE handle;
  ~HandleCloser() {
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }
};

}  // namespace

bool StreamRegularFile(const char* path, uint64_t maxBytes, std::span<uint8_t> buffer, FileChunkSink sink,
                       void* context) noexcept {
  if (buffer.empty() || sink == nullptr) return false;
  uint64_t size = 0;
  const HandleCloser file{OpenRegularFile(path, size)};
  if (file.handle == INVALID_HANDLE_VALUE || size > maxBytes) return false;
  const DWORD most = buffer.size() > (DWORD{1} << 30) ? (DWORD{1} << 30) : static_cast<DWORD>(buffer.size());
  uint64_t done = 0;
  while (done < size) {
    const DWORD chunk = size - done < most ? static_cast<DWORD>(size - done) : most;
    DWORD got = 0;
    if (!ReadFile(file.handle, buffer.data(), chunk, &got, nullptr)) return false;
    if (got == 0) break;  // the file shrank after it was sized
    sink(buffer.data(), got, context);
    done += got;
  }
  return true;
}

bool ReadRegularFile(const char* path, uint64_t maxBytes, FileContents& contents) noexcept {
  contents = FileContents{};
  uint64_t size = 0;
  const HandleCloser closer{OpenRegularFile(path, size)};
  if (closer.handle == INVALID_HANDLE_VALUE) return false;
  const HANDLE file = closer.handle;
  FileContents read;
  if (!PrepareFileContents(size, maxBytes, read)) return false;
  while (read.read < size) {
    const uint64_t left = size - read.read;
    const DWORD chunk = left > (DWORD{1} << 30) ? (DWORD{1} << 30) : static_cast<DWORD>(left);
    DWORD got = 0;
    if (!ReadFile(file, read.bytes.get() + read.read, chunk, &got, nullptr)) return false;
    if (got == 0) break;  // the file shrank after it was sized
    read.read += got;
  }
  contents = std::move(read);
  return true;
}

namespace {

FILETIME ToFileTime(FileTime time) {
  return FILETIME{static_cast<DWORD>(time & 0xFFFF'FFFFu), static_cast<DWORD>(time >> 32)};
}

FileTime FromFileTime(const FILETIME& time) {
  return (static_cast<FileTime>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

}  // namespace

bool UtcToLocalFileTime(FileTime utc, FileTime* local) noexcept {
  if (local == nullptr || utc > LastFileTime) return false;
  const FILETIME source = ToFileTime(utc);
  FILETIME converted{};
  if (!FileTimeToLocalFileTime(&source, &converted)) return false;
  // The system shifts modulo 2^64; with an in-range input and an offset of
  // less than a day, leaving the range shows as a value above LastFileTime.
  const FileTime result = FromFileTime(converted);
  if (result > LastFileTime) return false;
  *local = result;
  return true;
}

bool FileTimeToCalendar(FileTime time, CalendarTime* out) noexcept {
  if (out == nullptr || time > LastFileTime) return false;
  const FILETIME source = ToFileTime(time);
  SYSTEMTIME fields{};
  if (!FileTimeToSystemTime(&source, &fields)) return false;
  *out = CalendarTime{fields.wYear,   fields.wMonth,  fields.wDayOfWeek, fields.wDay,
                      fields.wHour,   fields.wMinute, fields.wSecond,    fields.wMilliseconds};
  return true;
}

}  // namespace veltor::platform
