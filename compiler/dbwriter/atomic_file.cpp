#include "compiler/dbwriter/atomic_file.h"

#include <cerrno>
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

// False with the reason: the streams leave the system's in errno.
bool WriteAll(const std::filesystem::path& path, std::span<const uint8_t> bytes, std::string& reason) {
  errno = 0;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (out) {
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out.fail()) return true;
  }
  reason = errno != 0 ? std::generic_category().message(errno) : std::string("write failed");
  return false;
}

}  // namespace

bool WriteFileAtomically(const std::filesystem::path& path, std::span<const uint8_t> bytes, std::string* reason) {
  const std::filesystem::path temporary = TemporaryNameFor(path);
  std::error_code error;
  std::string why;
  if (WriteAll(temporary, bytes, why)) {
    std::filesystem::rename(temporary, path, error);
    if (!error) return true;
    why = error.message();
  }
  std::filesystem::remove(temporary, error);
  if (reason != nullptr) *reason = why;
  return false;
}

}  // namespace veltor
