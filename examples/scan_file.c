/*
 * A minimal host: opens a database, scans one file and prints every report.
 *
 *   scan_file DATABASE FILE     (use - as DATABASE for the default database
 *                                beside the library)
 *
 * Exit status: 0 nothing reported, 1 something reported, 2 an error.
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
  reports = VeltorFileA(handle, argv[2], PrintReport, argv[2]);
  VeltorDelete(handle);
  return reports > 0 ? 1 : 0;
}
