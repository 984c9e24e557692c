#pragma once
// A temporary folder for one test, removed with everything in it at the end.
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

namespace veltor::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // Writes a file inside the folder and returns its full path.
  std::filesystem::path Write(std::string_view name, std::span<const uint8_t> bytes) const;
  std::filesystem::path Write(std::string_view name, std::string_view text) const;

 private:
  std::filesystem::path path_;
};

}  // namespace veltor::testing
