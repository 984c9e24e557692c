#pragma once
// Walks the members of an archive or compressed stream, and of the archives
// inside it, without writing anything to disk: members are unpacked in
// memory, chunk by chunk, and handed to a sink that scans them.
//
// The rule of the walk: every byte it can read is handed over to be
// scanned, and what it cannot read whole is reported, never passed over.
// - What a compressed stream unpacks to is always handed over as one
//   stream of bytes (the stream's member, named after it without the
//   compression's suffix: "notes.txt.gz" holds "notes.txt"), whatever else
//   it is also parsed as.
// - A member is always handed over as bytes; when it is itself compressed
//   or a container (zip, tar, 7z, ...), it is walked as well.
// - What a container leaves unread after its end (trailing data, a second
//   appended stream) is part of the stream that holds it, handed over whole.
// - The outermost file is the caller's to scan as bytes; the walk opens its
//   container wherever libarchive finds it, a program or other bytes in
//   front of a zip (a self-extracting file) included.
// - A limit reached, damage or encryption is a Problem for the sink.
//
// What the walk makes of what it reads (the outermost file, or a member):
//   bytes                          handed over          walked             reported
//   neither compressed nor an      the member itself    -                  -
//     archive; an empty archive,
//     a block of zeros
//   an archive (zip, tar, 7z, ISO) the member, and each its members        -
//                                  of its members
//   a compressed stream            the member, and what that, when it is   -
//                                  it unpacks to        an archive
//   a program with an archive      the member           the archive's      -
//     after it (self-extractor)                         members
//   damaged; only an archive's     the member           what could be read Error
//     first bytes
//   a limit reached                what was read        what was read      Incomplete
// ("the member itself" is the caller's own scan for the outermost file.)
//
// The members of a compressed container are named as members of the
// compressed file ("a.tar.gz!evil.bin"), beside the unpacked stream that
// holds them ("a.tar.gz!a.tar").
//
// The walk depends only on libarchive and the standard library, so that the
// veltor program and the Python binding use it alike. A build without
// libarchive (the Windows cross build) compiles the same interface to
// "not supported".
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace veltor::archive {

// Whether this build can open archives at all.
bool ArchivesSupported() noexcept;

// The library that opens them, with its version ("libarchive 3.6.2"); ""
// when archives are not supported.
const char* ArchiveLibraryVersion() noexcept;

// The limits of one walk, all counted over the whole file: every depth
// together. A limit reached stops the walk and is reported as Incomplete.
struct ArchiveLimits {
  // Nesting: the members of the outermost archive are at depth 1.
  uint32_t maxDepth = 8;
  // Bytes unpacked at every depth (a nested archive counts once as a member
  // and again as what it unpacks to).
  uint64_t maxUnpacked = uint64_t{4} << 30;
  // Members at every depth.
  uint64_t maxMembers = 100'000;
  // Unpacked bytes per packed byte read so far (the running ratio, so that
  // a bomb stops early in its file; a byte of the file read again after a
  // seek counts once), checked once more than RatioFloor
  // bytes are unpacked: small members of text compress well without being
  // bombs. 0 turns the check off.
  uint64_t maxRatio = 200;
};

// The deepest nesting a caller may ask for: each depth holds a reader of
// its own on the stack of the walk.
inline constexpr uint32_t MaxArchiveDepthLimit = 64;

// Below this many unpacked bytes the ratio is not checked.
inline constexpr uint64_t RatioFloor = uint64_t{1} << 20;

// Zip and 7-Zip members are opened from memory (their index is at their
// end); at most this many bytes are held so at once, every depth together.
inline constexpr uint64_t InMemoryArchiveLimit = uint64_t{64} << 20;

// The size of the chunks members are handed over in.
inline constexpr size_t ArchiveChunkSize = size_t{64} << 10;

// A member's place: the names from the outermost archive inwards.
using ArchivePath = std::span<const std::string>;

enum class ProblemKind {
  Error,       // damaged, encrypted or unsupported: libarchive's reason
  Incomplete,  // a limit stopped the walk: which one
};

// The most members open at once under these limits: each depth may hold a
// member and what it unpacks to.
inline constexpr uint32_t MaxOpenMembers(const ArchiveLimits& limits) { return 2 * limits.maxDepth; }

// The sink the walk calls. Each stream of bytes the walk hands over (a
// member, or what a compressed stream unpacks to) comes as MemberBegin,
// MemberBytes any number of times, MemberEnd. Members nest: a member that
// is compressed or a container stays open while what is inside it is
// handed over, so the bytes of several members interleave. `level` says
// which: 1 for a member begun while none is open, one more than the
// innermost open member for each member begun inside it, at most
// MaxOpenMembers(limits); MemberBytes belongs to the open member at that
// level, MemberEnd ends the innermost. A member that could not be read to
// its end gets a Problem before its MemberEnd, and what was read of it has
// been handed over. A Problem outside a member concerns the archive at
// `path` (empty: the file itself). Returning false from MemberBegin or
// MemberBytes stops the walk (the caller's own failure, such as memory
// exhausted): nothing more is called. The functions must not throw
// (they are called from inside libarchive's reads).
struct ArchiveSink {
  void* user = nullptr;
  bool (*memberBegin)(void* user, ArchivePath path, uint32_t level) = nullptr;
  bool (*memberBytes)(void* user, uint32_t level, std::span<const uint8_t> bytes) = nullptr;
  void (*memberEnd)(void* user, ArchivePath path, uint32_t level) = nullptr;
  void (*problem)(void* user, ArchivePath path, ProblemKind kind, std::string_view reason) = nullptr;
};

// Where the outermost archive's bytes come from. `read` fills up to
// `capacity` bytes and returns the count, 0 at the end, -1 on an error with
// `error` set to the reason. `seek`, when given, moves like lseek (whence 0,
// 1, 2) and returns the new offset or -1; zip files are read from their
// central directory then. `size` is the file's size when known (-1 if not),
// the packed size the ratio limit divides by.
struct ArchiveInput {
  void* user = nullptr;
  int64_t (*read)(void* user, uint8_t* buffer, size_t capacity, std::string& error) = nullptr;
  int64_t (*seek)(void* user, int64_t offset, int whence) = nullptr;
  int64_t size = -1;
};

enum class WalkOutcome {
  NotArchive,    // neither compressed nor a container: the sink was not called
  Walked,        // walked (members and problems, if any, went to the sink)
  Stopped,       // the sink stopped the walk
  Unsupported,   // built without libarchive
  Failed,        // memory exhausted inside the walk (reported as a Problem)
};

struct WalkResult {
  WalkOutcome outcome = WalkOutcome::NotArchive;
  uint64_t members = 0;        // members begun, at every depth (unpacked streams included)
  uint64_t unpackedBytes = 0;  // bytes unpacked, at every depth
  bool errors = false;         // an Error problem was reported
  bool incomplete = false;     // an Incomplete problem was reported
};

// Walks the file read from `input`. `name` names the outermost file (only
// its last component matters: what a compressed file unpacks to is named
// after it, "file.txt.gz" giving "file.txt").
WalkResult WalkArchive(const ArchiveInput& input, std::string_view name, const ArchiveLimits& limits,
                       const ArchiveSink& sink) noexcept;

// The same over a file descriptor open for reading. A regular file is read
// from its start, with seeking; anything else as a stream from where it
// is. The descriptor stays open and its offset moves.
WalkResult WalkArchiveDescriptor(int descriptor, std::string_view name, const ArchiveLimits& limits,
                                 const ArchiveSink& sink) noexcept;

// The same over bytes in memory.
WalkResult WalkArchiveBuffer(std::span<const uint8_t> bytes, std::string_view name, const ArchiveLimits& limits,
                             const ArchiveSink& sink) noexcept;

}  // namespace veltor::archive
