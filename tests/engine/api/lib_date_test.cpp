// VeltorGetLibDate gives the build time in local time. CTest runs this
// program once per time zone, with TZ and the zone's offset in minutes
// (VELTOR_EXPECTED_UTC_OFFSET_MINUTES) in the environment; zones without
// daylight saving keep the expectation independent of the day it runs.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

#include "engine/api/api_fixture.h"
#include "compiler/bytecode/expression_tree.h"

namespace veltor::testing {
namespace {

int ExpectedOffsetMinutes() {
  const char* value = std::getenv("VELTOR_EXPECTED_UTC_OFFSET_MINUTES");
  return value != nullptr ? std::atoi(value) : 0;
}

// FILETIME of a UTC calendar instant.
uint64_t FileTimeOf(int y, unsigned m, unsigned d, int hh, int mm, int ss) {
  using namespace std::chrono;
  const auto date = sys_days{year{y} / month{m} / day{d}};
  const auto sinceUnix = date.time_since_epoch() + hours{hh} + minutes{mm} + seconds{ss};
  constexpr int64_t UnixEpochAsFileTime = 116444736000000000;  // 1970-01-01 in 100 ns since 1601
  return static_cast<uint64_t>(UnixEpochAsFileTime + duration_cast<nanoseconds>(sinceUnix).count() / 100);
}

TEST(LibDate, IsTheBuildTimeShiftedByTheCurrentOffset) {
  struct Case {
    int year;
    unsigned month, day;
    int hour, minute, second;
  };
  const Case cases[] = {{2026, 12, 8, 20, 30, 15}, {2000, 2, 29, 23, 59, 59}, {2024, 12, 31, 22, 0, 0}};
  TempDir dir;
  for (const Case& c : cases) {
    const uint64_t utc = FileTimeOf(c.year, c.month, c.day, c.hour, c.minute, c.second);
    Handle handle(Open(WriteDatabase(dir, "dated.vlb", {}, {}, utc + 1230000)));  // + 123 ms
    ASSERT_TRUE(handle);
    VeltorSystemTime out{};
    ASSERT_EQ(Veltor().getLibDate(handle.get(), &out), 1);

    using namespace std::chrono;
    const auto local = sys_seconds{seconds{(static_cast<int64_t>(utc) - 116444736000000000) / 10000000}} +
                       minutes{ExpectedOffsetMinutes()};
    const auto localDay = floor<days>(local);
    const year_month_day date{localDay};
    const hh_mm_ss clock{local - localDay};
    EXPECT_EQ(int{out.wYear}, static_cast<int>(date.year()));
    EXPECT_EQ(unsigned{out.wMonth}, static_cast<unsigned>(date.month()));
    EXPECT_EQ(unsigned{out.wDay}, static_cast<unsigned>(date.day()));
    EXPECT_EQ(unsigned{out.wDayOfWeek}, weekday{localDay}.c_encoding());
    EXPECT_EQ(int64_t{out.wHour}, int64_t{clock.hours().count()});
    EXPECT_EQ(int64_t{out.wMinute}, int64_t{clock.minutes().count()});
    EXPECT_EQ(int64_t{out.wSecond}, int64_t{clock.seconds().count()});
    EXPECT_EQ(int{out.wMilliseconds}, 123);
  }
}

}  // namespace
}  // namespace veltor::testing
