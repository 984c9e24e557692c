#include "veltord/database_watch.h"

#include <sys/stat.h>

#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <optional>

namespace veltor::service {

FileStamp ReadFileStamp(const std::string& path) {
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) return {};
  return {true, int64_t{status.st_mtim.tv_sec} * 1'000'000'000 + status.st_mtim.tv_nsec,
          static_cast<uint64_t>(status.st_size), static_cast<uint64_t>(status.st_ino),
          static_cast<uint64_t>(status.st_dev)};
}

boost::asio::awaitable<void> WatchDatabase(boost::asio::io_context& io, std::string path, unsigned intervalSeconds,
                                           std::function<void()> changed) {
  boost::asio::steady_timer timer(io);
  FileStamp loaded = ReadFileStamp(path);  // as the database in use was read, near enough
  std::optional<FileStamp> seen;           // a change, waiting to hold for an interval
  for (;;) {
    timer.expires_after(std::chrono::seconds(intervalSeconds));
    boost::system::error_code error;
    co_await timer.async_wait(boost::asio::redirect_error(boost::asio::use_awaitable, error));
    if (error) co_return;
    const FileStamp now = ReadFileStamp(path);
    if (now == loaded) {
      seen.reset();
    } else if (seen && *seen == now) {
      // A file that does not load is not tried again until it changes.
      loaded = now;
      seen.reset();
      changed();
    } else {
      seen = now;
    }
  }
}

}  // namespace veltor::service
