#include "scanning/scan_targets.h"

#include <algorithm>
#include <optional>
#include <system_error>
#include <type_traits>

#include "scanning/scan_system.h"

namespace veltor::scanning {
namespace {

namespace fs = std::filesystem;

std::string KindName(fs::file_type type) {
  switch (type) {
    case fs::file_type::block: return "not a regular file: a block device";
    case fs::file_type::character: return "not a regular file: a character device";
    case fs::file_type::fifo: return "not a regular file: a FIFO";
    case fs::file_type::socket: return "not a regular file: a socket";
    default: return "not a regular file";
  }
}

// The last component of a path the walk built (folder, separator, name),
// as UTF-8 or the system's bytes.
std::string BaseName(const fs::path::string_type& path) {
#ifdef _WIN32
  const std::u8string text = fs::path(path).filename().u8string();
  return std::string(text.begin(), text.end());
#else
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
#endif
}

// Paths are held as plain strings while walking: a path object also keeps
// each of its components, and a frame per level holding one would take
// memory quadratic in the depth of the tree.
using PathString = fs::path::string_type;

struct Walker {
  const WalkOptions& options;
  WalkResult& result;
  // The folders from the named one down to the one being listed: a folder
  // met again among them is a loop. Comparing identities costs one stat per
  // folder, whatever the depth.
  std::vector<FileIdentity> onPath;
  uint64_t namedDevice = 0;

  void Add(const PathString& path, TargetState state, std::string reason) {
    result.targets.push_back({path, false, state, std::move(reason)});
  }

  // Lists the folder and walks its entries; `identity` is already on the path.
  void ListFolder(const PathString& folder) {
    std::vector<PathString> entries;
    std::string error;
    if (!ListFolderEntries(folder, entries, error)) Add(folder, TargetState::Error, "cannot list folder: " + error);
    // The entries share the folder's path: this is the byte order of their
    // names, the order PathLess gives.
    std::sort(entries.begin(), entries.end());
    for (const PathString& entry : entries) WalkEntry(entry);
  }

  // Whether a pattern leaves the entry out; counted when it does.
  bool LeftOut(const PathString& path, bool folder) {
    if (folder ? options.excludeDirs.empty() : options.excludes.empty() && options.includes.empty()) return false;
    const std::string name = BaseName(path);
    const auto any = [&name](const std::vector<std::string>& patterns) {
      return std::any_of(patterns.begin(), patterns.end(),
                         [&name](const std::string& pattern) { return NameMatches(pattern, name); });
    };
    const bool out = folder ? any(options.excludeDirs)
                            : any(options.excludes) || (!options.includes.empty() && !any(options.includes));
    result.leftOut += out ? 1 : 0;
    return out;
  }

  void WalkSubfolder(const PathString& folder) {
    if (!options.recursive || onPath.size() > options.maxDepth) return;
    if (LeftOut(folder, true)) return;
    const std::optional<FileIdentity> identity = IdentifyFolder(folder);
    if (!identity) {
      Add(folder, TargetState::Error, "cannot read folder");
      return;
    }
    if (std::find(onPath.begin(), onPath.end(), *identity) != onPath.end()) {
      Add(folder, TargetState::Excluded, "symbolic link loop: the folder is one of its own parents");
      return;
    }
    // A mount point: the one place a folder's file system changes.
    if (identity->device != onPath.back().device) {
      if (options.oneFileSystem && identity->device != namedDevice) {
        Add(folder, TargetState::Excluded, "on another file system (-x)");
        return;
      }
      if (const std::string pseudo = PseudoFileSystemName(folder); !pseudo.empty()) {
        Add(folder, TargetState::Excluded, "pseudo file system (" + pseudo + ")");
        return;
      }
    }
    onPath.push_back(*identity);
    ListFolder(folder);
    onPath.pop_back();
  }

  void WalkEntry(const PathString& name) {
    const fs::file_type type = EntryType(name);
    if (type == fs::file_type::none) return;  // already listed or counted
    if (type == fs::file_type::directory) {
      WalkSubfolder(name);
    } else if (LeftOut(name, false)) {
      return;
    } else if (type == fs::file_type::regular) {
      Add(name, TargetState::Scan, {});
    } else {
      Add(name, TargetState::Excluded, KindName(type));
    }
  }

  // What an entry is, links followed when asked; `none` when it has been
  // dealt with here (an error, a link passed over or broken).
  fs::file_type EntryType(const PathString& name) {
    std::string error;
    fs::file_type type = TypeOf(name, false, error);
    if (type == fs::file_type::none || type == fs::file_type::not_found) {
      // Gone since the folder was listed, or cannot be looked at.
      Add(name, TargetState::Error, "cannot read: " + (error.empty() ? std::string("no such file") : error));
      return fs::file_type::none;
    }
    if (type != fs::file_type::symlink) return type;
    if (!options.followLinks) {
      ++result.linksNotFollowed;
      return fs::file_type::none;
    }
    type = TypeOf(name, true, error);
    if (type == fs::file_type::none || type == fs::file_type::not_found) {
      Add(name, TargetState::Excluded, "broken symbolic link");
      return fs::file_type::none;
    }
    return type;
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
      Add(path, TargetState::Error, "cannot read: " + code.message());
      return;
    }
    if (fs::is_directory(status)) {
      const std::optional<FileIdentity> identity = IdentifyFolder(path);
      if (!identity) {
        Add(path, TargetState::Error, "cannot read folder");
        return;
      }
      namedDevice = identity->device;
      onPath.assign(1, *identity);
      ListFolder(path.native());
      onPath.clear();
    } else if (fs::is_regular_file(status)) {
      Add(path, TargetState::Scan, {});
    } else {
      Add(path, TargetState::Error, KindName(status.type()));
    }
  }
};

}  // namespace

WalkResult CollectTargets(std::span<const std::string_view> arguments, const WalkOptions& options) {
  WalkResult result;
  Walker walker{options, result, {}, 0};
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

}  // namespace veltor::scanning
