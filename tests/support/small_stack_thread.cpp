#include "support/small_stack_thread.h"

#include <cstdio>
#include <cstdlib>

#ifdef _WIN32
#include <process.h>
#include <windows.h>
#else
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#endif

namespace veltor::testing {
namespace {

#ifdef _WIN32
unsigned __stdcall RunBody(void* body) {
  (*static_cast<const std::function<void()>*>(body))();
  return 0;
}
#else
void* RunBody(void* body) {
  (*static_cast<const std::function<void()>*>(body))();
  return nullptr;
}

constexpr uint8_t Paint = 0xA5;
#endif

// The thread cannot be stopped, so the program ends.
[[noreturn]] void Overran() {
  std::fprintf(stderr, "FAILED: work on a small stack ran past %lld s\n",
               static_cast<long long>(SmallStackDeadline.count()));
  std::fflush(stderr);
  std::_Exit(1);
}

}  // namespace

#ifdef _WIN32

SmallStackRun RunOnSmallStack(size_t stackBytes, const std::function<void()>& body) {
  SmallStackRun run;
  // The size is the reservation, as for the default stack of a thread.
  const uintptr_t thread =
      _beginthreadex(nullptr, static_cast<unsigned>(stackBytes), RunBody, const_cast<std::function<void()>*>(&body),
                     STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (thread == 0) return run;
  const HANDLE handle = reinterpret_cast<HANDLE>(thread);
  const auto milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(SmallStackDeadline).count();
  if (WaitForSingleObject(handle, static_cast<DWORD>(milliseconds)) == WAIT_TIMEOUT) Overran();
  CloseHandle(handle);
  run.ran = true;
  return run;
}

#else

SmallStackRun RunOnSmallStack(size_t stackBytes, const std::function<void()>& body) {
  SmallStackRun run;
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  stackBytes = (stackBytes + page - 1) / page * page;
  const size_t mappedBytes = stackBytes + page;
  void* mapping = mmap(nullptr, mappedBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapping == MAP_FAILED) return run;
  uint8_t* guard = static_cast<uint8_t*>(mapping);
  uint8_t* stack = guard + page;
  if (mprotect(guard, page, PROT_NONE) == 0) {
    std::memset(stack, Paint, stackBytes);
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) == 0) {
      pthread_t thread;
      if (pthread_attr_setstack(&attributes, stack, stackBytes) == 0 &&
          pthread_create(&thread, &attributes, RunBody, const_cast<std::function<void()>*>(&body)) == 0) {
        timespec deadline{};
        clock_gettime(CLOCK_REALTIME, &deadline);
        deadline.tv_sec += SmallStackDeadline.count();
        const int joined = pthread_timedjoin_np(thread, nullptr, &deadline);
        if (joined == ETIMEDOUT) Overran();
        run.ran = joined == 0;
        // The stack grows down from its top: the lowest byte no longer
        // painted marks the deepest point reached (the thread's own record
        // at the top counts as used).
        size_t untouched = 0;
        while (untouched < stackBytes && stack[untouched] == Paint) ++untouched;
        run.peakStackBytes = stackBytes - untouched;
      }
      pthread_attr_destroy(&attributes);
    }
  }
  munmap(mapping, mappedBytes);
  return run;
}

#endif

}  // namespace veltor::testing
