#include "api/scan.h"

#include <bit>
#include <fstream>
#include <memory>
#include <new>

#include "rules/evaluator.h"

namespace veltor {
namespace {

// The report loop takes rules scoring strictly above 0.001.
constexpr double ReportLoopThreshold = std::bit_cast<double>(uint64_t{0x3F50624DD2F1A9FC});  // 0.001

}  // namespace

void ScanBuffer(ScanHandle& handle, const uint8_t* bytes, uint32_t length) {
  if (bytes == nullptr || length == 0 || !handle.context || !handle.library) return;
  if (RunScanPass(handle.context.get(), bytes, length) <= 0) return;

  const ScanContext& context = *handle.context;
  const auto rules = Rules(*handle.library);
  for (size_t index = 0; index < rules.size(); ++index) {
    const double score = context.ruleValues[index];
    if (context.ruleEvaluated[index] == RuleMemoised && score > ReportLoopThreshold &&
        (rules[index].flags & RuleFlagTopLevel) != 0) {
      ReportRule(rules[index].name.get(), score, handle.sink);
    }
  }
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
