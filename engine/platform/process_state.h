#pragma once
// What the process-wide caches (the shared signature libraries, the shared
// finder tables) do alike: hold the process-state lock for a scope, and take
// a reference on a filed object only while it is still alive.
#include <atomic>
#include <cstdint>

#include "engine/platform/platform.h"

namespace veltor::platform {

// Holds the process-state lock (platform.h) from construction to the end of
// its scope.
struct ProcessStateLock {
  ProcessStateLock() noexcept { LockProcessState(); }
  ~ProcessStateLock() { UnlockProcessState(); }
  ProcessStateLock(const ProcessStateLock&) = delete;
  ProcessStateLock& operator=(const ProcessStateLock&) = delete;
};

// Adds one to `references` unless it already reached 0, and says whether it
// did. A count at 0 belongs to an object whose last holder is about to
// unlink and free it: a lookup must not revive it.
inline bool AddReferenceUnlessFreed(std::atomic<int32_t>& references) noexcept {
  int32_t count = references.load(std::memory_order_relaxed);
  while (count > 0 &&
         !references.compare_exchange_weak(count, count + 1, std::memory_order_acquire, std::memory_order_relaxed)) {
  }
  return count > 0;
}

}  // namespace veltor::platform
