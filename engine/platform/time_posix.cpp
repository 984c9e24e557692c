// FILETIME conversions outside Windows: local time from the process's time
// zone (TZ), calendar fields from the standard calendar types.
#include <chrono>
#include <ctime>

#include "engine/platform/platform.h"

namespace veltor::platform {
namespace {

using Ticks = std::chrono::duration<int64_t, std::ratio<1, 10'000'000>>;

constexpr std::chrono::sys_days FileTimeEpoch =
    std::chrono::sys_days{std::chrono::year{1601} / std::chrono::January / 1};

// Local time minus UTC, as in force now. Windows applies its current bias
// to every instant it converts, whatever offset held at that instant.
// The zone is the one the C library read from TZ on its first conversion:
// no tzset() here, which would read the environment again at every call and
// race with a host thread that changes TZ with setenv. A host that changes
// TZ calls tzset() itself.
bool CurrentUtcOffset(int64_t* seconds) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  if (localtime_r(&now, &local) == nullptr) return false;
  *seconds = local.tm_gmtoff;
  return true;
}

}  // namespace

bool UtcToLocalFileTime(FileTime utc, FileTime* local) noexcept {
  if (local == nullptr || utc > LastFileTime) return false;
  int64_t offsetSeconds = 0;
  if (!CurrentUtcOffset(&offsetSeconds)) return false;
  const int64_t offset = std::chrono::duration_cast<Ticks>(std::chrono::seconds{offsetSeconds}).count();
  // The shifted instant must stay within 0..LastFileTime.
  if (offset >= 0 ? utc > LastFileTime - static_cast<uint64_t>(offset) : utc < static_cast<uint64_t>(-offset)) {
    return false;
  }
  *local = utc + static_cast<uint64_t>(offset);  // modulo 2^64: a negative offset subtracts
  return true;
}

bool FileTimeToCalendar(FileTime time, CalendarTime* out) noexcept {
  if (out == nullptr || time > LastFileTime) return false;
  const Ticks sinceEpoch{static_cast<int64_t>(time)};
  const auto wholeDays = std::chrono::floor<std::chrono::days>(sinceEpoch);
  const std::chrono::sys_days date = FileTimeEpoch + wholeDays;
  const std::chrono::year_month_day calendarDate{date};
  const std::chrono::hh_mm_ss clock{std::chrono::floor<std::chrono::milliseconds>(sinceEpoch - wholeDays)};
  out->year = static_cast<uint16_t>(static_cast<int>(calendarDate.year()));
  out->month = static_cast<uint16_t>(static_cast<unsigned>(calendarDate.month()));
  out->dayOfWeek = static_cast<uint16_t>(std::chrono::weekday{date}.c_encoding());
  out->day = static_cast<uint16_t>(static_cast<unsigned>(calendarDate.day()));
  out->hour = static_cast<uint16_t>(clock.hours().count());
  out->minute = static_cast<uint16_t>(clock.minutes().count());
  out->second = static_cast<uint16_t>(clock.seconds().count());
  out->milliseconds = static_cast<uint16_t>(clock.subseconds().count());
  return true;
}

}  // namespace veltor::platform
