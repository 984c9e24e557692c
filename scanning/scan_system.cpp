#include "scanning/scan_system.h"

#include <cerrno>
#include <system_error>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <dirent.h>
#include <fnmatch.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>
#endif

namespace veltor::scanning {
namespace {

std::string SystemMessage(int number) { return std::generic_category().message(number); }

}  // namespace

std::string NotRegularFileReason(std::filesystem::file_type type) {
  switch (type) {
    case std::filesystem::file_type::block: return "not a regular file: a block device";
    case std::filesystem::file_type::character: return "not a regular file: a character device";
    case std::filesystem::file_type::fifo: return "not a regular file: a FIFO";
    case std::filesystem::file_type::socket: return "not a regular file: a socket";
    default: return "not a regular file";
  }
}

InputFile::~InputFile() {
#ifdef _WIN32
  if (owned && descriptor >= 0) _close(descriptor);
#else
  if (owned && descriptor >= 0) close(descriptor);
#endif
}

bool AdoptInput(InputFile& file, int descriptor, std::string& error) {
  file.descriptor = descriptor;
  file.owned = true;
#ifdef _WIN32
  struct _stat64 facts {};
  const bool known = _fstat64(descriptor, &facts) == 0;
  file.regular = known && (facts.st_mode & _S_IFMT) == _S_IFREG;
#else
  struct stat facts {};
  const bool known = fstat(descriptor, &facts) == 0;
  file.regular = known && S_ISREG(facts.st_mode);
#endif
  if (!known) {
    error = "cannot read: " + SystemMessage(errno);
    return false;
  }
  file.size = file.regular ? static_cast<uint64_t>(facts.st_size) : 0;
  return true;
}

void OpenStandardInput(InputFile& file) {
  file.descriptor = 0;
  file.owned = false;
  file.regular = false;
  file.size = 0;
}

#ifdef _WIN32

bool StandardErrorIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

void SetStandardStreamsBinary() {
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
}

std::filesystem::path ProgramFolder() {
  wchar_t name[32768] = {};
  const DWORD length = GetModuleFileNameW(nullptr, name, 32768);
  if (length == 0 || length >= 32768) return {};
  return std::filesystem::path(std::wstring(name, length)).parent_path();
}

bool OpenInput(InputFile& file, const std::filesystem::path& path, std::string& error) {
  const int descriptor = _wopen(path.c_str(), _O_RDONLY | _O_BINARY);
  if (descriptor < 0) {
    error = "cannot open: " + SystemMessage(errno);
    return false;
  }
  file.descriptor = descriptor;
  file.owned = true;
  struct _stat64 facts {};
  if (_fstat64(descriptor, &facts) != 0) {
    error = "cannot read: " + SystemMessage(errno);
    return false;
  }
  file.regular = (facts.st_mode & _S_IFMT) == _S_IFREG;
  file.size = file.regular ? static_cast<uint64_t>(facts.st_size) : 0;
  return true;
}

std::optional<size_t> ReadInput(InputFile& file, uint8_t* buffer, size_t capacity, std::string& error) {
  const auto count = static_cast<unsigned>(capacity > 0x40000000 ? 0x40000000 : capacity);
  const int read = _read(file.descriptor, buffer, count);
  if (read < 0) {
    error = "read error: " + SystemMessage(errno);
    return std::nullopt;
  }
  return static_cast<size_t>(read);
}

std::optional<FileIdentity> IdentifyFolder(const std::filesystem::path& path) {
  const HANDLE handle = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
  BY_HANDLE_FILE_INFORMATION information{};
  const BOOL known = GetFileInformationByHandle(handle, &information);
  CloseHandle(handle);
  if (known == 0) return std::nullopt;
  return FileIdentity{information.dwVolumeSerialNumber,
                      (static_cast<uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow};
}

std::string PseudoFileSystemName(const std::filesystem::path&) { return {}; }

bool ListFolderEntries(const std::filesystem::path::string_type& folder,
                       std::vector<std::filesystem::path::string_type>& entries, std::string& error) {
  std::error_code code;
  std::filesystem::directory_iterator iterator(std::filesystem::path(folder), code);
  for (const std::filesystem::directory_iterator end; !code && iterator != end; iterator.increment(code)) {
    entries.push_back(iterator->path().native());
  }
  if (code) error = code.message();
  return !code;
}

std::filesystem::file_type TypeOf(const std::filesystem::path::string_type& path, bool followLinks,
                                  std::string& error) {
  std::error_code code;
  const std::filesystem::path name(path);
  const std::filesystem::file_status status =
      followLinks ? std::filesystem::status(name, code) : std::filesystem::symlink_status(name, code);
  if (status.type() == std::filesystem::file_type::not_found) return status.type();
  if (code) {
    error = code.message();
    return std::filesystem::file_type::none;
  }
  return status.type();
}


bool NameMatches(std::string_view pattern, std::string_view name) {
  // Windows has no fnmatch: * and ? as its own shells read them, letters
  // compared without case, as its file names are.
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  size_t p = 0, n = 0, star = std::string_view::npos, resume = 0;
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || lower(pattern[p]) == lower(name[n]))) {
      ++p, ++n;
    } else if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = n;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

#else

bool StandardErrorIsTerminal() { return isatty(STDERR_FILENO) == 1; }

void SetStandardStreamsBinary() {}

std::filesystem::path ProgramFolder() {
  std::error_code code;
  const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", code);
  return code ? std::filesystem::path() : program.parent_path();
}

bool OpenInput(InputFile& file, const std::filesystem::path& path, std::string& error) {
  const int descriptor = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (descriptor < 0) {
    error = "cannot open: " + SystemMessage(errno);
    return false;
  }
  file.descriptor = descriptor;
  file.owned = true;
  // What was opened is what counts: the name may have been replaced since
  // the walk looked at it.
  struct stat facts {};
  if (fstat(descriptor, &facts) != 0) {
    error = "cannot read: " + SystemMessage(errno);
    return false;
  }
  file.regular = S_ISREG(facts.st_mode);
  file.size = file.regular ? static_cast<uint64_t>(facts.st_size) : 0;
  return true;
}

std::optional<size_t> ReadInput(InputFile& file, uint8_t* buffer, size_t capacity, std::string& error) {
  for (;;) {
    const ssize_t count = read(file.descriptor, buffer, capacity);
    if (count >= 0) return static_cast<size_t>(count);
    if (errno == EINTR) continue;
    error = errno == EAGAIN || errno == EWOULDBLOCK ? std::string("read error: it would wait for data")
                                                     : "read error: " + SystemMessage(errno);
    return std::nullopt;
  }
}

std::optional<FileIdentity> IdentifyFolder(const std::filesystem::path& path) {
  struct stat facts {};
  if (stat(path.c_str(), &facts) != 0) return std::nullopt;
  return FileIdentity{static_cast<uint64_t>(facts.st_dev), static_cast<uint64_t>(facts.st_ino)};
}

bool ListFolderEntries(const std::filesystem::path::string_type& folder,
                       std::vector<std::filesystem::path::string_type>& entries, std::string& error) {
  DIR* directory = opendir(folder.c_str());
  if (directory == nullptr) {
    error = SystemMessage(errno);
    return false;
  }
  const std::string prefix = folder.ends_with('/') ? folder : folder + '/';
  errno = 0;
  for (const dirent* entry = readdir(directory); entry != nullptr; entry = readdir(directory)) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") entries.push_back(prefix + entry->d_name);
  }
  const int number = errno;
  closedir(directory);
  if (number != 0) error = SystemMessage(number);
  return number == 0;
}

std::filesystem::file_type TypeOf(const std::filesystem::path::string_type& path, bool followLinks,
                                  std::string& error) {
  using std::filesystem::file_type;
  struct stat facts {};
  if ((followLinks ? stat(path.c_str(), &facts) : lstat(path.c_str(), &facts)) != 0) {
    if (errno == ENOENT) return file_type::not_found;
    error = SystemMessage(errno);
    return file_type::none;
  }
  if (S_ISREG(facts.st_mode)) return file_type::regular;
  if (S_ISDIR(facts.st_mode)) return file_type::directory;
  if (S_ISLNK(facts.st_mode)) return file_type::symlink;
  if (S_ISBLK(facts.st_mode)) return file_type::block;
  if (S_ISCHR(facts.st_mode)) return file_type::character;
  if (S_ISFIFO(facts.st_mode)) return file_type::fifo;
  if (S_ISSOCK(facts.st_mode)) return file_type::socket;
  return file_type::unknown;
}

std::string PseudoFileSystemName(const std::filesystem::path& folder) {
  struct statfs facts {};
  if (statfs(folder.c_str(), &facts) != 0) return {};
  // devtmpfs reports the magic of tmpfs and cannot be told apart here; the
  // devices in it are not regular files and are excluded one by one.
  switch (static_cast<uint64_t>(facts.f_type)) {
    case PROC_SUPER_MAGIC: return "proc";
    case SYSFS_MAGIC: return "sysfs";
    case DEBUGFS_MAGIC: return "debugfs";
    case TRACEFS_MAGIC: return "tracefs";
    case SECURITYFS_MAGIC: return "securityfs";
    case CGROUP_SUPER_MAGIC: return "cgroup";
    case CGROUP2_SUPER_MAGIC: return "cgroup2";
    case DEVPTS_SUPER_MAGIC: return "devpts";
    case PSTOREFS_MAGIC: return "pstore";
    case EFIVARFS_MAGIC: return "efivarfs";
    case BPF_FS_MAGIC: return "bpf";
    case BINFMTFS_MAGIC: return "binfmt_misc";
    case SELINUX_MAGIC: return "selinuxfs";
    case NSFS_MAGIC: return "nsfs";
    case 0x62656570: return "configfs";  // not in every kernel's headers
    case 0x65735543: return "fusectl";
    default: return {};
  }
}


bool NameMatches(std::string_view pattern, std::string_view name) {
  // As grep's --include and the shell: *, ?, [...] and \ escapes; a
  // leading dot is matched by a wildcard too (no FNM_PERIOD).
  return fnmatch(std::string(pattern).c_str(), std::string(name).c_str(), 0) == 0;
}

#endif

}  // namespace veltor::scanning
