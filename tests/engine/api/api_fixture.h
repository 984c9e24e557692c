#pragma once
// Integration tests drive the real shared library through its eight exports
// only, over database files written to disk with the real database writer.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "engine/api/veltor.h"
#include "support/records.h"
#include "support/temp_dir.h"
#include "support/veltor_library.h"

namespace veltor::testing {

// The library built in this tree, loaded once per test program.
const VeltorExports& Veltor();

// Writes a sealed database file into `dir`.
std::filesystem::path WriteDatabase(const TempDir& dir, std::string_view fileName,
                                    const std::vector<SignatureInput>& signatures,
                                    const std::vector<RuleInput>& rules, uint64_t buildTime = 0);

// What the callbacks received.
struct AnsiReport {
  int32_t level;
  std::optional<std::string> name;  // nullopt: the name pointer was null
  bool operator==(const AnsiReport&) const = default;
};
struct WideReport {
  int32_t level;
  std::u16string name;
  bool operator==(const WideReport&) const = default;
};

void VELTOR_CALL CollectAnsi(int32_t level, const char* name, void* userData);
void VELTOR_CALL CollectWide(int32_t level, const VeltorWideChar* name, void* userData);

// An open handle, deleted at the end of the scope.
class Handle {
 public:
  explicit Handle(ScanHandle* handle) : handle_(handle) {}
  ~Handle() { Veltor().deleteHandle(handle_); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ScanHandle* get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }

 private:
  ScanHandle* handle_;
};

Handle Open(const std::filesystem::path& database);

// Scans text through VeltorMemoryA and returns the reports.
std::vector<AnsiReport> ScanText(ScanHandle* handle, std::string_view text, int32_t* result = nullptr);

std::u16string WidePath(const std::filesystem::path& path);

}  // namespace veltor::testing
