// Platform layer: local time and the time zone.
//
// Broken-down times use the layout of the original system-time record (year, month 1-12, day of
// week 0 = Sunday, day 1-31, hour, minute, second, milliseconds). Local time follows the process
// time zone (TZ, else /etc/localtime) through localtime_r and mktime, daylight saving included.
// The time zone bias is the standard-time offset only, never adjusted for daylight saving, in
// minutes to add to local standard time to get UTC (west of Greenwich is positive: UTC+9 gives
// -540). Thread-safe.
#ifndef QUENVAR_PLATFORM_LOCAL_TIME_H_
#define QUENVAR_PLATFORM_LOCAL_TIME_H_

#include <cstdint>

#include "platform/env.h"

namespace quenvar::platform {

struct SystemTime {
  uint16_t year = 0;
  uint16_t month = 0;        // 1..12
  uint16_t day_of_week = 0;  // 0 = Sunday
  uint16_t day = 0;          // 1..31
  uint16_t hour = 0;
  uint16_t minute = 0;
  uint16_t second = 0;
  uint16_t milliseconds = 0;
  bool operator==(const SystemTime&) const = default;
};

// False when the time cannot be represented (before 1601 or after 30827).
bool FileTimeToLocalTime(FileTime time, SystemTime* local);
bool LocalTimeToFileTime(const SystemTime& local, FileTime* time);
bool FileTimeToUtcTime(FileTime time, SystemTime* utc);
bool UtcTimeToFileTime(const SystemTime& utc, FileTime* time);

// The standard-time bias of the process time zone in minutes, as described above.
int32_t TimeZoneBiasMinutes();

}  // namespace quenvar::platform

#endif  // QUENVAR_PLATFORM_LOCAL_TIME_H_
