// Target over the archive walk: any bytes, walked under small limits by a
// sink that checks what the walk promises. Members nest, each begun at the
// level after the innermost open one and ended innermost first under the
// same path, never more open than MaxOpenMembers; chunks hold 1 to
// ArchiveChunkSize bytes for an open level; paths are never deeper than
// the depth limit; no more bytes are
// handed over than were unpacked, nor unpacked than the limit allows; the
// result's flags match the problems reported; a stop the sink asks for
// ends the walk at once. The first byte says after how many sink calls to
// ask for a stop (0: never). The same bytes walked again through read and
// seek calls of the target's own (the road any input takes; bytes in memory
// take a shorter one, which may skip libarchive for bytes it cannot take)
// must give the same sink calls and result. Any broken promise aborts.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "archive/archive_walk.h"

using namespace veltor::archive;

namespace {

struct Checker {
  ArchiveLimits limits;
  uint32_t stopAfter = 0;  // sink calls before a stop is asked; 0: never
  uint32_t calls = 0;
  bool stopAsked = false;
  std::vector<std::string> open;  // the open members' paths, outermost first
  uint64_t handedOver = 0;
  uint64_t begun = 0;
  bool sawError = false;
  bool sawIncomplete = false;
  std::string trace;  // every call, to compare the two roads

  static std::string Join(ArchivePath path) {
    std::string joined;
    for (const std::string& name : path) joined += name + '\0';
    return joined;
  }

  void Note(char kind, ArchivePath path, uint32_t level, uint64_t size) {
    trace += kind + Join(path) + std::to_string(level) + ':' + std::to_string(size) + ';';
  }

  // Counts a call; false when this one is to ask for a stop.
  bool Call() {
    if (stopAsked) std::abort();  // nothing may come after a stop
    ++calls;
    if (stopAfter != 0 && calls >= stopAfter) stopAsked = true;
    return !stopAsked;
  }

  void CheckPath(ArchivePath path) const {
    if (path.empty() || path.size() > limits.maxDepth) std::abort();
  }
};

ArchiveSink MakeSink(Checker& checker) {
  ArchiveSink sink;
  sink.user = &checker;
  sink.memberBegin = [](void* user, ArchivePath path, uint32_t level) {
    auto& self = *static_cast<Checker*>(user);
    if (level != self.open.size() + 1 || level > MaxOpenMembers(self.limits)) std::abort();
    self.CheckPath(path);
    self.open.push_back(Checker::Join(path));
    self.Note('b', path, level, 0);
    ++self.begun;
    return self.Call();
  };
  sink.memberBytes = [](void* user, uint32_t level, std::span<const uint8_t> bytes) {
    auto& self = *static_cast<Checker*>(user);
    if (level == 0 || level > self.open.size() || bytes.empty() || bytes.size() > ArchiveChunkSize) std::abort();
    self.handedOver += bytes.size();
    uint64_t hash = 14695981039346656037u;  // FNV-1a of the chunk
    for (const uint8_t byte : bytes) hash = (hash ^ byte) * 1099511628211u;
    self.Note('d', {}, level, hash);
    return self.Call();
  };
  sink.memberEnd = [](void* user, ArchivePath path, uint32_t level) {
    auto& self = *static_cast<Checker*>(user);
    if (self.stopAsked || level != self.open.size() || self.open.empty() || Checker::Join(path) != self.open.back()) {
      std::abort();
    }
    self.open.pop_back();
    self.Note('e', path, level, 0);
  };
  sink.problem = [](void* user, ArchivePath path, ProblemKind kind, std::string_view reason) {
    auto& self = *static_cast<Checker*>(user);
    if (self.stopAsked || reason.empty() || path.size() > self.limits.maxDepth) std::abort();
    (kind == ProblemKind::Error ? self.sawError : self.sawIncomplete) = true;
    self.Note(kind == ProblemKind::Error ? 'x' : 'i', path, 0, 0);
    self.trace.append(reason).append(1, ';');
  };
  return sink;
}

// The bytes read through calls, as a caller's own input is.
struct Cursor {
  std::span<const uint8_t> bytes;
  size_t offset = 0;
};

int64_t CursorRead(void* user, uint8_t* buffer, size_t capacity, std::string&) {
  auto& at = *static_cast<Cursor*>(user);
  const size_t count = std::min(capacity, at.bytes.size() - at.offset);
  if (count != 0) std::memcpy(buffer, at.bytes.data() + at.offset, count);
  at.offset += count;
  return static_cast<int64_t>(count);
}

int64_t CursorSeek(void* user, int64_t offset, int whence) {
  auto& at = *static_cast<Cursor*>(user);
  const int64_t size = static_cast<int64_t>(at.bytes.size());
  const int64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? static_cast<int64_t>(at.offset) : size;
  if (offset < -base || offset > size - base) return -1;
  at.offset = static_cast<size_t>(base + offset);
  return base + offset;
}

void Configure(Checker& checker, uint8_t first) {
  checker.limits.maxDepth = 3;
  checker.limits.maxUnpacked = uint64_t{4} << 20;
  checker.limits.maxMembers = 200;
  checker.stopAfter = first;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::span<const uint8_t> bytes(data + 1, size - 1);
  Checker checker;
  Configure(checker, data[0]);
  const WalkResult result = WalkArchiveBuffer(bytes, "input.bin", checker.limits, MakeSink(checker));

  Checker through;
  Configure(through, data[0]);
  Cursor cursor{bytes};
  const ArchiveInput input{&cursor, CursorRead, CursorSeek, static_cast<int64_t>(bytes.size())};
  const WalkResult again = WalkArchive(input, "input.bin", through.limits, MakeSink(through));
  if (again.outcome != result.outcome || again.members != result.members || again.errors != result.errors ||
      again.incomplete != result.incomplete || again.unpackedBytes != result.unpackedBytes ||
      through.trace != checker.trace) {
    std::fprintf(stderr, "the walk over memory differs from the walk through calls:\n%s\n%s\n", checker.trace.c_str(),
                 through.trace.c_str());
    std::abort();
  }

  switch (result.outcome) {
    case WalkOutcome::NotArchive:
    case WalkOutcome::Unsupported:
      if (checker.calls != 0 || checker.sawError || checker.sawIncomplete) std::abort();
      return 0;
    case WalkOutcome::Stopped:
      if (!checker.stopAsked) std::abort();
      return 0;
    case WalkOutcome::Walked:
      if (checker.stopAsked || !checker.open.empty()) std::abort();
      break;
    case WalkOutcome::Failed:
      break;
  }
  if (result.errors != checker.sawError || result.incomplete != checker.sawIncomplete) std::abort();
  if (checker.handedOver > result.unpackedBytes || result.unpackedBytes > checker.limits.maxUnpacked) std::abort();
  if (checker.begun > result.members || result.members > checker.limits.maxMembers + 1) std::abort();
  return 0;
}
