#pragma once
// Reload on a change of the database file: its modification time, size and
// inode are looked at every interval on a timer of the networking thread;
// a change that has held for one whole interval (a copy or a compile has
// finished writing) asks for a reload, once.
// Boost 1.74's coroutine support uses std::exchange without including it.
#include <utility>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/io_context.hpp>

#include <cstdint>
#include <functional>
#include <string>

namespace veltor::service {

struct FileStamp {
  bool exists = false;
  int64_t modifiedNanoseconds = 0;
  uint64_t size = 0;
  uint64_t inode = 0;
  uint64_t device = 0;
  bool operator==(const FileStamp&) const = default;
};

FileStamp ReadFileStamp(const std::string& path);

// Runs until `io` stops; calls `changed` on the networking thread.
boost::asio::awaitable<void> WatchDatabase(boost::asio::io_context& io, std::string path, unsigned intervalSeconds,
                                           std::function<void()> changed);

}  // namespace veltor::service
