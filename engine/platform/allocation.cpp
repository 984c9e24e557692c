// The engine's raw allocation calls, alone in their file (see allocation.h).
#include "engine/platform/allocation.h"

#include <cstdlib>

namespace veltor {

void* AllocateMemory(size_t bytes) noexcept { return std::malloc(bytes); }

void* AllocateZeroedMemory(size_t count, size_t size) noexcept { return std::calloc(count, size); }

void FreeMemory(void* memory) noexcept { std::free(memory); }

}  // namespace veltor
