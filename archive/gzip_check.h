#pragma once
// Checks a gzip stream's trailers as its packed bytes go by.
//
// libarchive unpacks gzip without comparing each member's CRC-32 and length
// with its trailer, so a damaged stream whose deflate data still decodes
// would pass as read whole. The check inflates the same packed bytes once
// more with zlib, which compares both, and keeps only the verdict. It is
// fed every packed byte in order, from the first; bytes that do not start
// as gzip turn it off. Members follow one another (a concatenated gzip);
// what follows the last member and does not start a new one is trailing
// data the check leaves to the reader, as libarchive does.
//
// libarchive undoes a gzip inside a gzip in the same reader, so the walk
// never sees the bytes between the two: what the check inflates is checked
// in turn when it is gzip itself, as deep as MaxNestedGzip.
#include <cstdint>
#include <memory>
#include <span>

namespace veltor::archive {

enum class GzipVerdict {
  NotGzip,     // not a gzip stream, or not checked
  Unfinished,  // a member has not reached its trailer yet
  Intact,      // every member read so far matched its trailer
  CrcMismatch,
  LengthMismatch,
  OutOfMemory,
};

// libarchive stacks at most this many decompressions in one reader.
inline constexpr uint32_t MaxNestedGzip = 25;

struct GzipCheckState;
struct GzipCheckRelease {
  void operator()(GzipCheckState* state) const noexcept;
};

struct GzipCheck {
  std::unique_ptr<GzipCheckState, GzipCheckRelease> state;
  GzipVerdict verdict = GzipVerdict::NotGzip;
  uint32_t depth = 0;         // 0 for the stream the walk reads
  uint8_t first[2]{};         // the first bytes, until two are known
  uint32_t firstCount = 0;
  bool decided = false;       // the first two bytes were seen
};

// Feeds the next packed bytes. Once the verdict is a mismatch or out of
// memory, further bytes change nothing.
void FeedGzipCheck(GzipCheck& check, std::span<const uint8_t> packed) noexcept;

// The verdict over the stream and the gzip streams found inside it: the
// first mismatch, else Unfinished if any has not reached its trailer.
GzipVerdict FinalGzipVerdict(const GzipCheck& check) noexcept;

// The reason to report for a mismatch verdict; null for the others.
const char* GzipMismatchReason(GzipVerdict verdict) noexcept;

}  // namespace veltor::archive
