// FILETIME to calendar fields, as VeltorGetLibDate hands them to the host,
// and the values no conversion accepts. Independent of the time zone.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "engine/platform/platform.h"

namespace veltor::platform {

// Found by argument-dependent lookup, so beside CalendarTime.
bool operator==(const CalendarTime& a, const CalendarTime& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

void PrintTo(const CalendarTime& t, std::ostream* out) {
  *out << t.year << '-' << t.month << '-' << t.day << " (weekday " << t.dayOfWeek << ") " << t.hour << ':'
       << t.minute << ':' << t.second << '.' << t.milliseconds;
}

namespace {

constexpr FileTime Ms = 10'000;  // FILETIME ticks per millisecond

struct Instant {
  const char* what;
  FileTime time;
  CalendarTime expected;  // year, month, weekday, day, hour, minute, second, ms
};

TEST(FileTimeToCalendar, KnownInstants) {
  const std::vector<Instant> instants = {
      {"the epoch", 0, {1601, 1, 1, 1, 0, 0, 0, 0}},
      {"below a millisecond truncates", Ms - 1, {1601, 1, 1, 1, 0, 0, 0, 0}},
      {"one millisecond", Ms, {1601, 1, 1, 1, 0, 0, 0, 1}},
      {"end of the first year", 315359990000000, {1601, 12, 1, 31, 23, 59, 59, 0}},
      {"the Unix epoch", 116444736000000000, {1970, 1, 4, 1, 0, 0, 0, 0}},
      {"1900 is not a leap year", 94405823999990000, {1900, 2, 3, 28, 23, 59, 59, 999}},
      {"so February 28 is followed by March 1", 94405824000000000, {1900, 3, 4, 1, 0, 0, 0, 0}},
      {"2000 is a leap year", 125963012967890000, {2000, 2, 2, 29, 12, 34, 56, 789}},
      {"the day after the leap day", 125963424000000000, {2000, 3, 3, 1, 0, 0, 0, 0}},
      {"2100 is not a leap year", 157520159990000000, {2100, 2, 0, 28, 23, 59, 59, 0}},
      {"the next day", 157520160000000000, {2100, 3, 1, 1, 0, 0, 0, 0}},
      {"last of year 9999", 2650467743999990000, {9999, 12, 5, 31, 23, 59, 59, 999}},
      {"last of year 30827", 9223149887999999999u, {30827, 12, 5, 31, 23, 59, 59, 999}},
      {"first of year 30828", 9223149888000000000u, {30828, 1, 6, 1, 0, 0, 0, 0}},
      {"the last FILETIME", LastFileTime, {30828, 9, 4, 14, 2, 48, 5, 477}},
  };
  for (const Instant& instant : instants) {
    CalendarTime out{};
    EXPECT_TRUE(FileTimeToCalendar(instant.time, &out)) << instant.what;
    EXPECT_EQ(out, instant.expected) << instant.what;
  }
}

TEST(FileTimeToCalendar, ValuesAboveTheLastFileTimeFail) {
  for (const FileTime time : {LastFileTime + 1, FileTime{0xFFFF'FFFF'FFFF'FFFF}}) {
    CalendarTime out{7, 7, 7, 7, 7, 7, 7, 7};
    EXPECT_FALSE(FileTimeToCalendar(time, &out));
    EXPECT_EQ(out, (CalendarTime{7, 7, 7, 7, 7, 7, 7, 7})) << "left untouched";

    FileTime local = 42;
    EXPECT_FALSE(UtcToLocalFileTime(time, &local));
    EXPECT_EQ(local, 42u) << "left untouched";
  }
}

TEST(FileTimeToCalendar, NullDestinationsFail) {
  EXPECT_FALSE(FileTimeToCalendar(0, nullptr));
  EXPECT_FALSE(UtcToLocalFileTime(0, nullptr));
}

}  // namespace
}  // namespace veltor::platform
