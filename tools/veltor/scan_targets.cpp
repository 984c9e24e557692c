#include "tools/veltor/scan_targets.h"

#include <algorithm>
#include <set>
#include <system_error>
#include <type_traits>

namespace veltor::cli {
namespace {

namespace fs = std::filesystem;

std::string TooLargeReason() { return "larger than 16,777,216 bytes"; }

struct Walker {
  const WalkOptions& options;
  WalkResult& result;
  std::set<fs::path> foldersSeen;  // canonical paths: a link loop is walked once

  void Add(const fs::path& path, TargetState state, std::string reason) {
    result.targets.push_back({path.native(), false, state, std::move(reason)});
  }

  // A regular file found here is scanned unless its size already rules it
  // out; an empty file is found out when it is read (some files report size
  // 0 and still have content).
  void AddFile(const fs::path& path) {
    std::error_code code;
    const uintmax_t size = fs::file_size(path, code);
    if (!code && size > MaxScanSize) {
      Add(path, TargetState::Skipped, TooLargeReason());
    } else {
      Add(path, TargetState::Scan, {});
    }
  }

  void WalkFolder(const fs::path& folder) {
    std::error_code code;
    const fs::path canonical = fs::canonical(folder, code);
    if (!code && !foldersSeen.insert(canonical).second) {
      Add(folder, TargetState::Skipped, "folder already scanned through another path (symbolic link loop)");
      return;
    }
    std::vector<fs::path> entries;
    fs::directory_iterator iterator(folder, code);
    for (const fs::directory_iterator end; !code && iterator != end; iterator.increment(code)) {
      entries.push_back(iterator->path());
    }
    if (code) {
      Add(folder, TargetState::Skipped, "cannot list folder: " + code.message());
      if (entries.empty()) return;
    }
    // The entries share the folder's path: this is the byte order of their
    // names, the order PathLess gives.
    std::sort(entries.begin(), entries.end(),
              [](const fs::path& a, const fs::path& b) { return a.native() < b.native(); });
    for (const fs::path& entry : entries) WalkEntry(entry);
  }

  void WalkEntry(const fs::path& path) {
    std::error_code code;
    fs::file_status status = fs::symlink_status(path, code);
    if (code) {
      Add(path, TargetState::Skipped, "cannot read: " + code.message());
      return;
    }
    if (fs::is_symlink(status)) {
      if (!options.followLinks) {
        ++result.linksNotFollowed;
        return;
      }
      status = fs::status(path, code);
      if (code || !fs::exists(status)) {
        Add(path, TargetState::Skipped, "broken symbolic link");
        return;
      }
    }
    if (fs::is_directory(status)) {
      WalkFolder(path);
    } else if (fs::is_regular_file(status)) {
      AddFile(path);
    } else {
      Add(path, TargetState::Skipped, "not a regular file");
    }
  }

  void WalkArgument(std::string_view argument) {
    if (argument == "-") {
      result.targets.push_back({fs::path(std::string(StandardInputName)).native(), true, TargetState::Scan, {}});
      return;
    }
    const fs::path path{std::string(argument)};
    std::error_code code;
    const fs::file_status status = fs::status(path, code);
    if (status.type() == fs::file_type::not_found) {
      const bool danglingLink = fs::is_symlink(fs::symlink_status(path, code));
      Add(path, TargetState::Error, danglingLink ? "broken symbolic link" : "no such file or folder");
      return;
    }
    if (code) {  // it is there, but cannot be looked at (a folder above it is closed)
      Add(path, TargetState::Skipped, "cannot read: " + code.message());
      return;
    }
    if (fs::is_directory(status)) {
      if (!options.recursive) {
        Add(path, TargetState::Error, "is a folder (scan folders with -r)");
        return;
      }
      WalkFolder(path);
    } else if (fs::is_regular_file(status)) {
      AddFile(path);
    } else {
      Add(path, TargetState::Skipped, "not a regular file");
    }
  }
};

}  // namespace

WalkResult CollectTargets(std::span<const std::string_view> arguments, const WalkOptions& options) {
  WalkResult result;
  Walker walker{options, result, {}};
  for (const std::string_view argument : arguments) walker.WalkArgument(argument);
  return result;
}

std::string PathText(const ScanTarget& target) {
#ifdef _WIN32
  const std::u8string text = fs::path(target.path).u8string();
  return std::string(text.begin(), text.end());
#else
  return target.path;
#endif
}

bool PathLess(const ScanTarget& a, const ScanTarget& b) {
  // A separator sorts before every other character.
  const auto rank = [](fs::path::value_type c) -> uint32_t {
    if (c == fs::path::preferred_separator || c == '/') return 0;
    return static_cast<uint32_t>(static_cast<std::make_unsigned_t<fs::path::value_type>>(c)) + 1;
  };
  return std::lexicographical_compare(a.path.begin(), a.path.end(), b.path.begin(), b.path.end(),
                                      [&rank](auto x, auto y) { return rank(x) < rank(y); });
}

}  // namespace veltor::cli
