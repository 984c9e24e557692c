// The whole engine through its exports: a database from the fuzz data
// (checks fixed, sealed, written to a file) opened with VeltorNewA, its
// build date, and the rest of the data scanned as a buffer (VeltorMemoryA
// and W) and as a file (VeltorFileA and W). Every report must carry a level
// of 1 or 2 and a readable name (or none), and each call must return the number of
// reports it made.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/api/veltor.h"
#include "compiler/dbwriter/database_envelope.h"
#include "fuzz/engine_input.h"
#include "fuzz/fuzz_support.h"

namespace fuzz = veltor::fuzz;

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

// A rule without a name reports a null name to the ANSI callback and an
// empty one to the wide callback.
void VELTOR_CALL OnReportA(int32_t level, const char* name, void* userData) {
  Require(level == 1 || level == 2);
  if (name != nullptr) static_cast<void>(std::strlen(name));
  ++*static_cast<int32_t*>(userData);
}

void VELTOR_CALL OnReportW(int32_t level, const VeltorWideChar* name, void* userData) {
  Require(level == 1 || level == 2);
  Require(name != nullptr);
  while (*name != 0) ++name;
  ++*static_cast<int32_t*>(userData);
}

std::basic_string<VeltorWideChar> Widen(const std::string& path) { return {path.begin(), path.end()}; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const fuzz::ProcessFile database(".vlb");
  static const fuzz::ProcessFile scanned(".bin");

  const fuzz::EngineInput input = fuzz::DecodeEngineInput({data, size});
  std::vector<uint8_t> body(input.body.begin(), input.body.end());
  fuzz::FixBodyChecks(body);
  fuzz::WriteWholeFile(database.path, veltor::SealDatabase(body));

  ScanHandle* handle = VeltorNewA(database.path.c_str());
  if (handle == nullptr) return 0;

  VeltorSystemTime time{};
  VeltorGetLibDate(handle, &time);

  if (!input.scanned.empty()) {
    const auto length = static_cast<int32_t>(input.scanned.size());
    int32_t reports = 0;
    Require(VeltorMemoryA(handle, input.scanned.data(), length, OnReportA, &reports) == reports);
    const int32_t reportsA = reports;
    reports = 0;
    Require(VeltorMemoryW(handle, input.scanned.data(), length, OnReportW, &reports) == reports);
    Require(reports == reportsA);

    fuzz::WriteWholeFile(scanned.path, input.scanned);
    reports = 0;
    Require(VeltorFileA(handle, scanned.path.c_str(), OnReportA, &reports) == reportsA && reports == reportsA);
    reports = 0;
    const auto widePath = Widen(scanned.path);
    Require(VeltorFileW(handle, widePath.c_str(), OnReportW, &reports) == reportsA && reports == reportsA);
  }
  VeltorDelete(handle);
  return 0;
}
