#pragma once
// What `veltor scan` is asked to scan: the command line's paths turned into a
// list of files, each to be scanned, or already known to be excluded or an
// error, so that nothing the user named disappears without a word.
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace veltor::scanning {

// How standard input is named in the output.
inline constexpr std::string_view StandardInputName = "(standard input)";

// Scan: to be read and scanned. Excluded: found inside a folder and not a
// file to scan (a device, a FIFO, a link loop, a pseudo file system); not an
// error. Error: could not be looked at, or named and not scannable.
enum class TargetState { Scan, Excluded, Error };

struct ScanTarget {
  // The argument, joined with the names below it. Kept as the plain native
  // string: a path object also keeps every component apart, several times
  // the memory over a walk of many files.
  std::filesystem::path::string_type path;
  bool standardInput = false;
  TargetState state = TargetState::Scan;
  std::string reason;  // why it is excluded, or the error
};

struct WalkOptions {
  bool recursive = false;      // descend into subfolders
  bool followLinks = false;    // follow symbolic links met inside folders
  bool oneFileSystem = false;  // stay on the file system of each named folder
  // Shell patterns matched against the base names of what is met inside
  // folders (see NameMatches): files matching an exclude are left out, and
  // so are, when there are includes, files matching none; subfolders
  // matching an excludeDir are not entered. Exclusion wins. What the
  // command line names is always taken.
  std::vector<std::string> excludes{};
  std::vector<std::string> includes{};
  std::vector<std::string> excludeDirs{};
  // With `recursive`, how many levels of subfolders below a named folder
  // are entered (0: its own files only).
  uint32_t maxDepth = UINT32_MAX;
};

struct WalkResult {
  std::vector<ScanTarget> targets;
  uint64_t linksNotFollowed = 0;
  uint64_t leftOut = 0;  // files and folders the patterns passed over
};

// Walks the arguments in the order given; a folder's entries in the byte
// order of their names. "-" is standard input. A path named on the command
// line is taken as named, through a symbolic link too; links met inside
// folders are counted and passed over unless `followLinks`. A named folder's
// files are scanned, its subfolders only with `recursive`. A folder that is
// one of its own parents (through links) is walked once.
WalkResult CollectTargets(std::span<const std::string_view> arguments, const WalkOptions& options);

// The path as UTF-8 bytes (on POSIX systems, the bytes of the name as they are).
std::string PathText(const ScanTarget& target);

// Path order: component by component, as a walk visits a folder's entries in
// name order ("a/b" before "a-b"), so that a walk of one folder is already in
// this order.
bool PathLess(const ScanTarget& a, const ScanTarget& b);

}  // namespace veltor::scanning
