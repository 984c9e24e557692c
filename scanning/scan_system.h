#pragma once
// The operating-system services `veltor scan` needs beyond the standard
// library: where the program is, reading a file without ever blocking, and
// telling folders apart by identity rather than by name.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace veltor::scanning {

// True when standard error is a terminal (a progress line makes sense).
bool StandardErrorIsTerminal();

// Standard input is read and standard output and error written as bytes,
// with no newline translation: the scanned bytes and the lines written stay
// as they are, the same on every system.
void SetStandardStreamsBinary();

// The folder holding the running program, or an empty path when it cannot
// be told.
std::filesystem::path ProgramFolder();

// A file opened for reading. Opening never waits (a FIFO without a writer,
// a terminal) and a read that would wait is an error, so that no scan hangs
// on a special file.
struct InputFile {
  int descriptor = -1;
  bool owned = false;  // standard input is borrowed, not closed
  bool regular = false;
  uint64_t size = 0;   // as the opened file reports it (regular files)

  InputFile() = default;
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  ~InputFile();
};

// "not a regular file: a FIFO" and the like, for a file of `type`.
std::string NotRegularFileReason(std::filesystem::file_type type);

// Opens `path`; false with `error` set to the reason.
bool OpenInput(InputFile& file, const std::filesystem::path& path, std::string& error);

// Takes over `descriptor`, a file some other part opened (a descriptor a
// client handed over, a stream spooled to a temporary file): it is closed
// with `file`, even when this fails. False with `error` set when it cannot
// be looked at.
bool AdoptInput(InputFile& file, int descriptor, std::string& error);

// Borrows standard input (which may block: that is where its bytes come from).
void OpenStandardInput(InputFile& file);

// Reads up to `capacity` bytes: the count (0 at the end), or nothing with
// `error` set.
std::optional<size_t> ReadInput(InputFile& file, uint8_t* buffer, size_t capacity, std::string& error);

// The entries of a folder as full paths (the folder's path, a separator,
// the name), "." and ".." left out; false with `error` set when the folder
// cannot be listed (the entries read until then are kept). Plain strings:
// a walk builds no path objects, whose cost grows with the depth.
bool ListFolderEntries(const std::filesystem::path::string_type& folder,
                       std::vector<std::filesystem::path::string_type>& entries, std::string& error);

// The type of the file at `path`, the link itself unless `followLinks`;
// not_found when there is nothing, none with `error` set when it cannot be
// looked at.
std::filesystem::file_type TypeOf(const std::filesystem::path::string_type& path, bool followLinks,
                                  std::string& error);

// What tells folders apart while walking: the device and file number on
// POSIX systems, the volume and file index on Windows.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t file = 0;
  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

// The identity of the folder at `path` (links followed); nothing when it
// cannot be looked at.
std::optional<FileIdentity> IdentifyFolder(const std::filesystem::path& path);

// True when the base name `name` matches the shell pattern `pattern`, as
// grep's --include and find's -name match: *, ?, [...] and \ escapes
// (fnmatch). On Windows, * and ? only, without regard to case.
bool NameMatches(std::string_view pattern, std::string_view name);

// The name of the pseudo file system (proc, sysfs, debugfs...) `folder` is
// on, or "" for a file system that holds ordinary files. Always "" where
// the system cannot tell.
std::string PseudoFileSystemName(const std::filesystem::path& folder);

}  // namespace veltor::scanning
