#include "veltord/stream_pieces.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>

namespace veltor::service {

PieceStore::~PieceStore() {
  for (uint8_t* bytes : idle) munmap(bytes, PieceCapacity);
}

void Piece::Release() {
  if (bytes == nullptr) return;
  if (reserved) store->held -= PieceCapacity;
  reserved = false;
  size = 0;
  {
    std::lock_guard lock(store->mutex);
    // Kept while idle and held together stay within the budget (or a few).
    const uint64_t kept = (store->idle.size() + 1) * PieceCapacity + store->held.load();
    if (store->idle.size() < MinIdlePieces || kept <= store->budget) {
      try {
        store->idle.push_back(std::exchange(bytes, nullptr));
        return;
      } catch (const std::bad_alloc&) {
        // Unmapped instead.
      }
    }
  }
  munmap(std::exchange(bytes, nullptr), PieceCapacity);
}

bool TakePiece(PieceStore& store, Piece& piece) {
  piece = Piece();
  piece.store = &store;
  {
    std::lock_guard lock(store.mutex);
    store.takenSinceTrim = true;
    if (!store.idle.empty()) {
      piece.bytes = store.idle.back();
      store.idle.pop_back();
      return true;
    }
  }
  void* mapped = mmap(nullptr, PieceCapacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) return false;
  piece.bytes = static_cast<uint8_t*>(mapped);
  return true;
}

bool ReservePiece(Piece& piece) {
  if (piece.reserved) return true;
  PieceStore& store = *piece.store;
  uint64_t held = store.held.load();
  do {
    if (held + PieceCapacity > store.budget) return false;
  } while (!store.held.compare_exchange_weak(held, held + PieceCapacity));
  piece.reserved = true;
  return true;
}

void TrimPieces(PieceStore& store) {
  std::vector<uint8_t*> freed;
  {
    std::lock_guard lock(store.mutex);
    if (std::exchange(store.takenSinceTrim, false)) return;
    freed.swap(store.idle);
  }
  for (uint8_t* bytes : freed) munmap(bytes, PieceCapacity);
}

namespace {

// Moves `reader` to the piece holding its offset (the end: past the last).
void Locate(PiecesReader& reader) {
  if (reader.offset < reader.start) {
    reader.index = 0;
    reader.start = 0;
  }
  while (reader.index < reader.pieces.size() && reader.offset >= reader.start + reader.pieces[reader.index].size) {
    reader.start += reader.pieces[reader.index].size;
    ++reader.index;
  }
}

int64_t Read(void* user, uint8_t* buffer, size_t capacity, std::string&) {
  auto& reader = *static_cast<PiecesReader*>(user);
  size_t done = 0;
  while (done < capacity) {
    Locate(reader);
    if (reader.index == reader.pieces.size()) break;
    const Piece& piece = reader.pieces[reader.index];
    const size_t within = static_cast<size_t>(reader.offset - reader.start);
    const size_t count = std::min(capacity - done, piece.size - within);
    std::memcpy(buffer + done, piece.bytes + within, count);
    done += count;
    reader.offset += count;
  }
  return static_cast<int64_t>(done);
}

int64_t Seek(void* user, int64_t offset, int whence) {
  auto& reader = *static_cast<PiecesReader*>(user);
  const int64_t size = static_cast<int64_t>(reader.size);
  const int64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? static_cast<int64_t>(reader.offset) : size;
  // Past the end is allowed, as in a file (reads there find nothing), so
  // that the walk meets a damaged archive's bad offsets as it would in the
  // spool file.
  if (offset < -base || offset > std::numeric_limits<int64_t>::max() - base) return -1;
  reader.offset = static_cast<uint64_t>(base + offset);
  return base + offset;
}

}  // namespace

PiecesReader ReadPieces(std::span<const Piece> pieces) {
  PiecesReader reader{pieces};
  for (const Piece& piece : pieces) reader.size += piece.size;
  return reader;
}

archive::ArchiveInput PiecesInput(PiecesReader& reader) {
  return {&reader, Read, Seek, static_cast<int64_t>(reader.size)};
}

}  // namespace veltor::service
