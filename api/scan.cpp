#include "api/scan.h"

#include <bit>
#include <fstream>
#include <memory>
#include <new>

namespace veltor {

const double ReportLoopThreshold = std::bit_cast<double>(uint64_t{0x3F50624DD2F1A9FC});  // 0.001

void BeginScan(ScanHandle& handle) noexcept {
  handle.streamFed = false;
  handle.streamFired = false;
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
  handle.streamFired = handle.streamFed && FinishScanPass(handle.context.get()) > 0;
  if (!handle.streamFired) return;
  const auto rules = Rules(*handle.library);
  ForEachReportLoopRule(handle, [&](uint32_t index, double score) {
    ReportRule(rules[index].name.get(), score, handle.sink);
  });
}

void ScanBuffer(ScanHandle& handle, const uint8_t* bytes, uint32_t length) {
  if (bytes == nullptr || length == 0 || !handle.context || !handle.library) return;
  BeginScan(handle);
  FeedScan(handle, bytes, length);
  FinishScan(handle);
}

void ScanFile(ScanHandle& handle, const char* path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return;
  // The size is taken as a 64-bit value: a file of 4 GiB and a few bytes is
  // too large, not a few bytes long.
  file.seekg(0, std::ios::end);
  const std::streamoff size = file.tellg();
  file.seekg(0, std::ios::beg);
  if (!file || size < 1 || size > MaxScannedFileSize) return;

  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[static_cast<size_t>(size)]);
  if (!buffer) return;
  file.read(reinterpret_cast<char*>(buffer.get()), size);
  const std::streamsize read = file.gcount();
  file.close();
  if (read <= 0) return;
  ScanBuffer(handle, buffer.get(), static_cast<uint32_t>(read));
}

}  // namespace veltor
