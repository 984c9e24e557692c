#pragma once
// Walks the members of an archive or compressed stream, and of the archives
// inside it, without writing anything to disk: members are unpacked in
// memory, chunk by chunk, and handed to a sink that scans them.
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
  // a bomb stops early in its file), checked once more than RatioFloor
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

// The sink the walk calls. Members come one at a time, each as MemberBegin,
// MemberBytes any number of times, MemberEnd; a member that could not be
// read to its end gets a Problem before its MemberEnd, and what was read of
// it has been handed over. A Problem outside a member concerns the archive
// at `path` (empty: the file itself). A member that is an archive is opened
// instead of being handed over, unless the depth limit stops that. Returning
// false from MemberBegin or MemberBytes stops the walk (the caller's own
// failure, such as memory exhausted): nothing more is called. The functions
// must not throw (Problem is called from inside libarchive's reads).
struct ArchiveSink {
  void* user = nullptr;
  bool (*memberBegin)(void* user, ArchivePath path) = nullptr;
  bool (*memberBytes)(void* user, std::span<const uint8_t> bytes) = nullptr;
  void (*memberEnd)(void* user, ArchivePath path) = nullptr;
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
  NotArchive,    // nothing libarchive recognises: the sink was not called
  Walked,        // members were walked (problems, if any, went to the sink)
  Stopped,       // the sink stopped the walk
  Unsupported,   // built without libarchive
  Failed,        // memory exhausted inside the walk (reported as a Problem)
};

struct WalkResult {
  WalkOutcome outcome = WalkOutcome::NotArchive;
  uint64_t members = 0;        // members begun, at every depth
  uint64_t unpackedBytes = 0;  // bytes unpacked, at every depth
  bool errors = false;         // an Error problem was reported
  bool incomplete = false;     // an Incomplete problem was reported
};

// Walks the archive read from `input`. `name` names the outermost file (only
// its last component matters: a raw compressed stream's one member is named
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
