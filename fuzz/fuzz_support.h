#pragma once
// Helpers the fuzz targets share: turning raw fuzz data into bodies that get
// past the checksums, and database files on disk for the loader.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

namespace veltor::fuzz {

// Rewrites the magic and the three CRCs of a body so that the parser gets
// past them and reaches the tables and records. The table CRCs are taken
// over the extents the header names, clamped to the body; the header CRC
// last, over the final bytes 0..115. Bodies shorter than the header are left
// as they are.
void FixBodyChecks(std::vector<uint8_t>& body);

// A file private to this process in the temporary folder, removed when the
// record goes (a fuzz run ends through exit, which runs static destructors).
struct ProcessFile {
  explicit ProcessFile(const char* suffix);
  ~ProcessFile();
  ProcessFile(const ProcessFile&) = delete;
  ProcessFile& operator=(const ProcessFile&) = delete;

  std::string path;
};

// Replaces the file at `path` with `bytes`. Aborts when the file cannot be
// written: a fuzz run that silently loads nothing would prove nothing.
void WriteWholeFile(const std::string& path, std::span<const uint8_t> bytes);

// Reads input bytes front to back; past the end every read yields zero, so a
// short input still decodes to something.
struct ByteReader {
  std::span<const uint8_t> bytes;
  size_t position = 0;

  uint8_t Byte() noexcept { return position < bytes.size() ? bytes[position++] : 0; }
  uint32_t Word() noexcept;  // four bytes, little-endian
  // The next `count` bytes, fewer at the end of the input.
  std::span<const uint8_t> Take(size_t count) noexcept;
  std::span<const uint8_t> Rest() noexcept { return Take(bytes.size()); }
  bool Empty() const noexcept { return position >= bytes.size(); }
};

// For the protocol readers: the fuzz data's first byte picks a piece size,
// and the rest, fed whole, byte by byte and in pieces of that size, must
// give the same events. `events(wire, pieceSize)` lists what the reader
// made of the bytes; `same` judges two lists.
template <class Events, class Same>
int CheckSameWhateverThePieces(const uint8_t* data, size_t size, Events events, Same same) {
  if (size == 0) return 0;
  const size_t piece = size_t{data[0]} + 1;
  const std::span<const uint8_t> wire(data + 1, size - 1);
  const auto whole = events(wire, wire.size() + 1);
  if (!same(events(wire, 1), whole) || !same(events(wire, piece), whole)) std::abort();
  return 0;
}

}  // namespace veltor::fuzz
