#pragma once
// The engine's one way to allocate its own buffers and records: the C
// allocator, whose failure is a null result and nothing else. The nothrow
// forms of new are not used: the C++ runtime implements them by throwing and
// catching, and a throw needs the thread's exception state, which the C
// runtime of a C host allocates on first use; when that allocation fails the
// C library ends the process. Everything comes back owned, with a deleter
// that destroys and frees; null is accepted everywhere.
//
// The three raw calls below live alone in allocation.cpp: a test program
// that links its own definitions (tests/support/allocation_failure.cpp)
// fails each allocation in turn.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>

namespace veltor {

// malloc, calloc and free.
void* AllocateMemory(size_t bytes) noexcept;
void* AllocateZeroedMemory(size_t count, size_t size) noexcept;
void FreeMemory(void* memory) noexcept;

namespace allocation {

// Room kept before the elements of an array that must be destroyed one by
// one: their count, padded so that the elements stay aligned.
inline constexpr size_t CountPrefix = alignof(std::max_align_t);

template <typename T>
inline constexpr bool NeedsCount = !std::is_trivially_destructible_v<T>;

}  // namespace allocation

// Destroys the object and frees its memory. Accepts null.
template <typename T>
void DeleteObject(T* object) noexcept {
  if (object == nullptr) return;
  object->~T();
  FreeMemory(object);
}

template <typename T>
struct ObjectRelease {
  void operator()(T* object) const noexcept { DeleteObject(object); }
};
template <typename T>
using HeapObject = std::unique_ptr<T, ObjectRelease<T>>;

// A value-initialised T on the heap; null when memory runs out.
template <typename T>
HeapObject<T> NewObject() noexcept {
  static_assert(std::is_nothrow_default_constructible_v<T>);
  static_assert(alignof(T) <= alignof(std::max_align_t));
  void* memory = AllocateMemory(sizeof(T));
  if (memory == nullptr) return nullptr;
  return HeapObject<T>(::new (memory) T());
}

template <typename T>
struct ArrayRelease {
  void operator()(T* items) const noexcept {
    if (items == nullptr) return;
    if constexpr (allocation::NeedsCount<T>) {
      auto* block = reinterpret_cast<unsigned char*>(items) - allocation::CountPrefix;
      size_t count = 0;
      std::memcpy(&count, block, sizeof count);
      for (size_t i = count; i-- > 0;) items[i].~T();
      FreeMemory(block);
    } else {
      FreeMemory(items);
    }
  }
};
template <typename T>
using HeapArray = std::unique_ptr<T[], ArrayRelease<T>>;

// `count` value-initialised T's (plain data comes zeroed); null when memory
// runs out or the size does not fit. A count of 0 still gives a buffer.
template <typename T>
HeapArray<T> NewArray(size_t count) noexcept {
  static_assert(std::is_nothrow_default_constructible_v<T>);
  static_assert(alignof(T) <= alignof(std::max_align_t));
  const size_t prefix = allocation::NeedsCount<T> ? allocation::CountPrefix : 0;
  if (count > (SIZE_MAX - prefix) / sizeof(T)) return nullptr;
  if constexpr (std::is_trivially_default_constructible_v<T> && !allocation::NeedsCount<T>) {
    return HeapArray<T>(static_cast<T*>(AllocateZeroedMemory(count == 0 ? 1 : count, sizeof(T))));
  } else {
    auto* block = static_cast<unsigned char*>(AllocateMemory(prefix + (count == 0 ? 1 : count) * sizeof(T)));
    if (block == nullptr) return nullptr;
    if constexpr (allocation::NeedsCount<T>) std::memcpy(block, &count, sizeof count);
    T* items = reinterpret_cast<T*>(block + prefix);
    for (size_t i = 0; i < count; ++i) ::new (static_cast<void*>(items + i)) T();
    return HeapArray<T>(items);
  }
}

// `count` T's left unwritten: for buffers about to be filled whole.
template <typename T>
HeapArray<T> NewBuffer(size_t count) noexcept {
  static_assert(std::is_trivially_default_constructible_v<T> && std::is_trivially_destructible_v<T>);
  if (count > SIZE_MAX / sizeof(T)) return nullptr;
  return HeapArray<T>(static_cast<T*>(AllocateMemory((count == 0 ? 1 : count) * sizeof(T))));
}

}  // namespace veltor
