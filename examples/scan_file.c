/*
 * A minimal host: opens a database, scans one file and prints every report.
 *
 *   scan_file DATABASE FILE     (use - as DATABASE for the default database
 *                                beside the library)
 *
 * Exit status: 0 nothing reported, 1 something reported, 2 an error.
 *
 * VeltorFileA returns 0 both for a clean file and for one it could not scan
 * (missing, unreadable, not a regular file, larger than 16,777,216 bytes),
 * so a host that must not take "not scanned" for "clean" checks the file
 * itself first, as below.
 */
#include <stdio.h>
#include <string.h>

#include "veltor.h"

static void VELTOR_CALL PrintReport(int32_t level, const char* name, void* userData) {
  const char* file = (const char*)userData;
  printf("%s: %s (level %d)\n", file, name != NULL ? name : "", (int)level);
}

int main(int argc, char** argv) {
  ScanHandle* handle;
  VeltorSystemTime built;
  int32_t reports;
  FILE* file;
  long size;

  if (argc != 3) {
    fprintf(stderr, "usage: %s DATABASE|- FILE\n", argv[0]);
    return 2;
  }
  handle = VeltorNewA(strcmp(argv[1], "-") == 0 ? NULL : argv[1]);
  if (handle == NULL) {
    fprintf(stderr, "%s: cannot open the database\n", argv[1]);
    return 2;
  }
  if (VeltorGetLibDate(handle, &built)) {
    fprintf(stderr, "database built %04u-%02u-%02u %02u:%02u (local time)\n", (unsigned)built.wYear,
            (unsigned)built.wMonth, (unsigned)built.wDay, (unsigned)built.wHour, (unsigned)built.wMinute);
  }
  /* What VeltorFileA would answer 0 for without scanning: a file that cannot
   * be opened, or one larger than the 16,777,216 bytes the export reads
   * (the veltor program streams files of any size). */
  file = fopen(argv[2], "rb");
  if (file == NULL) {
    perror(argv[2]);
    VeltorDelete(handle);
    return 2;
  }
  size = fseek(file, 0, SEEK_END) == 0 ? ftell(file) : -1;
  fclose(file);
  if (size < 0 || size > 16777216L) {
    fprintf(stderr, "%s: %s\n", argv[2],
            size < 0 ? "cannot tell its size (not a regular file?)" : "larger than 16,777,216 bytes: not scanned");
    VeltorDelete(handle);
    return 2;
  }
  reports = VeltorFileA(handle, argv[2], PrintReport, argv[2]);
  VeltorDelete(handle);
  return reports > 0 ? 1 : 0;
}
