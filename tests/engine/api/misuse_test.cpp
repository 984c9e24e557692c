// A host that misuses a handle from its own callback, or points the library
// at something that is not a regular file: the call returns at once and the
// outer scan is unharmed.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include "engine/api/api_fixture.h"
#include "compiler/bytecode/expression_tree.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace veltor::testing {
namespace {

using namespace bytecode;

// Three rules that all report on "needle".
std::filesystem::path ThreeRuleDatabase(const TempDir& dir, std::string_view name) {
  return WriteDatabase(dir, name, {Signature(1, "needle")},
                       {Rule(1, "One", SignatureRef(1)), Rule(2, "Two", SignatureRef(1)),
                        Rule(3, "Three", SignatureRef(1))});
}

// What the callback does on each report, with the handle it reports for.
struct Misuse {
  ScanHandle* handle = nullptr;
  std::function<void(ScanHandle*)> onReport;
  std::vector<std::string> names;
};

void VELTOR_CALL CallMisuse(int32_t, const char* name, void* userData) {
  auto& misuse = *static_cast<Misuse*>(userData);
  misuse.names.push_back(name != nullptr ? name : "");
  misuse.onReport(misuse.handle);
}

int32_t ScanWithMisuse(Misuse& misuse) {
  static constexpr char Text[] = "a needle";
  return Veltor().memoryA(misuse.handle, Text, sizeof Text - 1, CallMisuse, &misuse);
}

const std::vector<std::string> AllThree{"One", "Two", "Three"};

TEST(CallbackMisuse, ANestedScanOnTheReportingHandleReturnsZeroAndChangesNothing) {
  TempDir dir;
  const auto database = ThreeRuleDatabase(dir, "rules.vlb");
  const auto file = dir.Write("file.txt", "needle");
  Handle handle = Open(database);
  ASSERT_TRUE(handle);
  std::vector<int32_t> nested;
  Misuse misuse{handle.get(), [&](ScanHandle* h) {
                  static constexpr char Other[] = "needle";
                  nested.push_back(Veltor().memoryA(h, Other, 6, nullptr, nullptr));
                  nested.push_back(Veltor().fileA(h, file.string().c_str(), nullptr, nullptr));
                  nested.push_back(Veltor().memoryW(h, Other, 6, nullptr, nullptr));
                }, {}};
  EXPECT_EQ(3, ScanWithMisuse(misuse));
  EXPECT_EQ(AllThree, misuse.names);
  EXPECT_EQ(std::vector<int32_t>(9, 0), nested);
  // The handle is free again afterwards.
  EXPECT_EQ(3u, ScanText(handle.get(), "needle").size());
}

TEST(CallbackMisuse, AnotherHandleKeepsWorkingInsideTheCallback) {
  TempDir dir;
  Handle handle = Open(ThreeRuleDatabase(dir, "a.vlb"));
  Handle other = Open(ThreeRuleDatabase(dir, "b.vlb"));
  ASSERT_TRUE(handle && other);
  std::vector<size_t> found;
  Misuse misuse{handle.get(), [&](ScanHandle*) { found.push_back(ScanText(other.get(), "needle").size()); }, {}};
  EXPECT_EQ(3, ScanWithMisuse(misuse));
  EXPECT_EQ(std::vector<size_t>(3, 3), found);
}

TEST(CallbackMisuse, DeletingTheReportingHandleTakesEffectWhenTheScanReturns) {
  // Run under AddressSanitizer: a use after free or a leak fails the test.
  TempDir dir;
  ScanHandle* handle = Veltor().newA(ThreeRuleDatabase(dir, "rules.vlb").string().c_str());
  ASSERT_NE(nullptr, handle);
  int deletes = 0;
  Misuse misuse{handle, [&](ScanHandle* h) {
                  // Twice: a second request for the same pending deletion is
                  // still one deletion.
                  if (deletes++ < 2) Veltor().deleteHandle(h);
                }, {}};
  EXPECT_EQ(3, ScanWithMisuse(misuse));
  EXPECT_EQ(AllThree, misuse.names);
}

// Runs `call` with a deadline. On a timeout `unblock` is run so that the
// stuck call can return, and the test fails.
template <typename Result>
Result WithinDeadline(const std::function<Result()>& call, const std::function<void()>& unblock) {
  auto future = std::async(std::launch::async, call);
  if (future.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
    ADD_FAILURE() << "the call blocked";
    unblock();
  }
  return future.get();
}

TEST(NotARegularFile, AFolderIsRefused) {
  TempDir dir;
  Handle handle = Open(ThreeRuleDatabase(dir, "rules.vlb"));
  ASSERT_TRUE(handle);
  EXPECT_EQ(0, Veltor().fileA(handle.get(), dir.path().string().c_str(), nullptr, nullptr));
  EXPECT_EQ(nullptr, Veltor().newA(dir.path().string().c_str()));
}

#ifndef _WIN32
TEST(NotARegularFile, AFifoIsRefusedAtOnce) {
  TempDir dir;
  Handle handle = Open(ThreeRuleDatabase(dir, "rules.vlb"));
  ASSERT_TRUE(handle);
  const std::string fifo = (dir.path() / "fifo").string();
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  // A writer that opens its end lets a reader stuck in open() go on.
  const auto unblock = [&] {
    const int writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    if (writer >= 0) close(writer);
  };
  EXPECT_EQ(0, WithinDeadline<int32_t>([&] { return Veltor().fileA(handle.get(), fifo.c_str(), nullptr, nullptr); },
                                       unblock));
  const std::u16string wide = WidePath(fifo);
  EXPECT_EQ(0, WithinDeadline<int32_t>(
                   [&] {
                     return Veltor().fileW(handle.get(), reinterpret_cast<const VeltorWideChar*>(wide.c_str()),
                                           nullptr, nullptr);
                   },
                   unblock));
  ScanHandle* opened = WithinDeadline<ScanHandle*>([&] { return Veltor().newA(fifo.c_str()); }, unblock);
  EXPECT_EQ(nullptr, opened);
  Veltor().deleteHandle(opened);
}

TEST(NotARegularFile, AFileWhoseReadWouldWaitIsNotWaitedFor) {
  // The kernel log: a regular file whose read waits for new messages.
  constexpr char KernelLog[] = "/proc/kmsg";
  if (access(KernelLog, R_OK) != 0) GTEST_SKIP() << "no read access to " << KernelLog;
  TempDir dir;
  Handle handle = Open(ThreeRuleDatabase(dir, "rules.vlb"));
  ASSERT_TRUE(handle);
  const auto nothing = [] {};
  EXPECT_EQ(0, WithinDeadline<int32_t>([&] { return Veltor().fileA(handle.get(), KernelLog, nullptr, nullptr); },
                                       nothing));
  ScanHandle* opened = WithinDeadline<ScanHandle*>([&] { return Veltor().newA(KernelLog); }, nothing);
  EXPECT_EQ(nullptr, opened);
  Veltor().deleteHandle(opened);
}
#endif

}  // namespace
}  // namespace veltor::testing
