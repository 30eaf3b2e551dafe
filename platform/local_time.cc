#include "platform/local_time.h"

#include <time.h>

#include "platform/file_time.h"
#include "platform/mutex.h"

namespace quenvar::platform {
namespace {

// tzset and the timezone global are not thread-safe; every reader of the zone takes this mutex.
// It guards the C library's zone state, which carries no annotation.
Mutex g_zone_mu;

bool FromTm(const tm& t, uint16_t milliseconds, SystemTime* out) {
  int64_t year = static_cast<int64_t>(t.tm_year) + 1900;
  if (year < 1601 || year > 30827) return false;
  out->year = static_cast<uint16_t>(year);
  out->month = static_cast<uint16_t>(t.tm_mon + 1);
  out->day_of_week = static_cast<uint16_t>(t.tm_wday);
  out->day = static_cast<uint16_t>(t.tm_mday);
  out->hour = static_cast<uint16_t>(t.tm_hour);
  out->minute = static_cast<uint16_t>(t.tm_min);
  out->second = static_cast<uint16_t>(t.tm_sec);
  out->milliseconds = milliseconds;
  return true;
}

int DaysInMonth(int year, int month) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

// Rejects fields out of range, February 30 included, which mktime and timegm would silently move.
bool ToTm(const SystemTime& in, tm* t) {
  if (in.year < 1601 || in.year > 30827 || in.month < 1 || in.month > 12 || in.day < 1 ||
      in.day > DaysInMonth(in.year, in.month) || in.hour > 23 || in.minute > 59 || in.second > 59 ||
      in.milliseconds > 999) {
    return false;
  }
  *t = tm();
  t->tm_year = in.year - 1900;
  t->tm_mon = in.month - 1;
  t->tm_mday = in.day;
  t->tm_hour = in.hour;
  t->tm_min = in.minute;
  t->tm_sec = in.second;
  t->tm_isdst = -1;
  return true;
}

}  // namespace

bool FileTimeToLocalTime(FileTime time, SystemTime* local) {
  time_t seconds = static_cast<time_t>(UnixSecondsFromFileTime(time));
  tm t;
  {
    MutexLock lock(&g_zone_mu);
    if (!localtime_r(&seconds, &t)) return false;
  }
  return FromTm(t, static_cast<uint16_t>(time % kFileTimeUnitsPerSecond / 10000), local);
}

bool LocalTimeToFileTime(const SystemTime& local, FileTime* time) {
  tm t;
  if (!ToTm(local, &t)) return false;
  time_t seconds;
  {
    MutexLock lock(&g_zone_mu);
    seconds = mktime(&t);
  }
  *time = FileTimeFromUnixSeconds(seconds) + static_cast<FileTime>(local.milliseconds) * 10000;
  return true;
}

bool FileTimeToUtcTime(FileTime time, SystemTime* utc) {
  time_t seconds = static_cast<time_t>(UnixSecondsFromFileTime(time));
  tm t;
  if (!gmtime_r(&seconds, &t)) return false;
  return FromTm(t, static_cast<uint16_t>(time % kFileTimeUnitsPerSecond / 10000), utc);
}

bool UtcTimeToFileTime(const SystemTime& utc, FileTime* time) {
  tm t;
  if (!ToTm(utc, &t)) return false;
  t.tm_isdst = 0;
  time_t seconds = timegm(&t);
  *time = FileTimeFromUnixSeconds(seconds) + static_cast<FileTime>(utc.milliseconds) * 10000;
  return true;
}

int32_t TimeZoneBiasMinutes() {
  MutexLock lock(&g_zone_mu);
  tzset();
  return static_cast<int32_t>(timezone / 60);
}

}  // namespace quenvar::platform
