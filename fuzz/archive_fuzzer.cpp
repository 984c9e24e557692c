// Target over the archive walk: any bytes, walked under small limits by a
// sink that checks what the walk promises. Members come one at a time,
// begun and ended under the same path; chunks hold 1 to ArchiveChunkSize
// bytes; paths are never deeper than the depth limit; no more bytes are
// handed over than were unpacked, nor unpacked than the limit allows; the
// result's flags match the problems reported; a stop the sink asks for
// ends the walk at once. The first byte says after how many sink calls to
// ask for a stop (0: never). Any broken promise aborts.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "archive/archive_walk.h"

using namespace veltor::archive;

namespace {

struct Checker {
  ArchiveLimits limits;
  uint32_t stopAfter = 0;  // sink calls before a stop is asked; 0: never
  uint32_t calls = 0;
  bool stopAsked = false;
  bool inMember = false;
  std::string current;
  uint64_t handedOver = 0;
  uint64_t begun = 0;
  bool sawError = false;
  bool sawIncomplete = false;

  static std::string Join(ArchivePath path) {
    std::string joined;
    for (const std::string& name : path) joined += name + '\0';
    return joined;
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
  sink.memberBegin = [](void* user, ArchivePath path) {
    auto& self = *static_cast<Checker*>(user);
    if (self.inMember) std::abort();
    self.CheckPath(path);
    self.inMember = true;
    self.current = Checker::Join(path);
    ++self.begun;
    return self.Call();
  };
  sink.memberBytes = [](void* user, std::span<const uint8_t> bytes) {
    auto& self = *static_cast<Checker*>(user);
    if (!self.inMember || bytes.empty() || bytes.size() > ArchiveChunkSize) std::abort();
    self.handedOver += bytes.size();
    return self.Call();
  };
  sink.memberEnd = [](void* user, ArchivePath path) {
    auto& self = *static_cast<Checker*>(user);
    if (self.stopAsked || !self.inMember || Checker::Join(path) != self.current) std::abort();
    self.inMember = false;
  };
  sink.problem = [](void* user, ArchivePath path, ProblemKind kind, std::string_view reason) {
    auto& self = *static_cast<Checker*>(user);
    if (self.stopAsked || reason.empty() || path.size() > self.limits.maxDepth) std::abort();
    (kind == ProblemKind::Error ? self.sawError : self.sawIncomplete) = true;
  };
  return sink;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  Checker checker;
  checker.limits.maxDepth = 3;
  checker.limits.maxUnpacked = uint64_t{4} << 20;
  checker.limits.maxMembers = 200;
  checker.stopAfter = data[0];
  const ArchiveSink sink = MakeSink(checker);
  const WalkResult result = WalkArchiveBuffer({data + 1, size - 1}, "input.bin", checker.limits, sink);

  switch (result.outcome) {
    case WalkOutcome::NotArchive:
    case WalkOutcome::Unsupported:
      if (checker.calls != 0 || checker.sawError || checker.sawIncomplete) std::abort();
      return 0;
    case WalkOutcome::Stopped:
      if (!checker.stopAsked) std::abort();
      return 0;
    case WalkOutcome::Walked:
      if (checker.stopAsked || checker.inMember) std::abort();
      break;
    case WalkOutcome::Failed:
      break;
  }
  if (result.errors != checker.sawError || result.incomplete != checker.sawIncomplete) std::abort();
  if (checker.handedOver > result.unpackedBytes || result.unpackedBytes > checker.limits.maxUnpacked) std::abort();
  if (checker.begun > result.members || result.members > checker.limits.maxMembers + 1) std::abort();
  return 0;
}
