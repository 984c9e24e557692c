#include "archive/archive_walk.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <iterator>
#include <map>
#include <tuple>
#include <utility>
#include <memory>
#include <new>
#include <vector>

#include "archive/gzip_check.h"
#include "engine/text/little_endian.h"

#if VELTOR_HAVE_LIBARCHIVE
#include <archive.h>
#include <archive_entry.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

namespace veltor::archive {

#if !VELTOR_HAVE_LIBARCHIVE

bool ArchivesSupported() noexcept { return false; }

const char* ArchiveLibraryVersion() noexcept { return ""; }

WalkResult WalkArchive(const ArchiveInput&, std::string_view, const ArchiveLimits&, const ArchiveSink&) noexcept {
  return {WalkOutcome::Unsupported};
}

WalkResult WalkArchiveDescriptor(int, std::string_view, const ArchiveLimits&, const ArchiveSink&) noexcept {
  return {WalkOutcome::Unsupported};
}

WalkResult WalkArchiveBuffer(std::span<const uint8_t>, std::string_view, const ArchiveLimits&,
                             const ArchiveSink&) noexcept {
  return {WalkOutcome::Unsupported};
}

#else

namespace {

// Bytes a container reader may take while libarchive decides what a stream
// is. They are kept so that a zip or 7-Zip file found inside another file
// can be opened from memory whole. Format detection reads a few tens of
// KiB; only a recognised archive (one whose index sits at its end) reads
// further.
constexpr size_t DetectionReplayCap = size_t{4} << 20;

struct ArchiveDeleter {
  void operator()(struct archive* handle) const noexcept { archive_read_free(handle); }
};
using ArchivePtr = std::unique_ptr<struct archive, ArchiveDeleter>;

// The state of one walk over one file, shared by every depth.
struct Walk {
  const ArchiveLimits& limits;
  const ArchiveSink& sink;
  // The outermost file's bytes read so far, each counted once: the readers
  // of zip and 7-Zip files seek to the index at the end and back, and so
  // read parts of the file again. `packedRanges` holds the parts read
  // (start to end, neither overlapping nor touching).
  uint64_t packedRead = 0;
  std::map<uint64_t, uint64_t> packedRanges{};
  WalkResult result{};
  std::vector<std::string> path{};
  uint32_t level = 0;         // members open at once (see ArchiveSink)
  uint64_t heldInMemory = 0;  // members held whole to be opened, every depth
  // Set when a limit, the sink or exhausted memory ends the walk: every
  // depth then unwinds without reporting the read failures that follow.
  bool stopped = false;
  bool sinkStopped = false;
  bool outOfMemory = false;
};

void Report(Walk& walk, ProblemKind kind, std::string_view reason) noexcept {
  (kind == ProblemKind::Error ? walk.result.errors : walk.result.incomplete) = true;
  if (walk.sink.problem != nullptr) walk.sink.problem(walk.sink.user, walk.path, kind, reason);
}

void OutOfMemory(Walk& walk) noexcept {
  if (walk.outOfMemory) return;
  walk.outOfMemory = true;
  walk.stopped = true;
  Report(walk, ProblemKind::Error, "out of memory");
}

void LimitReached(Walk& walk, const char* limit, uint64_t value) noexcept {
  if (walk.stopped) return;
  walk.stopped = true;
  char reason[96];
  std::snprintf(reason, sizeof reason, "%s limit (%llu)", limit, static_cast<unsigned long long>(value));
  Report(walk, ProblemKind::Incomplete, reason);
}

std::string ErrorText(struct archive* handle) {
  const char* text = archive_error_string(handle);
  return text != nullptr && *text != '\0' ? std::string(text) : std::string("unreadable archive");
}

// Notes that the outermost file's bytes from `start` to `end` were read;
// those not read before count toward walk.packedRead.
// The first range the new one touches becomes the merged one (its node
// reused), so that reading on from a range, or again inside it, allocates
// nothing.
void CountPacked(Walk& walk, uint64_t start, uint64_t end) {
  uint64_t fresh = end - start;
  uint64_t mergedStart = start, mergedEnd = end;
  auto range = walk.packedRanges.upper_bound(start);
  if (range != walk.packedRanges.begin() && std::prev(range)->second >= start) --range;
  std::map<uint64_t, uint64_t>::node_type merged;
  while (range != walk.packedRanges.end() && range->first <= end) {
    const uint64_t overlapStart = std::max(start, range->first), overlapEnd = std::min(end, range->second);
    if (overlapEnd > overlapStart) fresh -= overlapEnd - overlapStart;
    mergedStart = std::min(mergedStart, range->first);
    mergedEnd = std::max(mergedEnd, range->second);
    if (merged.empty()) {
      merged = walk.packedRanges.extract(range++);
    } else {
      range = walk.packedRanges.erase(range);
    }
  }
  if (merged.empty()) {
    walk.packedRanges.emplace(mergedStart, mergedEnd);
  } else {
    merged.key() = mergedStart;
    merged.mapped() = mergedEnd;
    walk.packedRanges.insert(std::move(merged));
  }
  walk.packedRead += fresh;
}

// Counts `count` freshly unpacked bytes against the limits; the count that
// may be handed over (fewer when the unpacked limit falls inside them).
size_t CountUnpacked(Walk& walk, size_t count) noexcept {
  const ArchiveLimits& limits = walk.limits;
  const uint64_t allowed = limits.maxUnpacked - std::min(limits.maxUnpacked, walk.result.unpackedBytes);
  if (count > allowed) {
    count = static_cast<size_t>(allowed);
    walk.result.unpackedBytes += count;
    LimitReached(walk, "unpacked bytes", limits.maxUnpacked);
    return count;
  }
  walk.result.unpackedBytes += count;
  if (limits.maxRatio != 0 && walk.result.unpackedBytes > RatioFloor) {
    const uint64_t packed = std::max<uint64_t>(walk.packedRead, 1);
    if (packed <= UINT64_MAX / limits.maxRatio && walk.result.unpackedBytes > packed * limits.maxRatio) {
      LimitReached(walk, "unpacked to packed ratio", limits.maxRatio);
    }
  }
  return count;
}

// Reads the current member's next bytes: the count, 0 at its end, -1 when
// the walk is stopped or the data is unreadable (`error` says why).
int64_t ReadMemberData(Walk& walk, struct archive* handle, uint8_t* buffer, std::string& error) {
  if (walk.stopped) return -1;
  const la_ssize_t count = archive_read_data(handle, buffer, ArchiveChunkSize);
  if (count < 0) {
    error = ErrorText(handle);
    return -1;
  }
  return static_cast<int64_t>(CountUnpacked(walk, static_cast<size_t>(count)));
}

struct BufferInput {
  std::span<const uint8_t> bytes;
  size_t offset = 0;
};

int64_t BufferRead(void* user, uint8_t* buffer, size_t capacity, std::string&) {
  auto* input = static_cast<BufferInput*>(user);
  const size_t count = std::min(capacity, input->bytes.size() - input->offset);
  if (count != 0) std::memcpy(buffer, input->bytes.data() + input->offset, count);
  input->offset += count;
  return static_cast<int64_t>(count);
}

int64_t BufferSeek(void* user, int64_t offset, int whence) {
  auto* input = static_cast<BufferInput*>(user);
  const int64_t base = whence == SEEK_SET   ? 0
                       : whence == SEEK_CUR ? static_cast<int64_t>(input->offset)
                                            : static_cast<int64_t>(input->bytes.size());
  if (offset > static_cast<int64_t>(input->bytes.size()) - base || base + offset < 0) return -1;
  input->offset = static_cast<size_t>(base + offset);
  return base + offset;
}

// Reads exactly `length` bytes at `offset`; false when it cannot.
bool ReadAt(const ArchiveInput& input, int64_t offset, uint8_t* buffer, size_t length) {
  if (input.seek(input.user, offset, SEEK_SET) != offset) return false;
  std::string ignored;
  while (length != 0) {
    const int64_t count = input.read(input.user, buffer, length, ignored);
    if (count <= 0) return false;
    buffer += count;
    length -= static_cast<size_t>(count);
  }
  return true;
}

// libarchive reads a zip's whole central directory into memory before its
// first entry, about 170 bytes per entry. A zip (one that starts as zips
// do) that declares more entries than the member limit, or too many for
// its end record to count (zip64), is read as a stream instead, entry by
// entry, so that the limit stops it before its directory fills memory.
bool ReadZipAsStream(const ArchiveInput& input, uint64_t maxMembers) {
  if (input.seek == nullptr || input.size < 22) return false;
  const int64_t saved = input.seek(input.user, 0, SEEK_CUR);
  uint8_t start[4];
  bool stream = false;
  if (saved >= 0 && ReadAt(input, 0, start, sizeof start) && start[0] == 'P' && start[1] == 'K' && start[2] == 3 &&
      start[3] == 4) {
    // The end record: 22 bytes and a comment of at most 65,535.
    std::vector<uint8_t> tail(static_cast<size_t>(std::min<int64_t>(input.size, 22 + 65535)));
    if (ReadAt(input, input.size - static_cast<int64_t>(tail.size()), tail.data(), tail.size())) {
      for (size_t at = tail.size() - 22 + 1; at-- > 0;) {
        if (tail[at] == 'P' && tail[at + 1] == 'K' && tail[at + 2] == 5 && tail[at + 3] == 6) {
          const uint32_t entries = tail[at + 10] | (uint32_t{tail[at + 11]} << 8);
          stream = entries == 0xffff || entries > maxMembers;
          break;
        }
      }
    }
  }
  input.seek(input.user, saved, SEEK_SET);
  return stream;
}

// libarchive reads a 7-Zip file's whole header into memory, unpacked, and
// builds a record per entry from it before the first entry is returned:
// memory grows with the header, whatever the member limit. The header's
// unpacked size is read from the file's start header (and, for a packed
// header, from the description of how it is packed) and checked first.
constexpr uint64_t SevenZipHeaderBytesPerMember = 256;

struct HeaderCursor {
  std::span<const uint8_t> bytes;
  size_t at = 0;
  bool ok = true;

  uint8_t Byte() {
    if (at >= bytes.size()) {
      ok = false;
      return 0;
    }
    return bytes[at++];
  }
  // A 7-Zip number: the first byte's leading one bits count the bytes that
  // follow, little-endian, above its remaining bits.
  uint64_t Number() {
    const uint8_t first = Byte();
    uint64_t value = 0;
    for (int i = 0; i < 8; ++i) {
      const auto mask = static_cast<uint8_t>(0x80u >> i);
      if ((first & mask) == 0) return value | (uint64_t{static_cast<uint8_t>(first & (mask - 1))} << (8 * i));
      value |= uint64_t{Byte()} << (8 * i);
    }
    return value;
  }
  void Skip(uint64_t count) {
    if (count > bytes.size() - std::min(at, bytes.size())) ok = false;
    at = ok ? at + static_cast<size_t>(count) : bytes.size();
  }
};

// The largest size a packed header's coders declare they unpack to, and
// the packed size; 0 when the description cannot be read (libarchive then
// judges the file itself).
std::pair<uint64_t, uint64_t> PackedHeaderSizes(HeaderCursor header) {
  uint64_t packed = 0;
  if (header.Byte() != 0x17 || header.Byte() != 0x06) return {0, 0};  // encoded header, pack info
  header.Number();                                                     // where the packed header starts
  const uint64_t streams = header.Number();
  for (uint8_t id = header.Byte(); header.ok && id != 0; id = header.Byte()) {
    if (id == 0x09) {
      for (uint64_t i = 0; i < streams && header.ok; ++i) packed += header.Number();
    } else if (id == 0x0A) {
      uint64_t defined = streams;
      if (header.Byte() == 0) {
        defined = 0;
        for (uint64_t i = 0; i < (streams + 7) / 8 && header.ok; ++i) {
          defined += static_cast<uint64_t>(std::popcount(header.Byte()));
        }
      }
      header.Skip(4 * defined);
    } else {
      return {0, 0};
    }
  }
  if (header.Byte() != 0x07 || header.Byte() != 0x0B) return {0, 0};  // unpack info, folders
  const uint64_t folders = header.Number();
  if (header.Byte() != 0 || folders > header.bytes.size()) return {0, 0};
  uint64_t outputs = 0;
  for (uint64_t folder = 0; folder < folders && header.ok; ++folder) {
    const uint64_t coders = header.Number();
    uint64_t inputs = 0, folderOutputs = 0;
    for (uint64_t coder = 0; coder < coders && header.ok; ++coder) {
      const uint8_t flags = header.Byte();
      header.Skip(flags & 0x0Fu);
      inputs += (flags & 0x10u) != 0 ? header.Number() : 1;
      folderOutputs += (flags & 0x10u) != 0 ? header.Number() : 1;
      if ((flags & 0x20u) != 0) header.Skip(header.Number());
    }
    if (folderOutputs == 0 || folderOutputs > header.bytes.size() || inputs > header.bytes.size()) return {0, 0};
    for (uint64_t pair = 0; pair + 1 < folderOutputs && header.ok; ++pair) header.Number(), header.Number();
    if (inputs - std::min(inputs, folderOutputs - 1) > 1) {
      for (uint64_t i = 0; i < inputs - (folderOutputs - 1) && header.ok; ++i) header.Number();
    }
    outputs += folderOutputs;
  }
  if (header.Byte() != 0x0C) return {0, 0};  // the unpacked sizes
  uint64_t largest = 0;
  for (uint64_t i = 0; i < outputs && header.ok; ++i) largest = std::max(largest, header.Number());
  return header.ok ? std::pair{largest, packed} : std::pair<uint64_t, uint64_t>{0, 0};
}

// The limit a 7-Zip file's header breaks, if any: its unpacked size past
// SevenZipHeaderBytesPerMember per allowed member, or, packed, past the
// ratio limit (once past RatioFloor).
const char* SevenZipHeaderOverLimit(const ArchiveInput& input, const ArchiveLimits& limits, uint64_t& limit) {
  if (input.seek == nullptr || input.size < 32) return nullptr;
  const int64_t saved = input.seek(input.user, 0, SEEK_CUR);
  uint8_t start[32];
  const char* over = nullptr;
  static constexpr uint8_t Signature[] = {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C};
  if (saved >= 0 && ReadAt(input, 0, start, sizeof start) && std::equal(Signature, Signature + 6, start)) {
    const uint64_t offset = LoadU64(start + 12), size = LoadU64(start + 20);
    uint64_t unpacked = size, packed = size;
    // A packed header's description is a few dozen bytes; more is not one.
    std::vector<uint8_t> description(static_cast<size_t>(std::min<uint64_t>(size, 4096)));
    if (offset <= static_cast<uint64_t>(input.size) - 32 && size > 0 && !description.empty() &&
        ReadAt(input, static_cast<int64_t>(32 + offset), description.data(), description.size()) &&
        description[0] == 0x17) {
      std::tie(unpacked, packed) = PackedHeaderSizes({description});
    }
    if (unpacked / SevenZipHeaderBytesPerMember > limits.maxMembers) {
      over = "member";
      limit = limits.maxMembers;
    } else if (limits.maxRatio != 0 && unpacked > RatioFloor &&
               unpacked / std::max<uint64_t>(packed, 1) > limits.maxRatio) {
      over = "unpacked to packed ratio";
      limit = limits.maxRatio;
    }
  }
  input.seek(input.user, saved, SEEK_SET);
  return over;
}

// The outermost file, read through the caller's input.
struct TopSource {
  Walk* walk;
  const ArchiveInput* input;
  std::unique_ptr<uint8_t[]> buffer;
  bool countsPacked = true;  // false for a member held in memory
  uint64_t offset = 0;        // where the next read starts
  GzipCheck* gzip = nullptr;  // when set, checks the bytes read as gzip
  bool failed = false;
  std::string error{};
};

// A source's chunk buffer: none for bytes in memory, which TopRead hands
// to libarchive where they lie.
std::unique_ptr<uint8_t[]> ChunkBuffer(const ArchiveInput& input) {
  return input.read == BufferRead ? nullptr : std::make_unique_for_overwrite<uint8_t[]>(ArchiveChunkSize);
}

la_ssize_t TopRead(struct archive* handle, void* data, const void** block) noexcept {
  auto* source = static_cast<TopSource*>(data);
  try {
    const ArchiveInput& input = *source->input;
    const uint8_t* chunk = source->buffer.get();
    int64_t count = 0;
    if (input.read == BufferRead) {
      // The same chunks BufferRead would copy out, without the copy.
      auto* memory = static_cast<BufferInput*>(input.user);
      chunk = memory->bytes.data() + memory->offset;
      count = static_cast<int64_t>(std::min(ArchiveChunkSize, memory->bytes.size() - memory->offset));
      memory->offset += static_cast<size_t>(count);
    } else {
      count = input.read(input.user, source->buffer.get(), ArchiveChunkSize, source->error);
    }
    if (count < 0) {
      source->failed = true;
      archive_set_error(handle, EIO, "%s", source->error.c_str());
      return -1;
    }
    if (source->countsPacked) CountPacked(*source->walk, source->offset, source->offset + static_cast<uint64_t>(count));
    source->offset += static_cast<uint64_t>(count);
    if (source->gzip != nullptr) FeedGzipCheck(*source->gzip, {chunk, static_cast<size_t>(count)});
    *block = chunk;
    return static_cast<la_ssize_t>(count);
  } catch (const std::bad_alloc&) {
    OutOfMemory(*source->walk);
    archive_set_error(handle, ENOMEM, "out of memory");
    return -1;
  }
}

la_int64_t TopSeek(struct archive*, void* data, la_int64_t offset, int whence) noexcept {
  auto* source = static_cast<TopSource*>(data);
  const int64_t position = source->input->seek(source->input->user, offset, whence);
  if (position < 0) return ARCHIVE_FATAL;
  source->offset = static_cast<uint64_t>(position);
  return position;
}

// A stream read from another reader's current entry: a member's bytes, or
// what a compression unpacks to. Every chunk is taken once and, as it is
// taken, handed to the member open at `level` (0: to none, the bytes are
// already handed over below) and counted against the limits (unless it is
// its reader's input unchanged). `prefix` (bytes taken already) comes
// first. While `recording`, the bytes taken are kept for a replay.
struct NestedSource {
  Walk* walk;
  struct archive* outer;
  std::unique_ptr<uint8_t[]> buffer;
  uint32_t level = 0;
  bool counts = true;
  bool recording = false;
  bool replayLost = false;
  bool ended = false;
  uint64_t taken = 0;   // bytes taken so far
  bool failed = false;  // the stream is unreadable: `error` says why
  std::string error{};
  GzipCheck* gzip = nullptr;  // when set, checks the bytes taken as gzip
  std::vector<uint8_t> replay{};
  std::vector<uint8_t> prefix{};
  size_t prefixOffset = 0;
};

// The next chunk of the stream into source.buffer: its length, 0 at the
// end, -1 when the walk stopped or the stream is unreadable.
int64_t Pull(NestedSource& source) {
  Walk& walk = *source.walk;
  if (source.ended || source.failed || walk.stopped) return source.ended ? 0 : -1;
  int64_t count = 0;
  if (source.counts) {
    count = ReadMemberData(walk, source.outer, source.buffer.get(), source.error);
  } else {
    const la_ssize_t read = archive_read_data(source.outer, source.buffer.get(), ArchiveChunkSize);
    if (read < 0) source.error = ErrorText(source.outer);
    count = walk.stopped ? -1 : read;
  }
  if (count < 0) {
    source.failed = !walk.stopped;
    return -1;
  }
  if (count == 0) {
    source.ended = true;
    return 0;
  }
  source.taken += static_cast<uint64_t>(count);
  const std::span<const uint8_t> bytes(source.buffer.get(), static_cast<size_t>(count));
  if (source.gzip != nullptr) FeedGzipCheck(*source.gzip, bytes);
  if (source.level != 0 && !walk.sink.memberBytes(walk.sink.user, source.level, bytes)) {
    walk.stopped = walk.sinkStopped = true;
    return -1;
  }
  if (source.recording) {
    if (source.replay.size() + bytes.size() > DetectionReplayCap) {
      source.recording = false;
      source.replayLost = true;
      std::vector<uint8_t>().swap(source.replay);
    } else {
      source.replay.insert(source.replay.end(), bytes.begin(), bytes.end());
    }
  }
  return count;
}

// Reads the stream to its end: what a reader left unread is handed over too.
void Drain(NestedSource& source) {
  while (Pull(source) > 0) {
  }
}

la_ssize_t NestedRead(struct archive* handle, void* data, const void** block) noexcept {
  auto* source = static_cast<NestedSource*>(data);
  if (source->prefixOffset < source->prefix.size()) {
    const size_t count = std::min(ArchiveChunkSize, source->prefix.size() - source->prefixOffset);
    *block = source->prefix.data() + source->prefixOffset;
    source->prefixOffset += count;
    return static_cast<la_ssize_t>(count);
  }
  try {
    const int64_t count = Pull(*source);
    if (count < 0) {
      archive_set_error(handle, EIO, "%s", source->walk->stopped ? "stopped" : source->error.c_str());
      return -1;
    }
    *block = source->buffer.get();
    return static_cast<la_ssize_t>(count);
  } catch (const std::bad_alloc&) {
    OutOfMemory(*source->walk);
    archive_set_error(handle, ENOMEM, "out of memory");
    return -1;
  }
}

// The compressions a walk undoes, with the raw format: a reader of these
// yields what a stream unpacks to (itself, when it is not compressed).
// Filters that would run an external program stay off.
void EnableCompressions(struct archive* handle) noexcept {
  archive_read_support_filter_gzip(handle);
  archive_read_support_filter_bzip2(handle);
  archive_read_support_filter_xz(handle);
  archive_read_support_filter_lzma(handle);
  archive_read_support_filter_lzip(handle);
  archive_read_support_filter_zstd(handle);
  archive_read_support_filter_lz4(handle);
  archive_read_support_filter_compress(handle);
  archive_read_support_format_raw(handle);
}

// The containers a walk opens. Text-guessing formats (mtree) stay off so
// that ordinary text members are not taken for archives.
void EnableFormats(struct archive* handle) noexcept {
  archive_read_support_format_tar(handle);
  archive_read_support_format_zip(handle);
  archive_read_support_format_7zip(handle);
  archive_read_support_format_iso9660(handle);
  archive_read_support_format_cpio(handle);
  archive_read_support_format_ar(handle);
  archive_read_support_format_rar(handle);
  archive_read_support_format_rar5(handle);
  archive_read_support_format_cab(handle);
  archive_read_support_format_lha(handle);
  archive_read_support_format_xar(handle);
}

// Whether a reader of EnableCompressions could find a compression in bytes
// that start so: false only when none of its compressions can take them,
// each judged by what it requires of the first bytes (a magic number; for
// lzma, which has none, a dictionary size lzma writes). Such bytes are read
// as themselves, so that reader need not be opened for them. Kept beside
// EnableCompressions: a compression added there is added here.
bool MayBeCompressed(std::span<const uint8_t> bytes) noexcept {
  const auto startsWith = [bytes](std::string_view magic) {
    return bytes.size() >= magic.size() && std::memcmp(bytes.data(), magic.data(), magic.size()) == 0;
  };
  if (bytes.empty()) return false;
  if (bytes[0] == 0x1F || bytes[0] == 0xFD) return true;  // gzip and compress; xz
  if (startsWith("BZh") || startsWith("LZIP")) return true;
  if (bytes.size() >= 4) {
    const uint32_t first = LoadU32(bytes.data());
    if (first == 0xFD2FB528u || (first & 0xFFFFFFF0u) == 0x184D2A50u) return true;  // zstd; skippable frames
    if (first == 0x184D2204u || first == 0x184C2102u) return true;                   // lz4; its legacy format
  }
  if (bytes.size() >= 5) {
    const uint32_t dictionary = LoadU32(bytes.data() + 1);
    if (std::has_single_bit(dictionary) && dictionary >= (uint32_t{1} << 12) && dictionary <= (uint32_t{1} << 27)) {
      return true;
    }
    if (dictionary >= 0x300000u && dictionary <= 0x3F00000u && (dictionary & 0xFFFFFu) == 0) return true;
  }
  return false;
}

// Whether a reader of EnableFormats could find a container in bytes held
// whole in memory: false only when none of its formats can take them, each
// judged by what its test of the bytes requires (read with seeking, as
// WalkSeekable reads). Kept beside EnableFormats: a format added there is
// added here.
bool MayBeContainer(std::span<const uint8_t> bytes) noexcept {
  const auto startsWith = [bytes](std::string_view magic) {
    return bytes.size() >= magic.size() && std::memcmp(bytes.data(), magic.data(), magic.size()) == 0;
  };
  // Programs, where 7-Zip, RAR, cab and LHa archives are looked for after
  // the program's own bytes.
  if (startsWith("MZ") || startsWith("\x7f" "ELF")) return true;
  if (startsWith("PK") || startsWith("7z\xbc\xaf") || startsWith("Rar!") || startsWith("MSCF") ||
      startsWith("xar!") || startsWith("!<") || startsWith("0707")) {
    return true;  // zip read as a stream, 7-Zip, RAR (both), cab, xar, ar, cpio's text headers
  }
  if (bytes.size() >= 2 && ((bytes[0] == 0x71 && bytes[1] == 0xC7) || (bytes[0] == 0xC7 && bytes[1] == 0x71))) {
    return true;  // cpio's binary headers
  }
  if (bytes.size() >= 3 && bytes[2] == '-') return true;  // LHa's method ("-lh5-") at offset 2
  // tar: a first block whose checksum field holds only an octal number
  // (digits, spaces, NULs), a block of zeros included.
  constexpr size_t TarBlock = 512, ChecksumAt = 148, ChecksumSize = 8;
  if (bytes.size() >= TarBlock &&
      std::all_of(bytes.begin() + ChecksumAt, bytes.begin() + ChecksumAt + ChecksumSize,
                  [](uint8_t c) { return c == ' ' || c == 0 || (c >= '0' && c <= '7'); })) {
    return true;
  }
  // ISO 9660: its volume descriptors start 32 KiB in.
  if (bytes.size() > (size_t{32} << 10)) return true;
  // zip read from its central directory: the end record's signature, looked
  // for near the end (here anywhere).
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  return text.find("PK\x05\x06") != std::string_view::npos;
}

bool HasCompression(struct archive* handle) noexcept {
  return archive_filter_count(handle) > 1;  // the last filter is the client's bytes
}

// What a container reader's first header says about its bytes. The bytes
// themselves are handed over whatever this says: it decides only whether
// members are walked as well.
enum class Recognised {
  No,       // no container: the bytes only
  Empty,    // a container without a member (an empty tar, a block of zeros)
  Yes,      // a container whose members are walked
  Damaged,  // a container that cannot be read: an error
};

Recognised Classify(struct archive* handle, int openStatus, int headerStatus) {
  if (openStatus != ARCHIVE_OK) return Recognised::No;
  if (headerStatus == ARCHIVE_EOF) return Recognised::Empty;
  if (headerStatus == ARCHIVE_OK || headerStatus == ARCHIVE_WARN) return Recognised::Yes;
  return archive_format(handle) != 0 ? Recognised::Damaged : Recognised::No;
}

std::string_view LastName(std::string_view path) {
  while (!path.empty() && path.back() == '/') path.remove_suffix(1);
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// What a compressed stream unpacks to is named after it without the
// compression's suffix.
std::string RawMemberName(std::string_view container) {
  container = LastName(container);
  static constexpr std::string_view Suffixes[] = {".gz", ".bz2", ".xz", ".lzma", ".lz", ".zst", ".lz4", ".Z", ".tgz"};
  for (std::string_view suffix : Suffixes) {
    if (container.size() > suffix.size() && container.ends_with(suffix)) {
      std::string name(container.substr(0, container.size() - suffix.size()));
      if (suffix == ".tgz") name += ".tar";
      return name;
    }
  }
  return "data";
}

std::string EntryName(struct archive_entry* entry) {
  const char* name = archive_entry_pathname_utf8(entry);
  if (name == nullptr) name = archive_entry_pathname(entry);
  if (name == nullptr || *name == '\0') return "?";
  std::string_view view(name);
  while (view.starts_with("./")) view.remove_prefix(2);
  return std::string(view.empty() ? std::string_view("?") : view);
}

void WalkEntries(Walk& walk, struct archive* handle, int status, struct archive_entry* entry);

void DepthLimit(Walk& walk) {
  char reason[64];
  std::snprintf(reason, sizeof reason, "archive depth limit (%u)", walk.limits.maxDepth);
  Report(walk, ProblemKind::Incomplete, reason);
}

// Opens a container held in memory, with seeking, and walks it. A `probe`
// (a program that may carry an archive) that holds none is left alone.
void WalkInMemory(Walk& walk, std::span<const uint8_t> bytes, bool probe) {
  BufferInput memory{bytes};
  ArchiveInput input{&memory, BufferRead, BufferSeek, static_cast<int64_t>(bytes.size())};
  if (ReadZipAsStream(input, walk.limits.maxMembers)) input.seek = nullptr;
  uint64_t limit = 0;
  if (const char* over = SevenZipHeaderOverLimit(input, walk.limits, limit)) {
    LimitReached(walk, over, limit);
    return;
  }
  TopSource source{&walk, &input, ChunkBuffer(input), false};
  ArchivePtr handle(archive_read_new());
  if (!handle) throw std::bad_alloc();
  EnableFormats(handle.get());
  archive_read_set_read_callback(handle.get(), TopRead);
  if (input.seek != nullptr) archive_read_set_seek_callback(handle.get(), TopSeek);
  archive_read_set_callback_data(handle.get(), &source);
  const int openStatus = archive_read_open1(handle.get());
  struct archive_entry* first = nullptr;
  const int status = openStatus == ARCHIVE_OK ? archive_read_next_header(handle.get(), &first) : ARCHIVE_FATAL;
  if (probe && Classify(handle.get(), openStatus, status) != Recognised::Yes) return;
  WalkEntries(walk, handle.get(), status, first);
}

// Whether the bytes start as a program (where a self-extracting archive
// keeps its archive, after the program).
bool IsProgram(std::span<const uint8_t> start) {
  return start.size() >= 4 && ((start[0] == 'M' && start[1] == 'Z') ||
                               (start[0] == 0x7f && start[1] == 'E' && start[2] == 'L' && start[3] == 'F'));
}

// Zip and 7-Zip files keep their index at their end: one inside another
// file is read whole into memory (its bytes handed over as they come) and
// opened from there, with seeking. A zip too large for that is read as a
// stream from its local headers; a 7-Zip file cannot be, and is an error.
// A program is probed the same way for an archive after it; one too large
// is only scanned as bytes.
void WalkIndexed(Walk& walk, NestedSource& source, bool sevenZip, bool probe = false) {
  if (source.replayLost) {
    if (probe) return;
    char reason[96];
    std::snprintf(reason, sizeof reason, "not opened: more than %zu bytes read before its first entry",
                  DetectionReplayCap);
    Report(walk, ProblemKind::Error, reason);
    return;
  }
  std::vector<uint8_t> bytes;
  bytes.swap(source.replay);
  source.recording = false;
  bool complete = false;
  while (walk.heldInMemory + bytes.size() <= InMemoryArchiveLimit) {
    const int64_t count = Pull(source);
    if (count <= 0) {
      complete = count == 0;
      break;
    }
    bytes.insert(bytes.end(), source.buffer.get(), source.buffer.get() + count);
  }
  if (walk.stopped || source.failed) return;
  if (complete) {
    walk.heldInMemory += bytes.size();
    WalkInMemory(walk, bytes, probe);
    walk.heldInMemory -= bytes.size();
    return;
  }
  if (probe) return;
  if (sevenZip) {
    char reason[96];
    std::snprintf(reason, sizeof reason, "7-Zip member larger than %llu bytes: not opened",
                  static_cast<unsigned long long>(InMemoryArchiveLimit));
    Report(walk, ProblemKind::Error, reason);
    return;
  }
  source.prefix = std::move(bytes);
  source.prefixOffset = 0;
  ArchivePtr inner(archive_read_new());
  if (!inner) throw std::bad_alloc();
  EnableFormats(inner.get());
  struct archive_entry* first = nullptr;
  const int status = archive_read_open(inner.get(), &source, nullptr, NestedRead, nullptr) == ARCHIVE_OK
                         ? archive_read_next_header(inner.get(), &first)
                         : ARCHIVE_FATAL;
  WalkEntries(walk, inner.get(), status, first);
}

// Walks the container `source` holds, if it is one, its members named
// after walk.path (in place of its last name when `sibling`: the members
// of a compressed tar are named as members of the compressed file).
void WalkContainer(Walk& walk, NestedSource& source, bool sibling) {
  source.recording = true;
  ArchivePtr reader(archive_read_new());
  if (!reader) throw std::bad_alloc();
  EnableFormats(reader.get());
  const int openStatus = archive_read_open(reader.get(), &source, nullptr, NestedRead, nullptr);
  struct archive_entry* first = nullptr;
  const int headerStatus = openStatus == ARCHIVE_OK ? archive_read_next_header(reader.get(), &first) : ARCHIVE_FATAL;
  if (walk.stopped || source.failed) return;
  const Recognised recognised = Classify(reader.get(), openStatus, headerStatus);
  const int format = archive_format(reader.get()) & ARCHIVE_FORMAT_BASE_MASK;
  // Zip and 7-Zip read as a stream may fail where the index would not.
  const bool indexed = (recognised == Recognised::Yes || recognised == Recognised::Damaged) &&
                       (format == ARCHIVE_FORMAT_ZIP || format == ARCHIVE_FORMAT_7ZIP);
  // libarchive finds a self-extractor's archive only with seeking.
  const bool probe = recognised == Recognised::No && !source.replayLost && IsProgram(source.replay);
  if (!indexed && !probe) {
    source.recording = false;
    std::vector<uint8_t>().swap(source.replay);
  }
  if (recognised == Recognised::Damaged && !indexed) return Report(walk, ProblemKind::Error, ErrorText(reader.get()));
  if (recognised != Recognised::Yes && !indexed && !probe) return;
  if (walk.path.size() + (sibling ? 0 : 1) > walk.limits.maxDepth) {
    if (!probe) DepthLimit(walk);
    return;
  }
  std::string name;
  if (sibling) {
    name = std::move(walk.path.back());
    walk.path.pop_back();
  }
  if (indexed || probe) {
    reader.reset();
    WalkIndexed(walk, source, format == ARCHIVE_FORMAT_7ZIP, probe);
  } else {
    WalkEntries(walk, reader.get(), headerStatus, first);
  }
  if (sibling) walk.path.push_back(std::move(name));
}

// What the gzip check found once a stream was unpacked to its end without
// another error: a trailer that does not match, or one never reached, is
// damage, whatever was read before it.
void ReportGzipCheck(Walk& walk, const GzipCheck& check) {
  const GzipVerdict verdict = FinalGzipVerdict(check);
  switch (verdict) {
    case GzipVerdict::NotGzip:
    case GzipVerdict::Intact: return;
    case GzipVerdict::OutOfMemory: return OutOfMemory(walk);
    case GzipVerdict::Unfinished: return Report(walk, ProblemKind::Error, "gzip stream ends before its trailer");
    case GzipVerdict::CrcMismatch:
    case GzipVerdict::LengthMismatch: return Report(walk, ProblemKind::Error, GzipMismatchReason(verdict));
  }
}

// Hands over what the compressed stream read by `reader` unpacks to, as the
// member named after walk.path's last name (or `container`), and walks it.
// `gzip` has seen the packed bytes `reader` read.
void WalkUnpacked(Walk& walk, struct archive* reader, std::string_view container, const GzipCheck& gzip) {
  walk.path.push_back(RawMemberName(container));
  if (++walk.result.members > walk.limits.maxMembers) {
    LimitReached(walk, "member", walk.limits.maxMembers);
  } else if (!walk.sink.memberBegin(walk.sink.user, walk.path, ++walk.level)) {
    walk.stopped = walk.sinkStopped = true;
  } else {
    NestedSource unpacked{&walk, reader, std::make_unique_for_overwrite<uint8_t[]>(ArchiveChunkSize), walk.level};
    WalkContainer(walk, unpacked, true);
    Drain(unpacked);
    if (unpacked.failed) {
      Report(walk, ProblemKind::Error, unpacked.error);
    } else if (!walk.stopped) {
      ReportGzipCheck(walk, gzip);
    }
    if (!walk.sinkStopped) walk.sink.memberEnd(walk.sink.user, walk.path, walk.level);
    --walk.level;
  }
  walk.path.pop_back();
}

// The member at walk.path, the current entry of `outer`: handed over whole,
// and walked as well if it is compressed or a container.
void ScanMember(Walk& walk, struct archive* outer) {
  if (!walk.sink.memberBegin(walk.sink.user, walk.path, ++walk.level)) {
    walk.stopped = walk.sinkStopped = true;
    return;
  }
  NestedSource member{&walk, outer, std::make_unique_for_overwrite<uint8_t[]>(ArchiveChunkSize), walk.level};
  GzipCheck gzip;
  member.gzip = &gzip;
  // A reader of compressions alone: what it yields is what the member
  // unpacks to, or the member itself.
  ArchivePtr peel(archive_read_new());
  if (!peel) throw std::bad_alloc();
  EnableCompressions(peel.get());
  const int openStatus = archive_read_open(peel.get(), &member, nullptr, NestedRead, nullptr);
  struct archive_entry* entry = nullptr;
  const int headerStatus = openStatus == ARCHIVE_OK ? archive_read_next_header(peel.get(), &entry) : ARCHIVE_FATAL;
  if (!walk.stopped && !member.failed) {
    const bool opened = headerStatus == ARCHIVE_OK || headerStatus == ARCHIVE_WARN;
    // The raw format takes any bytes: a reader that fails to open on some
    // has failed to undo their compression.
    if (HasCompression(peel.get()) || (openStatus != ARCHIVE_OK && member.taken != 0)) {
      // A compression recognised but not undone is damage, or compression
      // nested beyond libarchive's stack of filters (a gzip that holds itself).
      if (!opened) {
        Report(walk, ProblemKind::Error, ErrorText(peel.get()));
      } else if (walk.path.size() >= walk.limits.maxDepth) {
        DepthLimit(walk);
      } else {
        WalkUnpacked(walk, peel.get(), walk.path.back(), gzip);
      }
    } else if (opened) {
      NestedSource same{&walk, peel.get(), std::make_unique_for_overwrite<uint8_t[]>(ArchiveChunkSize), 0, false};
      WalkContainer(walk, same, false);
      Drain(same);
    }
  }
  peel.reset();
  Drain(member);
  if (member.failed) Report(walk, ProblemKind::Error, member.error);
  if (!walk.sinkStopped) walk.sink.memberEnd(walk.sink.user, walk.path, walk.level);
  --walk.level;
}

void HandleEntry(Walk& walk, struct archive* handle, struct archive_entry* entry) {
  walk.path.push_back(EntryName(entry));
  if (++walk.result.members > walk.limits.maxMembers) {
    LimitReached(walk, "member", walk.limits.maxMembers);
  } else if (archive_entry_filetype(entry) == AE_IFREG) {
    if (archive_entry_is_data_encrypted(entry) != 0) {
      Report(walk, ProblemKind::Error, "encrypted member (no passphrase)");
    } else {
      ScanMember(walk, handle);
    }
  }
  walk.path.pop_back();
}

void WalkEntries(Walk& walk, struct archive* handle, int status, struct archive_entry* entry) {
  while (!walk.stopped && status != ARCHIVE_EOF) {
    if (status == ARCHIVE_FATAL || status == ARCHIVE_FAILED) {
      Report(walk, ProblemKind::Error, ErrorText(handle));
      if (status == ARCHIVE_FATAL) return;
      // The header was unreadable but the next may not be; each failure
      // counts as a member, so that this ends.
      if (++walk.result.members > walk.limits.maxMembers) {
        LimitReached(walk, "member", walk.limits.maxMembers);
        return;
      }
    } else {
      HandleEntry(walk, handle, entry);
    }
    if (walk.stopped) return;
    status = archive_read_next_header(handle, &entry);
  }
}

WalkOutcome Outcome(const Walk& walk) {
  if (walk.outOfMemory) return WalkOutcome::Failed;
  if (walk.sinkStopped) return WalkOutcome::Stopped;
  return WalkOutcome::Walked;
}

// The outermost file when it is not compressed and can be sought in: its
// container is opened with seeking (a zip from its central directory, so
// that a program or any bytes in front of it do not hide it).
void WalkSeekable(Walk& walk, const ArchiveInput& input) {
  const bool seekable = !ReadZipAsStream(input, walk.limits.maxMembers);
  uint64_t limit = 0;
  if (const char* over = SevenZipHeaderOverLimit(input, walk.limits, limit)) {
    walk.result.outcome = WalkOutcome::Walked;
    return LimitReached(walk, over, limit);
  }
  if (input.seek(input.user, 0, SEEK_SET) != 0) return;
  TopSource source{&walk, &input, ChunkBuffer(input)};
  ArchivePtr handle(archive_read_new());
  if (!handle) throw std::bad_alloc();
  EnableFormats(handle.get());
  archive_read_set_read_callback(handle.get(), TopRead);
  if (seekable) archive_read_set_seek_callback(handle.get(), TopSeek);
  archive_read_set_callback_data(handle.get(), &source);
  const int openStatus = archive_read_open1(handle.get());
  struct archive_entry* first = nullptr;
  const int headerStatus = openStatus == ARCHIVE_OK ? archive_read_next_header(handle.get(), &first) : ARCHIVE_FATAL;
  if (walk.outOfMemory) return;
  if (source.failed) {
    walk.result.outcome = WalkOutcome::Walked;
    return Report(walk, ProblemKind::Error, source.error);
  }
  const Recognised recognised = Classify(handle.get(), openStatus, headerStatus);
  if (recognised == Recognised::No) return;
  walk.result.outcome = WalkOutcome::Walked;
  if (recognised == Recognised::Damaged) return Report(walk, ProblemKind::Error, ErrorText(handle.get()));
  WalkEntries(walk, handle.get(), headerStatus, first);
}

int64_t DescriptorRead(void* user, uint8_t* buffer, size_t capacity, std::string& error) {
  const int descriptor = *static_cast<int*>(user);
  for (;;) {
    const ssize_t count = ::read(descriptor, buffer, capacity);
    if (count >= 0) return count;
    if (errno == EINTR) continue;
    error = std::string("read error: ") + std::strerror(errno);
    return -1;
  }
}

int64_t DescriptorSeek(void* user, int64_t offset, int whence) {
  return ::lseek(*static_cast<int*>(user), static_cast<off_t>(offset), whence);
}

}  // namespace

bool ArchivesSupported() noexcept { return true; }

const char* ArchiveLibraryVersion() noexcept { return archive_version_string(); }

WalkResult WalkArchive(const ArchiveInput& input, std::string_view name, const ArchiveLimits& limits,
                       const ArchiveSink& sink) noexcept {
  Walk walk{limits, sink};
  try {
    if (input.read == BufferRead) {
      const auto& memory = *static_cast<const BufferInput*>(input.user);
      const std::span<const uint8_t> rest = memory.bytes.subspan(memory.offset);
      if (!MayBeCompressed(rest)) {
        // Nor need the reader of containers be, for bytes none can be.
        if (!MayBeContainer(rest)) return walk.result;
        // As the reader of compressions would have found: its first chunk
        // read, and the bytes plain.
        CountPacked(walk, memory.offset, memory.offset + std::min(ArchiveChunkSize, rest.size()));
        WalkSeekable(walk, input);
        if (walk.result.outcome == WalkOutcome::NotArchive) return walk.result;
        walk.result.outcome = Outcome(walk);
        return walk.result;
      }
    }
    // A reader of compressions alone tells whether the file is compressed.
    TopSource source{&walk, &input, ChunkBuffer(input)};
    GzipCheck gzip;
    source.gzip = &gzip;
    ArchivePtr peel(archive_read_new());
    if (!peel) throw std::bad_alloc();
    EnableCompressions(peel.get());
    archive_read_set_read_callback(peel.get(), TopRead);
    archive_read_set_callback_data(peel.get(), &source);
    const int openStatus = archive_read_open1(peel.get());
    struct archive_entry* entry = nullptr;
    const int headerStatus = openStatus == ARCHIVE_OK ? archive_read_next_header(peel.get(), &entry) : ARCHIVE_FATAL;
    const bool opened = headerStatus == ARCHIVE_OK || headerStatus == ARCHIVE_WARN;
    if (walk.outOfMemory) {
      walk.result.outcome = WalkOutcome::Failed;
      return walk.result;
    }
    if (source.failed) {
      Report(walk, ProblemKind::Error, source.error);
      walk.result.outcome = WalkOutcome::Walked;
      return walk.result;
    }
    if (HasCompression(peel.get()) || (openStatus != ARCHIVE_OK && walk.packedRead != 0)) {
      walk.result.outcome = WalkOutcome::Walked;
      if (!opened) {
        Report(walk, ProblemKind::Error, ErrorText(peel.get()));
      } else {
        WalkUnpacked(walk, peel.get(), name, gzip);
      }
    } else if (input.seek != nullptr) {
      peel.reset();
      WalkSeekable(walk, input);
    } else if (opened) {
      // A stream: its container, if any, is read as it comes.
      NestedSource same{&walk, peel.get(), std::make_unique_for_overwrite<uint8_t[]>(ArchiveChunkSize), 0, false};
      WalkContainer(walk, same, false);
      if (walk.result.members != 0 || walk.result.errors || walk.result.incomplete) {
        walk.result.outcome = WalkOutcome::Walked;
      }
    }
    if (walk.result.outcome == WalkOutcome::NotArchive) return walk.result;
  } catch (const std::bad_alloc&) {
    OutOfMemory(walk);
  }
  walk.result.outcome = Outcome(walk);
  return walk.result;
}

WalkResult WalkArchiveDescriptor(int descriptor, std::string_view name, const ArchiveLimits& limits,
                                 const ArchiveSink& sink) noexcept {
  ArchiveInput input{&descriptor, DescriptorRead};
  struct stat status {};
  if (::fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode) && ::lseek(descriptor, 0, SEEK_SET) == 0) {
    input.seek = DescriptorSeek;
    input.size = static_cast<int64_t>(status.st_size);
  }
  return WalkArchive(input, name, limits, sink);
}

WalkResult WalkArchiveBuffer(std::span<const uint8_t> bytes, std::string_view name, const ArchiveLimits& limits,
                             const ArchiveSink& sink) noexcept {
  BufferInput buffer{bytes};
  const ArchiveInput input{&buffer, BufferRead, BufferSeek, static_cast<int64_t>(bytes.size())};
  return WalkArchive(input, name, limits, sink);
}

#endif

}  // namespace veltor::archive
