#include "engine/api/scan.h"

#include "engine/platform/platform.h"
#include "engine/scan/report_loop.h"

namespace veltor {

void BeginScan(ScanHandle& handle) noexcept {
  handle.streamFed = false;
  BeginScanPass(handle.context.get());
}

void FeedScan(ScanHandle& handle, const uint8_t* bytes, size_t length) noexcept {
  if (bytes == nullptr || length == 0) return;
  handle.streamFed = true;
  FeedScanPass(handle.context.get(), bytes, length);
}

void FinishScan(ScanHandle& handle) {
  // An empty stream is no scan: nothing is evaluated or reported, as for a
  // buffer of length 0.
  if (!handle.streamFed) return;
  FinishScanPass(handle.context.get());
  ForEachReportLoopRule(handle.context.get(), [&](uint32_t index, double score) {
    ReportRule(Rules(*handle.library)[index].name.get(), score, handle.sink);
  });
}

void ScanBuffer(ScanHandle& handle, const uint8_t* bytes, uint32_t length) {
  if (bytes == nullptr || length == 0 || !handle.context || !handle.library) return;
  BeginScan(handle);
  FeedScan(handle, bytes, length);
  FinishScan(handle);
}

void ScanFile(ScanHandle& handle, const char* path) {
  if (!handle.context || !handle.library || !handle.readBuffer) return;
  BeginScan(handle);
  const auto feed = [](const uint8_t* bytes, size_t length, void* context) noexcept {
    FeedScan(*static_cast<ScanHandle*>(context), bytes, length);
  };
  // A read that fails partway leaves the pass unfinished: nothing is
  // reported for a file that was not read whole.
  if (!platform::StreamRegularFile(path, static_cast<uint64_t>(MaxScannedFileSize),
                                   {handle.readBuffer.get(), FileReadBufferSize}, feed, &handle)) {
    return;
  }
  FinishScan(handle);
}

}  // namespace veltor
