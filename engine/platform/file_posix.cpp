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

// Opens a regular file for reading without waiting; -1 when it cannot be
// opened or is not a regular file. `size` receives its size.
int OpenRegularFile(const char* path, uint64_t& size) noexcept {
  if (path == nullptr) return -1;
  // O_NONBLOCK: opening a FIFO without a writer would otherwise wait for one,
  // and a read of a file that has nothing yet would wait for data.
  FileDescriptor file{open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)};
  if (file.fd < 0) return -1;
  struct stat status {};
  if (fstat(file.fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size < 0) return -1;
  size = static_cast<uint64_t>(status.st_size);
  return std::exchange(file.fd, -1);
}

// read(2) retried on EINTR: bytes read, 0 at the end, -1 on an error
// (EAGAIN included: nothing waits for data).
ssize_t ReadSome(int fd, uint8_t* into, size_t length) noexcept {
  for (;;) {
    const ssize_t got = ::read(fd, into, length);
    if (got >= 0 || errno != EINTR) return got;
  }
}

}  // namespace

bool StreamRegularFile(const char* path, uint64_t maxBytes, std::span<uint8_t> buffer, FileChunkSink sink,
                       void* context) noexcept {
  if (buffer.empty() || sink == nullptr) return false;
  uint64_t size = 0;
  const FileDescriptor file{OpenRegularFile(path, size)};
  if (file.fd < 0 || size > maxBytes) return false;
  uint64_t done = 0;
  while (done < size) {
    const size_t want = size - done < buffer.size() ? static_cast<size_t>(size - done) : buffer.size();
    const ssize_t got = ReadSome(file.fd, buffer.data(), want);
    if (got < 0) return false;
    if (got == 0) break;  // the file shrank after it was sized
    sink(buffer.data(), static_cast<size_t>(got), context);
    done += static_cast<uint64_t>(got);
  }
  return true;
}

bool ReadRegularFile(const char* path, uint64_t maxBytes, FileContents& contents) noexcept {
  contents = FileContents{};
  uint64_t size = 0;
  const FileDescriptor file{OpenRegularFile(path, size)};
  if (file.fd < 0) return false;
  FileContents read;
  if (!PrepareFileContents(size, maxBytes, read)) return false;
  while (read.read < size) {
    const ssize_t got = ReadSome(file.fd, read.bytes.get() + read.read, static_cast<size_t>(size) - read.read);
    if (got < 0) return false;
    if (got == 0) break;  // the file shrank after it was sized
    read.read += static_cast<size_t>(got);
  }
  contents = std::move(read);
  return true;
}

}  // namespace veltor::platform
