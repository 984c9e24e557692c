#include "engine/api/report.h"

#include <bit>
#include <cstring>
#include <memory>

#include "engine/platform/platform.h"
#include "engine/platform/allocation.h"

namespace veltor {
namespace {

void CallWide(ReportSink& sink, int32_t level, const char* name) {
  static constexpr char16_t Empty[1] = {u'\0'};
  if (name == nullptr) {
    sink.wideCallback(level, reinterpret_cast<const VeltorWideChar*>(Empty), sink.userData);
    return;
  }
  const size_t nameLength = std::strlen(name);
  const size_t capacity = nameLength + 16;
  const HeapArray<char16_t> wide = NewArray<char16_t>(capacity);
  // A name that cannot be converted (no memory, or a code page that fails)
  // is still reported, as an empty string.
  if (!wide || capacity > static_cast<size_t>(INT32_MAX) ||
      platform::AnsiToWide(name, -1, wide.get(), static_cast<int32_t>(capacity)) == 0) {
    sink.wideCallback(level, reinterpret_cast<const VeltorWideChar*>(Empty), sink.userData);
    return;
  }
  sink.wideCallback(level, reinterpret_cast<const VeltorWideChar*>(wide.get()), sink.userData);
}

}  // namespace

void ReportRule(const char* name, double score, ReportSink* sink) {
  if (sink == nullptr) return;
  const int32_t level = ReportLevel(score);
  if (level == 0) return;
  ++sink->reportCount;
  if (sink->ansiCallback != nullptr) {
    sink->ansiCallback(level, name, sink->userData);
  } else if (sink->wideCallback != nullptr) {
    CallWide(*sink, level, name);
  }
}

}  // namespace veltor
