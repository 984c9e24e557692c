#include "archive/gzip_check.h"

#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <new>

namespace veltor::archive {

struct GzipCheckState {
  z_stream stream{};
  bool initialised = false;
  bool betweenMembers = false;  // a member ended: the next bytes may start another
  uint8_t pending[2]{};         // the first bytes seen after a member, until two are known
  uint32_t pendingCount = 0;
  GzipCheck inner;              // what this stream inflates to, when it is gzip too
  uint8_t scratch[16 * 1024];   // inflated bytes, handed to `inner`, then dropped
};

void GzipCheckRelease::operator()(GzipCheckState* state) const noexcept {
  if (state == nullptr) return;
  if (state->initialised) inflateEnd(&state->stream);
  state->~GzipCheckState();
  std::free(state);
}

namespace {

constexpr uint8_t Magic0 = 0x1f;
constexpr uint8_t Magic1 = 0x8b;
constexpr int GzipWindowBits = 16 + MAX_WBITS;  // gzip wrapper only, trailer checked

bool Failed(GzipVerdict verdict) {
  return verdict == GzipVerdict::CrcMismatch || verdict == GzipVerdict::LengthMismatch ||
         verdict == GzipVerdict::OutOfMemory;
}

bool Checking(const GzipCheck& check) {
  return check.state != nullptr &&
         (check.verdict == GzipVerdict::Unfinished || check.verdict == GzipVerdict::Intact);
}

GzipVerdict VerdictOfError(const z_stream& stream) {
  // zlib reports a trailer that does not match with these two messages;
  // any other data error is damage libarchive reports itself.
  if (stream.msg != nullptr && std::strcmp(stream.msg, "incorrect data check") == 0) return GzipVerdict::CrcMismatch;
  if (stream.msg != nullptr && std::strcmp(stream.msg, "incorrect length check") == 0) {
    return GzipVerdict::LengthMismatch;
  }
  return GzipVerdict::NotGzip;
}

// Hands inflated bytes to the check of what they hold.
void FeedInner(GzipCheck& check, std::span<const uint8_t> inflated) {
  GzipCheck& inner = check.state->inner;
  if (check.depth + 1 >= MaxNestedGzip || inflated.empty()) return;
  inner.depth = check.depth + 1;
  FeedGzipCheck(inner, inflated);
  if (Failed(inner.verdict)) check.verdict = inner.verdict;
}

// Inflates `bytes` of the current member; returns how many were used, the
// verdict updated.
size_t Inflate(GzipCheck& check, std::span<const uint8_t> bytes) {
  GzipCheckState& state = *check.state;
  state.stream.next_in = const_cast<Bytef*>(bytes.data());
  state.stream.avail_in = static_cast<uInt>(bytes.size());
  for (;;) {
    state.stream.next_out = state.scratch;
    state.stream.avail_out = sizeof state.scratch;
    const int status = inflate(&state.stream, Z_NO_FLUSH);
    FeedInner(check, {state.scratch, sizeof state.scratch - state.stream.avail_out});
    if (Failed(check.verdict)) break;
    if (status == Z_STREAM_END) {
      check.verdict = GzipVerdict::Intact;
      state.betweenMembers = true;
      state.pendingCount = 0;
      break;
    }
    if (status == Z_MEM_ERROR) {
      check.verdict = GzipVerdict::OutOfMemory;
      break;
    }
    if (status != Z_OK && status != Z_BUF_ERROR) {
      check.verdict = VerdictOfError(state.stream);
      break;
    }
    if (state.stream.avail_in == 0 && state.stream.avail_out != 0) break;
  }
  return bytes.size() - state.stream.avail_in;
}

// Starts checking once the first two bytes say gzip.
void Begin(GzipCheck& check, std::span<const uint8_t> start) {
  check.decided = true;
  if (start[0] != Magic0 || start[1] != Magic1) return;
  void* memory = std::calloc(1, sizeof(GzipCheckState));
  if (memory == nullptr) {
    check.verdict = GzipVerdict::OutOfMemory;
    return;
  }
  check.state.reset(::new (memory) GzipCheckState());
  if (inflateInit2(&check.state->stream, GzipWindowBits) != Z_OK) {
    check.verdict = GzipVerdict::OutOfMemory;
    return;
  }
  check.state->initialised = true;
  check.verdict = GzipVerdict::Unfinished;
}

}  // namespace

void FeedGzipCheck(GzipCheck& check, std::span<const uint8_t> packed) noexcept {
  if (!check.decided) {
    while (check.firstCount < 2 && !packed.empty()) {
      check.first[check.firstCount++] = packed.front();
      packed = packed.subspan(1);
    }
    if (check.firstCount < 2) return;
    Begin(check, check.first);
    if (Checking(check)) Inflate(check, check.first);
  }
  while (!packed.empty() && Checking(check)) {
    GzipCheckState& state = *check.state;
    if (state.betweenMembers) {
      // Another member follows only if it starts as one.
      while (state.pendingCount < 2 && !packed.empty()) {
        state.pending[state.pendingCount++] = packed.front();
        packed = packed.subspan(1);
      }
      if (state.pendingCount < 2) return;
      if (state.pending[0] != Magic0 || state.pending[1] != Magic1) {
        // Trailing data: the check is over; what it found inside stays.
        const GzipVerdict inner = FinalGzipVerdict(state.inner);
        if (inner == GzipVerdict::Unfinished || Failed(inner)) check.verdict = inner;
        check.state.reset();
        return;
      }
      state.betweenMembers = false;
      if (inflateReset(&state.stream) != Z_OK) {
        check.verdict = GzipVerdict::OutOfMemory;
        return;
      }
      check.verdict = GzipVerdict::Unfinished;
      Inflate(check, state.pending);
      continue;
    }
    packed = packed.subspan(Inflate(check, packed));
  }
}

GzipVerdict FinalGzipVerdict(const GzipCheck& check) noexcept {
  if (check.state == nullptr || Failed(check.verdict)) return check.verdict;
  const GzipVerdict inner = FinalGzipVerdict(check.state->inner);
  if (Failed(inner) || (inner == GzipVerdict::Unfinished && check.verdict == GzipVerdict::Intact)) return inner;
  return check.verdict;
}

const char* GzipMismatchReason(GzipVerdict verdict) noexcept {
  switch (verdict) {
    case GzipVerdict::CrcMismatch: return "gzip data does not match its CRC-32";
    case GzipVerdict::LengthMismatch: return "gzip data does not match its length";
    default: return nullptr;
  }
}

}  // namespace veltor::archive
