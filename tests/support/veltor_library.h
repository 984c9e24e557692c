#pragma once
// Loads the real shared library (libQZVeltor.so / QZVeltor.dll) from a path
// and resolves its eight exports, as a host that loads it at run time would.
#include <filesystem>
#include <string>

#include "engine/api/veltor.h"

namespace veltor::testing {

struct VeltorExports {
  VeltorNewAProc newA = nullptr;
  VeltorNewWProc newW = nullptr;
  VeltorDeleteProc deleteHandle = nullptr;
  VeltorGetLibDateProc getLibDate = nullptr;
  VeltorFileAProc fileA = nullptr;
  VeltorFileWProc fileW = nullptr;
  VeltorMemoryAProc memoryA = nullptr;
  VeltorMemoryWProc memoryW = nullptr;
};

class VeltorLibrary {
 public:
  // Throws when the library cannot be loaded or an export is missing.
  explicit VeltorLibrary(const std::filesystem::path& path);
  ~VeltorLibrary();
  VeltorLibrary(const VeltorLibrary&) = delete;
  VeltorLibrary& operator=(const VeltorLibrary&) = delete;

  const VeltorExports& exports() const { return exports_; }

 private:
  void* module_ = nullptr;
  VeltorExports exports_;
};

// The library built in this tree (its path is compiled into the tests).
std::filesystem::path BuiltLibraryPath();

}  // namespace veltor::testing
