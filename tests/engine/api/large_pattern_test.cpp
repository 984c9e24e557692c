// A wide signature of 1 GiB: its UTF-16 form (2 GiB) is longer than the
// matcher takes, so the scan state is not built and the load fails, rather
// than a handle that silently lacks the wide form.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include "engine/scan/scan_context.h"

namespace veltor {
namespace {

// Bytes of memory the system can still give, from /proc/meminfo; 0 when
// unknown.
uint64_t AvailableMemory() {
  std::ifstream info("/proc/meminfo");
  std::string key;
  uint64_t kibibytes = 0;
  std::string unit;
  while (info >> key >> kibibytes >> unit) {
    if (key == "MemAvailable:") return kibibytes * 1024;
  }
  return 0;
}

TEST(LargePattern, AWideSignatureOfOneGibibyteFailsTheLoad) {
  constexpr uint32_t Length = uint32_t{1} << 30;
  // The pattern, the matcher's copies of it and the 2 GiB wide form.
  if (AvailableMemory() < (uint64_t{8} << 30)) GTEST_SKIP() << "needs 8 GiB of free memory";
  SignatureLibrary library;
  library.header.signatureCount = 1;
  library.signatures = NewArray<SignatureRecord>(1);
  SignatureRecord& signature = library.signatures[0];
  signature.id = 1;
  signature.flags = SignatureFlagWide;
  signature.patternLength = Length;
  signature.pattern = NewBuffer<uint8_t>(size_t{Length} + 2);
  std::memset(signature.pattern.get(), 'a', Length);
  std::memset(signature.pattern.get() + Length, 0, 2);
  EXPECT_EQ(nullptr, BuildScanContext(&library));
}

}  // namespace
}  // namespace veltor
