#include "compiler/dbwriter/atomic_file.h"

#include <fstream>
#include <random>
#include <string>
#include <system_error>

namespace veltor {
namespace {

// A name beside the target that no other writer picks: the random part keeps
// two writers of the same target apart.
std::filesystem::path TemporaryNameFor(const std::filesystem::path& path) {
  std::random_device random;
  std::filesystem::path temporary = path;
  temporary += ".tmp-" + std::to_string(random()) + std::to_string(random());
  return temporary;
}

bool WriteAll(const std::filesystem::path& path, std::span<const uint8_t> bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.close();
  return !out.fail();
}

}  // namespace

bool WriteFileAtomically(const std::filesystem::path& path, std::span<const uint8_t> bytes) {
  const std::filesystem::path temporary = TemporaryNameFor(path);
  std::error_code error;
  if (WriteAll(temporary, bytes)) {
    std::filesystem::rename(temporary, path, error);
    if (!error) return true;
  }
  std::filesystem::remove(temporary, error);
  return false;
}

}  // namespace veltor
