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
#include <algorithm>
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

// A growable array for the engine's builds, which must fail by a result,
// never by an exception: the standard containers throw when memory runs out.
//
// Contract:
// - Every operation that may allocate (Reserve, Resize, Assign, Append,
//   AppendRange) returns false when memory runs out or a size would
//   overflow, and then leaves the array exactly as it was.
// - Nothing else allocates; nothing throws. Element types must be
//   trivially copyable, or nothrow move-constructible; nothrow
//   default-constructible where Resize creates them; nothrow destructible.
// - Elements are contiguous: pointers into the array stay valid until an
//   operation that may allocate succeeds, or until Release.
// - Growth by Append doubles the capacity (at least 8); Reserve, Resize and
//   Assign allocate exactly what they are asked for, so an array sized once
//   holds no slack.
template <typename T>
class GrowableArray {
  static_assert(std::is_trivially_copyable_v<T> || std::is_nothrow_move_constructible_v<T>);
  static_assert(std::is_nothrow_destructible_v<T>);
  static_assert(alignof(T) <= alignof(std::max_align_t));

 public:
  GrowableArray() noexcept = default;
  GrowableArray(const GrowableArray&) = delete;
  GrowableArray& operator=(const GrowableArray&) = delete;
  GrowableArray(GrowableArray&& other) noexcept
      : items(other.items), count(other.count), room(other.room) {
    other.items = nullptr;
    other.count = other.room = 0;
  }
  GrowableArray& operator=(GrowableArray&& other) noexcept {
    if (this != &other) {
      Release();
      items = other.items;
      count = other.count;
      room = other.room;
      other.items = nullptr;
      other.count = other.room = 0;
    }
    return *this;
  }
  ~GrowableArray() { Release(); }

  T* data() noexcept { return items; }
  const T* data() const noexcept { return items; }
  size_t size() const noexcept { return count; }
  size_t capacity() const noexcept { return room; }
  bool empty() const noexcept { return count == 0; }
  T& operator[](size_t i) noexcept { return items[i]; }
  const T& operator[](size_t i) const noexcept { return items[i]; }
  T* begin() noexcept { return items; }
  T* end() noexcept { return items + count; }
  const T* begin() const noexcept { return items; }
  const T* end() const noexcept { return items + count; }
  T& back() noexcept { return items[count - 1]; }
  const T& back() const noexcept { return items[count - 1]; }
  // Bytes allocated, for memory reports.
  size_t Bytes() const noexcept { return room * sizeof(T); }

  // Room for `capacity` elements in all.
  bool Reserve(size_t capacity) noexcept {
    if (capacity <= room) return true;
    if (capacity > SIZE_MAX / sizeof(T)) return false;
    T* moved = static_cast<T*>(AllocateMemory(capacity * sizeof(T)));
    if (moved == nullptr) return false;
    if constexpr (std::is_trivially_copyable_v<T>) {
      if (count != 0) std::memcpy(static_cast<void*>(moved), items, count * sizeof(T));
    } else {
      for (size_t i = 0; i < count; ++i) {
        ::new (static_cast<void*>(moved + i)) T(static_cast<T&&>(items[i]));
        items[i].~T();
      }
    }
    FreeMemory(items);
    items = moved;
    room = capacity;
    return true;
  }

  // `size` elements: the first ones kept, new ones value-initialised (plain
  // data zeroed), surplus ones destroyed.
  bool Resize(size_t size) noexcept {
    static_assert(std::is_nothrow_default_constructible_v<T>);
    if (!Reserve(size)) return false;
    Truncate(size);
    for (; count < size; ++count) ::new (static_cast<void*>(items + count)) T();
    return true;
  }

  // `size` copies of `value`, nothing else (trivially copyable types).
  bool Assign(size_t size, const T& value) noexcept {
    static_assert(std::is_trivially_copyable_v<T>);
    const T copy = value;  // `value` may be one of the elements
    if (!Reserve(size)) return false;
    count = size;
    for (size_t i = 0; i < size; ++i) items[i] = copy;
    return true;
  }

  bool Append(const T& value) noexcept {
    static_assert(std::is_trivially_copyable_v<T>);
    const T copy = value;  // `value` may be one of the elements
    if (!Grow()) return false;
    ::new (static_cast<void*>(items + count)) T(copy);
    ++count;
    return true;
  }

  bool Append(T&& value) noexcept {
    if (!Grow()) return false;
    ::new (static_cast<void*>(items + count)) T(static_cast<T&&>(value));
    ++count;
    return true;
  }

  // Appends `added` elements copied from `from` (trivially copyable types;
  // `from` must not point into this array).
  bool AppendRange(const T* from, size_t added) noexcept {
    static_assert(std::is_trivially_copyable_v<T>);
    if (added > SIZE_MAX / sizeof(T) - count) return false;
    if (count + added > room && !Reserve(std::max(count + added, GrownCapacity()))) return false;
    if (added != 0) std::memcpy(static_cast<void*>(items + count), from, added * sizeof(T));
    count += added;
    return true;
  }

  // Destroys the elements from `size` on; keeps the memory.
  void Truncate(size_t size) noexcept {
    while (count > size) items[--count].~T();
  }
  void Clear() noexcept { Truncate(0); }

  // Destroys every element and frees the memory.
  void Release() noexcept {
    Clear();
    FreeMemory(items);
    items = nullptr;
    room = 0;
  }

 private:
  size_t GrownCapacity() const noexcept {
    return room < 8 ? 8 : room > SIZE_MAX / 2 / sizeof(T) ? SIZE_MAX / sizeof(T) : 2 * room;
  }
  bool Grow() noexcept { return count < room || (count < SIZE_MAX / sizeof(T) && Reserve(GrownCapacity())); }

  T* items = nullptr;
  size_t count = 0;
  size_t room = 0;
};

}  // namespace veltor
