// Local time under the zone this process runs in. CTest runs these tests
// once per zone of the table below, with TZ set; the zones have no daylight
// saving, so the expected offset does not depend on the day they run.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/platform/platform.h"

namespace veltor::platform {
namespace {

constexpr FileTime Minute = 600'000'000;  // FILETIME ticks

struct Zone {
  const char* tz;
  int64_t offsetMinutes;  // local time minus UTC
};

constexpr Zone Zones[] = {
    {"UTC", 0},
    {"Asia/Tokyo", 9 * 60},
    {"<+0530>-5:30", 5 * 60 + 30},
    {"<-05>5", -5 * 60},
};

// The offset of the zone in TZ; fails the test for a zone not in the table.
int64_t ZoneOffsetMinutes() {
  const char* tz = std::getenv("TZ");
  for (const Zone& zone : Zones) {
    if (tz != nullptr && std::strcmp(tz, zone.tz) == 0) return zone.offsetMinutes;
  }
  ADD_FAILURE() << "run with TZ set to a zone of the table, not " << (tz ? tz : "(unset)");
  return 0;
}

FileTime Shift(FileTime utc, int64_t minutes) {
  return minutes >= 0 ? utc + static_cast<FileTime>(minutes) * Minute : utc - static_cast<FileTime>(-minutes) * Minute;
}

// 2023-11-14 22:13:20 UTC, a Tuesday.
constexpr FileTime BuildTime = 133444736000000000;

TEST(LocalTime, AppliesTheZoneOffset) {
  const int64_t offset = ZoneOffsetMinutes();
  for (const FileTime utc : {BuildTime, FileTime{133485408000000000} /* 2024-01-01 */}) {
    FileTime local = 0;
    ASSERT_TRUE(UtcToLocalFileTime(utc, &local));
    EXPECT_EQ(local, Shift(utc, offset));
  }
}

// What VeltorGetLibDate does with a database's build time.
TEST(LocalTime, BuildTimeAsLocalCalendar) {
  const int64_t offset = ZoneOffsetMinutes();
  FileTime local = 0;
  ASSERT_TRUE(UtcToLocalFileTime(BuildTime, &local));
  CalendarTime out{};
  ASSERT_TRUE(FileTimeToCalendar(local, &out));
  const int64_t minutesOfDay = 22 * 60 + 13 + offset;  // stays within Nov 14 or 15 for every zone here
  const int64_t dayShift = minutesOfDay >= 24 * 60 ? 1 : 0;
  EXPECT_EQ(out.year, 2023);
  EXPECT_EQ(out.month, 11);
  EXPECT_EQ(out.day, 14 + dayShift);
  EXPECT_EQ(out.dayOfWeek, 2 + dayShift);
  EXPECT_EQ(out.hour, (minutesOfDay % (24 * 60)) / 60);
  EXPECT_EQ(out.minute, minutesOfDay % 60);
  EXPECT_EQ(out.second, 20);
}

// The shifted instant must stay a FILETIME: east of UTC the last instant has
// no local time, west of UTC the epoch has none.
TEST(LocalTime, EndsOfTheRange) {
  const int64_t offset = ZoneOffsetMinutes();
  FileTime local = 42;
  EXPECT_EQ(UtcToLocalFileTime(LastFileTime, &local), offset <= 0);
  if (offset <= 0) {
    EXPECT_EQ(local, Shift(LastFileTime, offset));
  }
  local = 42;
  EXPECT_EQ(UtcToLocalFileTime(0, &local), offset >= 0);
  if (offset >= 0) {
    EXPECT_EQ(local, Shift(0, offset));
  }
  if (offset != 0) {
    // The instant nearest the end that still has a local time (the last one
    // east of UTC, the first one west of it), and the one just beyond it.
    const FileTime shift = static_cast<FileTime>(offset > 0 ? offset : -offset) * Minute;
    const FileTime edge = offset > 0 ? LastFileTime - shift : shift;
    local = 42;
    EXPECT_FALSE(UtcToLocalFileTime(offset > 0 ? edge + 1 : edge - 1, &local));
    EXPECT_EQ(local, 42u);
    EXPECT_TRUE(UtcToLocalFileTime(edge, &local));
    EXPECT_EQ(local, offset > 0 ? LastFileTime : FileTime{0});
  }
}

}  // namespace
}  // namespace veltor::platform
