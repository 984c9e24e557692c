// The process's cache of finder tables (literal_finder.h): a list of the
// tables in use, each filed under the key it was built from. The list and
// the filing fields are guarded by the platform's process-state lock; the
// reference counts are atomic, so a finder drops its reference without the
// lock, and only the last release takes it, to unlink the tables before
// they are freed. A lookup never revives tables whose count reached 0:
// their last holder is about to unlink and free them.
#include <cstring>

#include "engine/matcher/literal_finder_tables.h"
#include "engine/platform/process_state.h"

namespace veltor {
namespace {

FinderTables* cacheHead = nullptr;  // guarded by the process-state lock
size_t cacheCount = 0;              // likewise

// A 64-bit hash of the key, 8 bytes a step; only narrows the search.
uint64_t KeyHash(std::span<const uint8_t> key) noexcept {
  uint64_t hash = 0x9E3779B97F4A7C15u ^ key.size();
  size_t i = 0;
  for (; i + 8 <= key.size(); i += 8) {
    uint64_t word;
    std::memcpy(&word, key.data() + i, sizeof word);
    hash = (hash ^ word) * 0xFF51AFD7ED558CCDu;
    hash ^= hash >> 32;
  }
  for (; i < key.size(); ++i) hash = (hash ^ key[i]) * 0x100000001B3u;
  return hash ^ (hash >> 29);
}

// With the lock held: the filed tables under `key`, with one reference
// more, or null.
FinderTables* Lookup(std::span<const uint8_t> key, uint64_t hash) noexcept {
  for (FinderTables* t = cacheHead; t != nullptr; t = t->cacheNext) {
    if (t->cacheHash != hash || t->cacheKeyLength != key.size()) continue;
    if (t->keyHolder.matches != nullptr ? !t->keyHolder.matches(t->keyHolder.owner, key)
                                        : !key.empty() && std::memcmp(t->cacheKey.data(), key.data(), key.size()) != 0) {
      continue;
    }
    if (platform::AddReferenceUnlessFreed(t->references)) return t;
  }
  return nullptr;
}

}  // namespace

FinderTablesPtr FindSharedFinderTables(std::span<const uint8_t> key) noexcept {
  const uint64_t hash = KeyHash(key);
  const platform::ProcessStateLock lock;
  return FinderTablesPtr(Lookup(key, hash));
}

namespace {

// Files `tables` under `key` unless equal ones are filed; `keep` moves the
// key's copy into them, if they keep one.
template <typename Keep>
FinderTablesPtr File(FinderTablesPtr tables, std::span<const uint8_t> key, Keep keep) noexcept {
  const uint64_t hash = KeyHash(key);
  FinderTablesPtr dropped;  // released after the lock
  {
    const platform::ProcessStateLock lock;
    if (FinderTables* filed = Lookup(key, hash)) {
      // Built twice at once: the first filed are kept.
      dropped = std::move(tables);
      tables.reset(filed);
    } else {
      keep(*tables);
      tables->cacheKeyLength = key.size();
      tables->cacheHash = hash;
      tables->cacheNext = cacheHead;
      tables->cached = true;
      cacheHead = tables.get();
      ++cacheCount;
    }
  }
  return tables;
}

}  // namespace

FinderTablesPtr ShareFinderTables(FinderTablesPtr tables, GrowableArray<uint8_t>&& key) noexcept {
  if (!tables) return nullptr;
  // Counted before the lock is taken: nobody else holds these tables yet.
  tables->memory += key.Bytes();
  const std::span<const uint8_t> bytes(key.data(), key.size());
  return File(std::move(tables), bytes, [&key](FinderTables& t) { t.cacheKey = std::move(key); });
}

FinderTablesPtr ShareFinderTables(FinderTablesPtr tables, std::span<const uint8_t> key,
                                  FinderKeyHolder holder) noexcept {
  if (!tables) {
    if (holder.release != nullptr) holder.release(holder.owner);
    return nullptr;
  }
  tables->keyHolder = holder;
  return File(std::move(tables), key, [](FinderTables&) {});
}

void ForgetCachedFinderTables(FinderTables* tables) noexcept {
  const platform::ProcessStateLock lock;
  for (FinderTables** link = &cacheHead; *link != nullptr; link = &(*link)->cacheNext) {
    if (*link == tables) {
      *link = tables->cacheNext;
      --cacheCount;
      return;
    }
  }
}

size_t SharedFinderTablesCount() noexcept {
  const platform::ProcessStateLock lock;
  return cacheCount;
}

}  // namespace veltor
