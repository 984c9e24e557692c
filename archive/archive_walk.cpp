#include "archive/archive_walk.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <tuple>
#include <utility>
#include <memory>
#include <new>
#include <vector>

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

// Bytes a nested reader may take while libarchive decides what a member is.
// They are kept so that a member that turns out not to be an archive is
// still handed over whole. Format detection reads a few tens of KiB; only a
// recognised archive (one whose index sits at its end) reads further.
constexpr size_t DetectionReplayCap = size_t{4} << 20;

struct ArchiveDeleter {
  void operator()(struct archive* handle) const noexcept { archive_read_free(handle); }
};
using ArchivePtr = std::unique_ptr<struct archive, ArchiveDeleter>;

// The state of one walk over one file, shared by every depth.
struct Walk {
  const ArchiveLimits& limits;
  const ArchiveSink& sink;
  uint64_t packedRead = 0;
  WalkResult result{};
  std::vector<std::string> path{};
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
  bool failed = false;
  std::string error{};
};

la_ssize_t TopRead(struct archive* handle, void* data, const void** block) noexcept {
  auto* source = static_cast<TopSource*>(data);
  try {
    const ArchiveInput& input = *source->input;
    const int64_t count = input.read(input.user, source->buffer.get(), ArchiveChunkSize, source->error);
    if (count < 0) {
      source->failed = true;
      archive_set_error(handle, EIO, "%s", source->error.c_str());
      return -1;
    }
    if (source->countsPacked) source->walk->packedRead += static_cast<uint64_t>(count);
    *block = source->buffer.get();
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
  return position < 0 ? ARCHIVE_FATAL : position;
}

// A member of an enclosing archive, read as an archive in turn: first the
// prefix (bytes of the member already taken), then the rest. While
// `recording`, every byte taken is kept for a replay.
struct NestedSource {
  Walk* walk;
  struct archive* outer;
  std::unique_ptr<uint8_t[]> buffer;
  std::vector<uint8_t> prefix{};
  size_t prefixOffset = 0;
  bool recording = true;
  bool replayLost = false;
  std::vector<uint8_t> replay{};
  bool outerFailed = false;
  std::string outerError{};
};

la_ssize_t NestedRead(struct archive* handle, void* data, const void** block) noexcept {
  auto* source = static_cast<NestedSource*>(data);
  Walk& walk = *source->walk;
  if (source->prefixOffset < source->prefix.size()) {
    const size_t count = std::min(ArchiveChunkSize, source->prefix.size() - source->prefixOffset);
    *block = source->prefix.data() + source->prefixOffset;
    source->prefixOffset += count;
    return static_cast<la_ssize_t>(count);
  }
  try {
    const int64_t count = ReadMemberData(walk, source->outer, source->buffer.get(), source->outerError);
    if (count < 0) {
      if (!walk.stopped) source->outerFailed = true;
      archive_set_error(handle, EIO, "%s", walk.stopped ? "stopped" : source->outerError.c_str());
      return -1;
    }
    if (source->recording) {
      const auto length = static_cast<size_t>(count);
      if (source->replay.size() + length > DetectionReplayCap) {
        source->recording = false;
        source->replayLost = true;
        std::vector<uint8_t>().swap(source->replay);
      } else {
        source->replay.insert(source->replay.end(), source->buffer.get(), source->buffer.get() + length);
      }
    }
    *block = source->buffer.get();
    return static_cast<la_ssize_t>(count);
  } catch (const std::bad_alloc&) {
    OutOfMemory(walk);
    archive_set_error(handle, ENOMEM, "out of memory");
    return -1;
  }
}

// The formats and compressions a walk opens. Text-guessing formats (mtree)
// stay off so that ordinary text members are not taken for archives, and
// so do filters that would run an external program.
void EnableFormats(struct archive* handle) noexcept {
  archive_read_support_filter_gzip(handle);
  archive_read_support_filter_bzip2(handle);
  archive_read_support_filter_xz(handle);
  archive_read_support_filter_lzma(handle);
  archive_read_support_filter_lzip(handle);
  archive_read_support_filter_zstd(handle);
  archive_read_support_filter_lz4(handle);
  archive_read_support_filter_compress(handle);
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
  // Last resort: a compressed stream of anything is one member.
  archive_read_support_format_raw(handle);
}

// What the first header read says about the bytes.
enum class Recognised { No, Yes, Damaged };

bool HasCompression(struct archive* handle) noexcept {
  return archive_filter_count(handle) > 1;  // the last filter is the client's bytes
}

Recognised Classify(struct archive* handle, int openStatus, int headerStatus, std::span<const uint8_t> start) {
  // A compression recognised but not undone is damage, or compression
  // nested beyond libarchive's stack of filters (a gzip that holds itself).
  if (openStatus != ARCHIVE_OK) return HasCompression(handle) ? Recognised::Damaged : Recognised::No;
  const int format = archive_format(handle);
  const bool raw = (format & ARCHIVE_FORMAT_BASE_MASK) == ARCHIVE_FORMAT_RAW;
  // An archive without a single entry has nothing to walk, and its bytes may
  // hold anything: a block of zeros reads as an empty tar.
  if (headerStatus == ARCHIVE_EOF) return Recognised::No;
  if (headerStatus == ARCHIVE_OK || headerStatus == ARCHIVE_WARN) {
    if (raw && !HasCompression(handle)) return Recognised::No;
    // Executables that carry an archive (self-extractors) are scanned as
    // the programs they are.
    const bool executable =
        start.size() >= 4 && ((start[0] == 'M' && start[1] == 'Z') ||
                              (start[0] == 0x7f && start[1] == 'E' && start[2] == 'L' && start[3] == 'F'));
    if (executable && !raw && !HasCompression(handle)) return Recognised::No;
    return Recognised::Yes;
  }
  if (HasCompression(handle) || (format != 0 && !raw)) return Recognised::Damaged;
  return Recognised::No;
}

std::string_view LastName(std::string_view path) {
  while (!path.empty() && path.back() == '/') path.remove_suffix(1);
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// A raw compressed stream's one member is named after its container without
// the compression's suffix.
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

std::string EntryName(struct archive* handle, struct archive_entry* entry, std::string_view container) {
  if ((archive_format(handle) & ARCHIVE_FORMAT_BASE_MASK) == ARCHIVE_FORMAT_RAW) return RawMemberName(container);
  const char* name = archive_entry_pathname_utf8(entry);
  if (name == nullptr) name = archive_entry_pathname(entry);
  if (name == nullptr || *name == '\0') return "?";
  std::string_view view(name);
  while (view.starts_with("./")) view.remove_prefix(2);
  return std::string(view.empty() ? std::string_view("?") : view);
}

void WalkEntries(Walk& walk, struct archive* handle, int status, struct archive_entry* entry,
                 std::string_view container);

bool HandOver(Walk& walk, std::span<const uint8_t> bytes) noexcept {
  while (!bytes.empty()) {
    const size_t length = std::min(bytes.size(), ArchiveChunkSize);
    if (!walk.sink.memberBytes(walk.sink.user, bytes.first(length))) {
      walk.stopped = walk.sinkStopped = true;
      return false;
    }
    bytes = bytes.subspan(length);
  }
  return true;
}

// Hands the member over: `prefix` (bytes of it already taken), then the
// rest of it from `source.outer`.
void HandOverMember(Walk& walk, NestedSource& source, std::span<const uint8_t> prefix) {
  if (!walk.sink.memberBegin(walk.sink.user, walk.path)) {
    walk.stopped = walk.sinkStopped = true;
    return;
  }
  if (HandOver(walk, prefix)) {
    if (source.outerFailed) {
      Report(walk, ProblemKind::Error, source.outerError);
    } else {
      std::string error;
      for (;;) {
        const int64_t count = ReadMemberData(walk, source.outer, source.buffer.get(), error);
        if (count < 0) {
          if (!walk.stopped) Report(walk, ProblemKind::Error, error);
          break;
        }
        if (count == 0 || !HandOver(walk, {source.buffer.get(), static_cast<size_t>(count)}) || walk.stopped) break;
      }
    }
  }
  if (!walk.sinkStopped) walk.sink.memberEnd(walk.sink.user, walk.path);
}

// Opens an archive held in memory, with seeking, and walks it.
void WalkInMemory(Walk& walk, std::span<const uint8_t> bytes, const std::string& container) {
  BufferInput memory{bytes};
  ArchiveInput input{&memory, BufferRead, BufferSeek, static_cast<int64_t>(bytes.size())};
  if (ReadZipAsStream(input, walk.limits.maxMembers)) input.seek = nullptr;
  uint64_t limit = 0;
  if (const char* over = SevenZipHeaderOverLimit(input, walk.limits, limit)) {
    LimitReached(walk, over, limit);
    return;
  }
  TopSource source{&walk, &input, std::make_unique_for_overwrite<uint8_t[]>(ArchiveChunkSize), false};
  ArchivePtr handle(archive_read_new());
  if (!handle) throw std::bad_alloc();
  EnableFormats(handle.get());
  archive_read_set_read_callback(handle.get(), TopRead);
  if (input.seek != nullptr) archive_read_set_seek_callback(handle.get(), TopSeek);
  archive_read_set_callback_data(handle.get(), &source);
  struct archive_entry* first = nullptr;
  const int status = archive_read_open1(handle.get()) == ARCHIVE_OK ? archive_read_next_header(handle.get(), &first)
                                                                     : ARCHIVE_FATAL;
  WalkEntries(walk, handle.get(), status, first, container);
}

// Zip and 7-Zip files keep their index at their end: a member in either
// format is read whole into memory and opened from there, with seeking.
// A zip too large for that is read as a stream from its local headers; a
// 7-Zip file cannot be, and is handed over as bytes with an error.
void WalkIndexed(Walk& walk, NestedSource& source, const std::string& container, bool sevenZip) {
  std::vector<uint8_t> bytes;
  bytes.swap(source.replay);
  source.recording = false;
  std::string error;
  bool complete = false;
  while (walk.heldInMemory + bytes.size() <= InMemoryArchiveLimit) {
    const int64_t count = ReadMemberData(walk, source.outer, source.buffer.get(), error);
    if (count < 0) {
      if (!walk.stopped) {
        source.outerFailed = true;
        source.outerError = error;
      }
      break;
    }
    if (count == 0) {
      complete = true;
      break;
    }
    bytes.insert(bytes.end(), source.buffer.get(), source.buffer.get() + count);
  }
  if (walk.stopped) return;
  if (complete) {
    walk.heldInMemory += bytes.size();
    WalkInMemory(walk, bytes, container);
    walk.heldInMemory -= bytes.size();
    return;
  }
  if (!source.outerFailed && !sevenZip) {
    NestedSource stream{&walk, source.outer, std::move(source.buffer), std::move(bytes)};
    stream.recording = false;
    ArchivePtr inner(archive_read_new());
    if (!inner) throw std::bad_alloc();
    EnableFormats(inner.get());
    struct archive_entry* first = nullptr;
    const int status = archive_read_open(inner.get(), &stream, nullptr, NestedRead, nullptr) == ARCHIVE_OK
                           ? archive_read_next_header(inner.get(), &first)
                           : ARCHIVE_FATAL;
    WalkEntries(walk, inner.get(), status, first, container);
    return;
  }
  if (!source.outerFailed) {
    char reason[96];
    std::snprintf(reason, sizeof reason, "7-Zip member larger than %llu bytes: not opened",
                  static_cast<unsigned long long>(InMemoryArchiveLimit));
    Report(walk, ProblemKind::Error, reason);
  }
  HandOverMember(walk, source, bytes);
}

// The member at walk.path, the current entry of `outer`: walked if it is an
// archive, handed over otherwise.
void ScanMember(Walk& walk, struct archive* outer) {
  NestedSource source{&walk, outer, std::make_unique_for_overwrite<uint8_t[]>(ArchiveChunkSize)};
  ArchivePtr inner(archive_read_new());
  if (!inner) throw std::bad_alloc();
  EnableFormats(inner.get());
  const int openStatus = archive_read_open(inner.get(), &source, nullptr, NestedRead, nullptr);
  struct archive_entry* first = nullptr;
  const int headerStatus = openStatus == ARCHIVE_OK ? archive_read_next_header(inner.get(), &first) : ARCHIVE_FATAL;
  if (walk.stopped) return;
  source.recording = false;

  const Recognised recognised =
      source.outerFailed ? Recognised::No : Classify(inner.get(), openStatus, headerStatus, source.replay);
  const int format = archive_format(inner.get()) & ARCHIVE_FORMAT_BASE_MASK;
  // Zip and 7-Zip read as a stream may fail where the index would not.
  const bool indexed = recognised != Recognised::No && !HasCompression(inner.get()) &&
                       (format == ARCHIVE_FORMAT_ZIP || format == ARCHIVE_FORMAT_7ZIP);
  const std::string container = walk.path.back();
  if (recognised == Recognised::Yes || indexed) {
    if (walk.path.size() < walk.limits.maxDepth) {
      if (indexed) {
        inner.reset();
        WalkIndexed(walk, source, container, format == ARCHIVE_FORMAT_7ZIP);
      } else {
        std::vector<uint8_t>().swap(source.replay);
        WalkEntries(walk, inner.get(), headerStatus, first, container);
      }
      return;
    }
    char reason[64];
    std::snprintf(reason, sizeof reason, "archive depth limit (%u)", walk.limits.maxDepth);
    Report(walk, ProblemKind::Incomplete, reason);
  } else if (recognised == Recognised::Damaged) {
    Report(walk, ProblemKind::Error, ErrorText(inner.get()));
  }
  inner.reset();
  if (source.replayLost) {
    // Only an archive reads that far before its first entry.
    char reason[96];
    std::snprintf(reason, sizeof reason, "member not scanned: more than %zu bytes read before its first entry",
                  DetectionReplayCap);
    Report(walk, ProblemKind::Error, reason);
    return;
  }
  std::vector<uint8_t> replay;
  replay.swap(source.replay);
  HandOverMember(walk, source, replay);
}

void HandleEntry(Walk& walk, struct archive* handle, struct archive_entry* entry, std::string_view container) {
  walk.path.push_back(EntryName(handle, entry, container));
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

void WalkEntries(Walk& walk, struct archive* handle, int status, struct archive_entry* entry,
                 std::string_view container) {
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
      HandleEntry(walk, handle, entry, container);
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
    const bool seekable = input.seek != nullptr && !ReadZipAsStream(input, limits.maxMembers);
    uint64_t limit = 0;
    if (const char* over = SevenZipHeaderOverLimit(input, limits, limit)) {
      walk.result.outcome = WalkOutcome::Walked;
      LimitReached(walk, over, limit);
      return walk.result;
    }
    TopSource source{&walk, &input, std::make_unique_for_overwrite<uint8_t[]>(ArchiveChunkSize)};
    ArchivePtr handle(archive_read_new());
    if (!handle) throw std::bad_alloc();
    EnableFormats(handle.get());
    archive_read_set_read_callback(handle.get(), TopRead);
    if (seekable) archive_read_set_seek_callback(handle.get(), TopSeek);
    archive_read_set_callback_data(handle.get(), &source);
    const int openStatus = archive_read_open1(handle.get());
    struct archive_entry* first = nullptr;
    const int headerStatus = openStatus == ARCHIVE_OK ? archive_read_next_header(handle.get(), &first) : ARCHIVE_FATAL;
    if (walk.outOfMemory) {
      walk.result.outcome = WalkOutcome::Failed;
      return walk.result;
    }
    if (source.failed) {
      Report(walk, ProblemKind::Error, source.error);
      walk.result.outcome = WalkOutcome::Walked;
      return walk.result;
    }
    // The first bytes, for telling executables apart: the read-ahead of the
    // detection is not ours to look at, so read them again when we can.
    uint8_t start[4] = {};
    size_t startLength = 0;
    if (input.seek != nullptr) {
      // Seekable inputs are files and buffers: look without disturbing
      // libarchive, which seeks before every read it makes after this.
      const int64_t saved = input.seek(input.user, 0, SEEK_CUR);
      if (saved >= 0 && input.seek(input.user, 0, SEEK_SET) == 0) {
        std::string ignored;
        const int64_t count = input.read(input.user, start, sizeof start, ignored);
        startLength = count > 0 ? static_cast<size_t>(count) : 0;
        input.seek(input.user, saved, SEEK_SET);
      }
    }
    const Recognised recognised = Classify(handle.get(), openStatus, headerStatus, {start, startLength});
    if (recognised == Recognised::No) return walk.result;
    walk.result.outcome = WalkOutcome::Walked;
    if (recognised == Recognised::Damaged) {
      Report(walk, ProblemKind::Error, ErrorText(handle.get()));
      return walk.result;
    }
    const std::string container(LastName(name));
    WalkEntries(walk, handle.get(), headerStatus, first, container);
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
