/*
 * QZVeltor: signature-based content scanning.
 *
 * A host opens an encrypted signature database with VeltorNewA or VeltorNewW,
 * scans files or buffers with VeltorFileA/W or VeltorMemoryA/W, and releases
 * the handle with VeltorDelete. For every top-level rule of the database
 * whose score over the scanned bytes reaches 0.501, the scan calls the host's
 * callback once, with a level (1 for a score of at least 0.999, else 2) and
 * the rule's name, and returns the number of such reports.
 *
 * Threads: the library starts no threads and takes no locks. A handle serves
 * one call at a time; distinct handles share nothing and may be used on
 * different threads at once. Callbacks run on the calling thread, after
 * matching and evaluation are complete. A callback may use other handles
 * freely. With the handle that is reporting to it, a scan call returns 0 at
 * once and changes nothing (the outer scan's reports are unaffected), and
 * VeltorDelete is carried out when the outer scan call returns. Reading a
 * database or a file never waits: anything but a regular file (a FIFO, a
 * device, a folder) is refused at once, and a read that would block fails.
 *
 * Strings: the "A" functions take and give 8-bit strings in the system ANSI
 * code page (Windows-1252 outside Windows); the "W" functions take and give
 * UTF-16, converted to and from that code page.
 *
 * Failures are silent: a null handle, a 0 result. Nothing is thrown or aborts.
 */
#ifndef QZVELTOR_VELTOR_H
#define QZVELTOR_VELTOR_H

#include <stdint.h>

#if defined(_WIN32)
#include <windows.h>
#define VELTOR_CALL __stdcall
#if defined(VELTOR_BUILDING_LIBRARY)
#define VELTOR_API
#else
#define VELTOR_API __declspec(dllimport)
#endif
#else
#define VELTOR_CALL
#define VELTOR_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* A 16-bit UTF-16 code unit: wchar_t on Windows, char16_t in C++ elsewhere,
 * and the same 16-bit unsigned type in C (C11's char16_t). */
#if defined(_WIN32)
typedef wchar_t VeltorWideChar;
#elif defined(__cplusplus)
typedef char16_t VeltorWideChar;
#else
typedef uint_least16_t VeltorWideChar;
#endif

/* The calendar record VeltorGetLibDate fills: Windows' own SYSTEMTIME on
 * Windows, a record of the same layout elsewhere. */
#if defined(_WIN32)
typedef SYSTEMTIME VeltorSystemTime;
#else
typedef struct VeltorSystemTime {
  uint16_t wYear;
  uint16_t wMonth;
  uint16_t wDayOfWeek; /* 0 = Sunday */
  uint16_t wDay;
  uint16_t wHour;
  uint16_t wMinute;
  uint16_t wSecond;
  uint16_t wMilliseconds;
} VeltorSystemTime;
#endif

/* One-byte boolean result: 1 true, 0 false. */
typedef unsigned char VeltorBool;

/* An open database with its scan state. Opaque; owned by the host from
 * VeltorNewA/W until VeltorDelete. */
typedef struct ScanHandle ScanHandle;

/* Report callbacks: level is 1 (score >= 0.999) or 2 (score >= 0.501).
 * ReportCallbackA: name is the rule's NUL-terminated ANSI name as the database
 * holds it, or null for a rule without a name; valid while the handle lives.
 * ReportCallbackW: name is a NUL-terminated UTF-16 copy, empty for a rule
 * without a name; valid only until the callback returns.
 * userData is the pointer the host gave the scan call. */
typedef void(VELTOR_CALL* ReportCallbackA)(int32_t level, const char* name, void* userData);
typedef void(VELTOR_CALL* ReportCallbackW)(int32_t level, const VeltorWideChar* name, void* userData);

/* Opens the database file at path (ANSI), or "qzdata.vlb" in the library's
 * own folder when path is null (an empty string is a path, not the default).
 * Each handle reads and checks its file; handles of identical files share
 * one read-only copy of the loaded database. Returns null when the file is
 * missing, not a regular file, unreadable, foreign or corrupt, or memory runs
 * out: a handle is returned only when every signature and rule is ready to
 * scan. */
VELTOR_API ScanHandle* VELTOR_CALL VeltorNewA(const char* path);

/* VeltorNewA for a UTF-16 path, converted to the ANSI code page first;
 * characters the code page cannot represent generally name no file. */
VELTOR_API ScanHandle* VELTOR_CALL VeltorNewW(const VeltorWideChar* path);

/* Releases a handle and everything it owns. Null is ignored. Called from a
 * callback of a scan with this handle, it takes effect when that scan call
 * returns; the handle must not be used after that. */
VELTOR_API void VELTOR_CALL VeltorDelete(ScanHandle* handle);

/* Fills *out with the database's build time in local time (the current
 * offset from UTC applied). Returns 1 when *out was filled; 0 for a null
 * handle or out, or a build time that cannot be converted. */
VELTOR_API VeltorBool VELTOR_CALL VeltorGetLibDate(ScanHandle* handle, VeltorSystemTime* out);

/* Scans a whole file of 1 to 16,777,216 bytes (ANSI path). Calls callback
 * (may be null) once per reported rule, in the database's rule id order, and
 * returns the number of reports. Returns 0 without calls for a null handle or
 * path, for a handle whose scan is under way (a callback's nested scan), and
 * for a file that is not a regular file, cannot be read, is empty or is
 * larger. */
VELTOR_API int32_t VELTOR_CALL VeltorFileA(ScanHandle* handle, const char* path, ReportCallbackA callback,
                                           void* userData);

/* VeltorFileA for a UTF-16 path; rule names reach the callback as UTF-16. */
VELTOR_API int32_t VELTOR_CALL VeltorFileW(ScanHandle* handle, const VeltorWideChar* path,
                                           ReportCallbackW callback, void* userData);

/* Scans length bytes at bytes (1 to 2,147,483,647; only read, never
 * written). Same reports and result as VeltorFileA; 0 for a null handle or
 * bytes, a length of 0 or less, or a handle whose scan is under way. */
VELTOR_API int32_t VELTOR_CALL VeltorMemoryA(ScanHandle* handle, const void* bytes, int32_t length,
                                             ReportCallbackA callback, void* userData);

/* VeltorMemoryA with rule names reaching the callback as UTF-16. */
VELTOR_API int32_t VELTOR_CALL VeltorMemoryW(ScanHandle* handle, const void* bytes, int32_t length,
                                             ReportCallbackW callback, void* userData);

/* Function pointer types for hosts that load the library at run time. */
typedef ScanHandle*(VELTOR_CALL* VeltorNewAProc)(const char* path);
typedef ScanHandle*(VELTOR_CALL* VeltorNewWProc)(const VeltorWideChar* path);
typedef void(VELTOR_CALL* VeltorDeleteProc)(ScanHandle* handle);
typedef VeltorBool(VELTOR_CALL* VeltorGetLibDateProc)(ScanHandle* handle, VeltorSystemTime* out);
typedef int32_t(VELTOR_CALL* VeltorFileAProc)(ScanHandle*, const char*, ReportCallbackA, void*);
typedef int32_t(VELTOR_CALL* VeltorFileWProc)(ScanHandle*, const VeltorWideChar*, ReportCallbackW, void*);
typedef int32_t(VELTOR_CALL* VeltorMemoryAProc)(ScanHandle*, const void*, int32_t, ReportCallbackA, void*);
typedef int32_t(VELTOR_CALL* VeltorMemoryWProc)(ScanHandle*, const void*, int32_t, ReportCallbackW, void*);

#ifdef __cplusplus
}
#endif

#endif /* QZVELTOR_VELTOR_H */
