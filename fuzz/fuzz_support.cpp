#include "fuzz/fuzz_support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <unistd.h>

#include "engine/database/crc32.h"
#include "engine/database/database_format.h"
#include "engine/text/little_endian.h"

namespace veltor::fuzz {
namespace {

// The CRC of a table's extent, clamped to the body so that a wild extent
// still yields some value (the parser rejects it by its extent anyway).
uint32_t TableCrc(const std::vector<uint8_t>& body, uint32_t offset, uint32_t length) {
  const size_t start = std::min<size_t>(offset, body.size());
  const size_t count = std::min<size_t>(length, body.size() - start);
  return Crc32(body.data() + start, static_cast<uint32_t>(count));
}

}  // namespace

void FixBodyChecks(std::vector<uint8_t>& body) {
  if (body.size() < BodyHeaderSize) return;
  std::copy(BodyMagic.begin(), BodyMagic.end(), body.begin());
  // A table may overlap the header's CRC fields; writing one CRC can then
  // change the bytes another covers. Such bodies stay rejected, which is
  // fine: most mutations keep the tables clear of the header.
  StoreU32(&body[120], TableCrc(body, LoadU32(&body[24]), LoadU32(&body[28])));
  StoreU32(&body[124], TableCrc(body, LoadU32(&body[36]), LoadU32(&body[40])));
  StoreU32(&body[116], Crc32(body.data(), HeaderCrcCoverage));
}

ProcessFile::ProcessFile(const char* suffix)
    : path((std::filesystem::temp_directory_path() / ("veltor-fuzz-" + std::to_string(getpid()) + suffix)).string()) {}

ProcessFile::~ProcessFile() { std::remove(path.c_str()); }

void WriteWholeFile(const std::string& path, std::span<const uint8_t> bytes) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) std::abort();
  const size_t written = bytes.empty() ? 0 : std::fwrite(bytes.data(), 1, bytes.size(), file);
  if (std::fclose(file) != 0 || written != bytes.size()) std::abort();
}

uint32_t ByteReader::Word() noexcept {
  uint32_t value = 0;
  for (int k = 0; k < 4; ++k) value |= static_cast<uint32_t>(Byte()) << (8 * k);
  return value;
}

std::span<const uint8_t> ByteReader::Take(size_t count) noexcept {
  const size_t start = std::min(position, bytes.size());
  const size_t taken = std::min(count, bytes.size() - start);
  position = start + taken;
  return bytes.subspan(start, taken);
}

}  // namespace veltor::fuzz
