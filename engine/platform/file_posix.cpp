// Reading whole files outside Windows, with the POSIX calls: no stream
// library, so that nothing blocks and nothing throws.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "engine/platform/file_contents.h"
#include "engine/platform/platform.h"

namespace veltor::platform {
namespace {

struct FileDescriptor {
  int fd;
  ~FileDescriptor() {
    if (fd >= 0) close(fd);
  }
};

}  // namespace

bool ReadRegularFile(const char* path, uint64_t maxBytes, FileContents& contents) noexcept {
  contents = FileContents{};
  if (path == nullptr) return false;
  // O_NONBLOCK: opening a FIFO without a writer would otherwise wait for one,
  // and a read of a file that has nothing yet would wait for data.
  const FileDescriptor file{open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)};
  if (file.fd < 0) return false;
  struct stat status {};
  if (fstat(file.fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size < 0) return false;
  const auto size = static_cast<uint64_t>(status.st_size);
  FileContents read;
  if (!PrepareFileContents(size, maxBytes, read)) return false;
  while (read.read < size) {
    const ssize_t got = ::read(file.fd, read.bytes.get() + read.read, static_cast<size_t>(size) - read.read);
    if (got == 0) break;  // the file shrank after it was sized
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;  // EAGAIN included: nothing waits for data
    }
    read.read += static_cast<size_t>(got);
  }
  contents = std::move(read);
  return true;
}

}  // namespace veltor::platform
