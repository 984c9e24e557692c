#pragma once
// Pieces of long streams kept in memory: a stream past MemoryStreamBytes is
// gathered in pieces, each fed to its scan by a job and then kept (no spool
// file, no copy) while the service-wide budget (`spool-memory`) allows.
// Each piece is a mapping of its own, so that freeing it gives its memory
// back to the system (pieces from malloc would stay in its arenas); pieces
// freed are kept idle for the next stream until the service has been quiet
// for a moment (TrimPieces), which spares the page faults of new mappings.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <utility>
#include <vector>

#include "archive/archive_walk.h"

namespace veltor::service {

// A stream of up to this many bytes is kept in memory while it arrives and
// scanned there (no file, no reading back); past it, it is gathered in
// pieces of at least this many bytes, each handed to a job once reached.
inline constexpr size_t MemoryStreamBytes = size_t{1} << 20;
// A piece's room: the bound and one read past it (a read takes at most a
// connection's read buffer, 64 KiB); a burst beyond waits in an overflow.
inline constexpr size_t PieceCapacity = MemoryStreamBytes + MemoryStreamBytes / 8;
// Idle pieces kept for the next streams even when the budget is smaller.
inline constexpr size_t MinIdlePieces = 8;

// The service's pieces: those held by streams, counted against `budget`,
// and the idle ones.
struct PieceStore {
  uint64_t budget = 0;  // bytes streams may hold; 0: every long stream goes to its file
  std::atomic<uint64_t> held{0};
  std::mutex mutex;
  std::vector<uint8_t*> idle;
  bool takenSinceTrim = false;
  PieceStore() = default;
  PieceStore(const PieceStore&) = delete;
  PieceStore& operator=(const PieceStore&) = delete;
  ~PieceStore();
};

// One piece: `size` bytes used of PieceCapacity. Freed, it goes back to its
// store idle (and its share of the budget, when `reserved`).
struct Piece {
  PieceStore* store = nullptr;
  uint8_t* bytes = nullptr;
  size_t size = 0;
  bool reserved = false;
  Piece() = default;
  Piece(Piece&& other) noexcept
      : store(other.store), bytes(std::exchange(other.bytes, nullptr)), size(std::exchange(other.size, 0)),
        reserved(std::exchange(other.reserved, false)) {}
  Piece& operator=(Piece&& other) noexcept {
    if (this != &other) {
      Release();
      store = other.store;
      bytes = std::exchange(other.bytes, nullptr);
      size = std::exchange(other.size, 0);
      reserved = std::exchange(other.reserved, false);
    }
    return *this;
  }
  ~Piece() { Release(); }
  std::span<const uint8_t> Used() const { return {bytes, size}; }
  std::span<uint8_t> Room() { return {bytes + size, PieceCapacity - size}; }
  void Release();
};

// An empty piece (idle or newly mapped); false when none can be mapped.
bool TakePiece(PieceStore& store, Piece& piece);

// Counts the piece against the budget; false when it does not fit.
bool ReservePiece(Piece& piece);

// Unmaps the idle pieces unless one was taken since the last call (called
// every second or so: memory goes back once streams stop).
void TrimPieces(PieceStore& store);

// The bytes of `pieces`, in order, read as one file by the archive walk.
struct PiecesReader {
  std::span<const Piece> pieces;
  uint64_t size = 0;
  uint64_t offset = 0;
  size_t index = 0;     // the piece holding `offset`
  uint64_t start = 0;   // where that piece begins
};
PiecesReader ReadPieces(std::span<const Piece> pieces);
archive::ArchiveInput PiecesInput(PiecesReader& reader);

}  // namespace veltor::service
