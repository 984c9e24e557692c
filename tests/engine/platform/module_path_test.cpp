// The module's own path as the module entry and the default database path
// rely on it: absolute, naming the module's file, cut safely when too long.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "engine/platform/platform.h"
#include "module_entry_probe.h"

namespace veltor::platform {
namespace {

const int ExecutableAnchor = 0;  // an address inside the test executable

std::string PathOf(const void* address) {
  char buffer[1024];
  const uint32_t length = ModuleFileName(address, buffer, sizeof buffer);
  EXPECT_GT(length, 0u);
  EXPECT_LT(length, sizeof buffer);
  EXPECT_EQ(std::strlen(buffer), length);
  return buffer;
}

std::string Directory(const std::string& path) { return path.substr(0, path.rfind(PathSeparator)); }

TEST(ModuleFileName, NamesTheRunningExecutable) {
  const std::string path = PathOf(&ExecutableAnchor);
  const std::filesystem::path file(path);
  EXPECT_TRUE(file.is_absolute()) << path;
  EXPECT_EQ(file.filename().string(), VELTOR_TEST_EXECUTABLE_NAME) << path;
  EXPECT_TRUE(std::filesystem::is_regular_file(file)) << path;
  EXPECT_EQ(path.find(std::string{PathSeparator} + "." + PathSeparator), std::string::npos) << path;
}

// The probe library sits beside the test executable: the directory the
// library learns at load time is the executable's.
TEST(ModuleFileName, LibraryLearnsItsOwnPathWhenLoaded) {
  const std::string attached = ProbeAttachedPath();
  const std::string library = PathOf(ProbeAddress());
  EXPECT_EQ(attached, library);
  EXPECT_EQ(std::filesystem::path(attached).filename().string(), VELTOR_TEST_PROBE_NAME) << attached;
  EXPECT_EQ(Directory(attached), Directory(PathOf(&ExecutableAnchor)));
}

TEST(ModuleFileName, EntryHookRunsOnceForTheProcess) {
  std::thread([] {}).join();  // thread attach and detach reach the entry too
  EXPECT_EQ(ProbeAttachCount(), 1);
}

TEST(ModuleFileName, LongPathIsCutAndTerminatedInsideTheBuffer) {
  const std::string full = PathOf(&ExecutableAnchor);
  const auto length = static_cast<uint32_t>(full.size());
  constexpr char Guard = '\x5A';

  std::string buffer(full.size() + 8, Guard);
  EXPECT_EQ(ModuleFileName(&ExecutableAnchor, buffer.data(), length + 1), length);  // exact fit
  EXPECT_EQ(buffer.substr(0, full.size() + 2), full + '\0' + Guard);

  for (const uint32_t size : {length, 5u, 1u}) {
    SCOPED_TRACE(size);
    buffer.assign(full.size() + 8, Guard);
    EXPECT_EQ(ModuleFileName(&ExecutableAnchor, buffer.data(), size), size);
    EXPECT_EQ(buffer.substr(0, size - 1), full.substr(0, size - 1));
    EXPECT_EQ(buffer[size - 1], '\0');
    EXPECT_EQ(buffer[size], Guard);
  }

  buffer.assign(8, Guard);
  EXPECT_EQ(ModuleFileName(&ExecutableAnchor, buffer.data(), 0), 0u);
  EXPECT_EQ(buffer, std::string(8, Guard));
}

TEST(ModuleFileName, AddressOutsideEveryModuleFails) {
  int onTheStack = 0;
  char buffer[64];
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(ModuleFileName(&onTheStack, buffer, sizeof buffer), 0u);
  EXPECT_EQ(buffer[0], '\0');
}

}  // namespace
}  // namespace veltor::platform
