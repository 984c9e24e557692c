#include "support/allocation_failure.h"

#include "engine/platform/allocation.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

namespace veltor::testing {
namespace {

std::atomic<int64_t> liveAllocations{0};
thread_local int64_t allocationsUntilFailure = 0;  // 0: disarmed
thread_local bool failureTriggered = false;

// True when this allocation is the one chosen to fail.
bool ShouldFail() {
  if (allocationsUntilFailure == 0) return false;
  if (--allocationsUntilFailure != 0) return false;
  failureTriggered = true;
  return true;
}

void* Allocate(std::size_t size, bool nothrow) {
  if (ShouldFail()) {
    if (nothrow) return nullptr;
    throw std::bad_alloc();
  }
  void* memory = std::malloc(size == 0 ? 1 : size);
  if (memory == nullptr) {
    if (nothrow) return nullptr;
    throw std::bad_alloc();
  }
  liveAllocations.fetch_add(1, std::memory_order_relaxed);
  return memory;
}

void Release(void* memory) noexcept {
  if (memory == nullptr) return;
  liveAllocations.fetch_sub(1, std::memory_order_relaxed);
  std::free(memory);
}

}  // namespace
}  // namespace veltor::testing

// The engine's own allocation calls (platform/allocation.h), replaced as
// operator new is: linked ahead of the engine's library, these win.
namespace veltor {

void* AllocateMemory(size_t bytes) noexcept { return testing::Allocate(bytes, true); }

void* AllocateZeroedMemory(size_t count, size_t size) noexcept {
  if (size != 0 && count > SIZE_MAX / size) return nullptr;
  void* memory = testing::Allocate(count * size, true);
  if (memory != nullptr) std::memset(memory, 0, count * size);
  return memory;
}

void FreeMemory(void* memory) noexcept { testing::Release(memory); }

}  // namespace veltor

namespace veltor::testing {

int64_t LiveAllocationCount() { return liveAllocations.load(std::memory_order_relaxed); }

AllocationFailureScope::AllocationFailureScope(int64_t failAt) {
  allocationsUntilFailure = failAt;
  failureTriggered = false;
}

AllocationFailureScope::~AllocationFailureScope() { allocationsUntilFailure = 0; }

bool AllocationFailureScope::Triggered() const { return failureTriggered; }

int64_t ForEachAllocationFailure(const std::function<void(const AllocationFailureScope&)>& operation) {
  for (int64_t failAt = 1;; ++failAt) {
    AllocationFailureScope scope(failAt);
    operation(scope);
    if (!scope.Triggered()) return failAt - 1;
  }
}

}  // namespace veltor::testing

// Over-aligned new and delete keep the runtime's own pair; nothing in the
// engine allocates over-aligned memory.
void* operator new(std::size_t size) { return veltor::testing::Allocate(size, false); }
void* operator new[](std::size_t size) { return veltor::testing::Allocate(size, false); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return veltor::testing::Allocate(size, true); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return veltor::testing::Allocate(size, true); }
void operator delete(void* memory) noexcept { veltor::testing::Release(memory); }
void operator delete[](void* memory) noexcept { veltor::testing::Release(memory); }
void operator delete(void* memory, std::size_t) noexcept { veltor::testing::Release(memory); }
void operator delete[](void* memory, std::size_t) noexcept { veltor::testing::Release(memory); }
void operator delete(void* memory, const std::nothrow_t&) noexcept { veltor::testing::Release(memory); }
void operator delete[](void* memory, const std::nothrow_t&) noexcept { veltor::testing::Release(memory); }
