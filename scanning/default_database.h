#pragma once
// Where a front end finds the default database when it is given none.
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace veltor::scanning {

// The places looked at, in order, relative to the running program's folder:
// qzdata.vlb beside it (a Windows installation), the installation's library
// folder (bin/../lib), the build tree (build/<preset>/<program>/ beside
// build/<preset>/engine/api/). Empty when the program's folder is unknown.
std::vector<std::filesystem::path> DefaultDatabaseCandidates();

// The first candidate that is a regular file; nothing, with `tried` listing
// the candidates looked at, when there is none.
std::optional<std::filesystem::path> FindDefaultDatabase(std::string& tried);

}  // namespace veltor::scanning
