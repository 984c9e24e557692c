#include "compiler/dbwriter/atomic_file.h"

#include <cerrno>
#include <fstream>
#include <random>
#include <string>
#include <system_error>
#include <utility>

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

// Why the path cannot be replaced, or "" when it is a regular file or free.
std::string Unreplaceable(const std::filesystem::path& path) {
  std::error_code error;
  switch (std::filesystem::symlink_status(path, error).type()) {
    case std::filesystem::file_type::regular:
    case std::filesystem::file_type::not_found: return {};
    case std::filesystem::file_type::symlink: return "a symbolic link, not replaced";
    case std::filesystem::file_type::directory: return "a folder, not replaced";
    case std::filesystem::file_type::block: return "not a regular file: a block device";
    case std::filesystem::file_type::character: return "not a regular file: a character device";
    case std::filesystem::file_type::fifo: return "not a regular file: a FIFO";
    case std::filesystem::file_type::socket: return "not a regular file: a socket";
    default: return error ? error.message() : "not a regular file";
  }
}

}  // namespace

bool WriteFileAtomically(const std::filesystem::path& path, std::span<const uint8_t> bytes, std::string* reason) {
  if (std::string why = Unreplaceable(path); !why.empty()) {
    if (reason != nullptr) *reason = std::move(why);
    return false;
  }
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
