#include "scanning/default_database.h"

#include <system_error>

#include "scanning/scan_system.h"

namespace veltor::scanning {

std::vector<std::filesystem::path> DefaultDatabaseCandidates() {
  const std::filesystem::path folder = ProgramFolder();
  if (folder.empty()) return {};
  return {folder / "qzdata.vlb", folder / VELTOR_BIN_TO_LIBDIR / "qzdata.vlb",
          folder / ".." / "engine" / "api" / "qzdata.vlb"};
}

std::optional<std::filesystem::path> FindDefaultDatabase(std::string& tried) {
  tried.clear();
  for (const std::filesystem::path& candidate : DefaultDatabaseCandidates()) {
    std::error_code code;
    if (std::filesystem::is_regular_file(candidate, code)) return candidate.lexically_normal();
    tried += (tried.empty() ? "" : ", ") + candidate.lexically_normal().string();
  }
  return std::nullopt;
}

}  // namespace veltor::scanning
