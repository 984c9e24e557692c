/*
 * A C host that loads the library at run time under a series of address
 * space limits (RLIMIT_AS), one child process per limit. At every limit the
 * child must end normally with either no library, no handle, or exactly the
 * reports an unlimited child gets: never an abort, a signal or a handle that
 * misses what it should report.
 *
 *   address_limit_host LIBRARY DATABASE FILE FROM_KIB TO_KIB STEP_KIB [WHOLE_RUN]
 *
 * Limits run from FROM_KIB to TO_KIB in steps of STEP_KIB; with WHOLE_RUN,
 * the sweep stops once that many limits in a row gave a whole handle, and
 * must reach such a run. Without it every limit is tried and the last must
 * give a whole handle. FILE holds what the host's text holds (it may be much
 * larger), so a whole handle reports the same for both.
 *
 * Exit status: 0 every limit behaved, 1 some did not, 2 a usage error.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include "veltor.h"

/* A child's exit status: its report count (below 100), or one of these. */
enum { NoLibrary = 100, NoHandle = 101, Disagreement = 102 };

static int RunChild(const char* library, const char* database, const char* file, rlim_t limit) {
  struct rlimit rl;
  void* module;
  VeltorNewAProc newA;
  VeltorFileAProc fileA;
  VeltorMemoryAProc memoryA;
  VeltorDeleteProc deleteHandle;
  ScanHandle* handle;
  int32_t fromFile;
  int32_t fromMemory;
  static const char text[] = "an EICAR-like needle";

  if (limit != RLIM_INFINITY) {
    rl.rlim_cur = limit;
    rl.rlim_max = limit;
    if (setrlimit(RLIMIT_AS, &rl) != 0) return NoLibrary;
  }
  module = dlopen(library, RTLD_NOW | RTLD_LOCAL);
  if (module == NULL) return NoLibrary;
  /* The usual cast for dlsym results; ISO C leaves it undefined, POSIX does not. */
  *(void**)&newA = dlsym(module, "VeltorNewA");
  *(void**)&fileA = dlsym(module, "VeltorFileA");
  *(void**)&memoryA = dlsym(module, "VeltorMemoryA");
  *(void**)&deleteHandle = dlsym(module, "VeltorDelete");
  if (newA == NULL || fileA == NULL || memoryA == NULL || deleteHandle == NULL) return NoLibrary;
  handle = newA(database);
  if (handle == NULL) return NoHandle;
  fromFile = fileA(handle, file, NULL, NULL);
  fromMemory = memoryA(handle, text, (int32_t)(sizeof text - 1), NULL, NULL);
  deleteHandle(handle);
  if (fromFile != fromMemory || fromFile < 0 || fromFile >= NoLibrary) return Disagreement;
  return (int)fromFile;
}

/* Runs one child; its exit status, or -1 (with a message) when it did not
 * exit normally. */
static int Run(const char* library, const char* database, const char* file, rlim_t limit) {
  int status = 0;
  const pid_t child = fork();
  if (child < 0) return -1;
  if (child == 0) _exit(RunChild(library, database, file, limit));
  if (waitpid(child, &status, 0) != child) return -1;
  if (WIFSIGNALED(status)) {
    fprintf(stderr, "limit %lu KiB: killed by signal %d\n", (unsigned long)(limit >> 10), WTERMSIG(status));
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int main(int argc, char** argv) {
  const rlim_t kibibyte = (rlim_t)1 << 10;
  rlim_t limit;
  rlim_t from;
  rlim_t to;
  rlim_t step;
  long wholeRun = 0;
  int expected;
  int failures = 0;
  int noLibrary = 0;
  int noHandle = 0;
  long whole = 0;

  if (argc != 7 && argc != 8) {
    fprintf(stderr, "usage: %s LIBRARY DATABASE FILE FROM_KIB TO_KIB STEP_KIB [WHOLE_RUN]\n", argv[0]);
    return 2;
  }
  from = (rlim_t)strtoul(argv[4], NULL, 10) * kibibyte;
  to = (rlim_t)strtoul(argv[5], NULL, 10) * kibibyte;
  step = (rlim_t)strtoul(argv[6], NULL, 10) * kibibyte;
  if (argc == 8) wholeRun = strtol(argv[7], NULL, 10);
  if (step == 0 || from > to) {
    fprintf(stderr, "bad limits\n");
    return 2;
  }
  expected = Run(argv[1], argv[2], argv[3], RLIM_INFINITY);
  if (expected <= 0 || expected >= NoLibrary) {
    fprintf(stderr, "without a limit: exit status %d, expected reports\n", expected);
    return 1;
  }
  /* From far too little to plenty. */
  for (limit = from; limit <= to && (wholeRun == 0 || whole < wholeRun); limit += step) {
    const int status = Run(argv[1], argv[2], argv[3], limit);
    if (status == NoLibrary) {
      ++noLibrary;
      whole = 0;
    } else if (status == NoHandle) {
      ++noHandle;
      whole = 0;
    } else if (status == expected) {
      ++whole;
    } else {
      fprintf(stderr, "limit %lu KiB: exit status %d, expected %d reports, %d or %d\n",
              (unsigned long)(limit >> 10), status, expected, NoLibrary, NoHandle);
      ++failures;
      whole = 0;
    }
  }
  printf("no library %d, no handle %d, whole handles at the last %ld limits, failures %d\n", noLibrary, noHandle,
         whole, failures);
  if (whole < (wholeRun > 0 ? wholeRun : 1)) {
    fprintf(stderr, "no run of limits gave whole handles\n");
    return 1;
  }
  return failures == 0 ? 0 : 1;
}
