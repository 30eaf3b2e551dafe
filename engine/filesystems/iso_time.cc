#include "filesystems/iso_time.h"

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "filesystems/layout/ecma119_layout.h"

namespace quillden::fs {
namespace {

// 100-ns units between 1601-01-01 and 1970-01-01.
constexpr uint64_t kUnixEpochFileTime = 116444736000000000ull;

IsoTime FromTm(const struct tm& tm, int8_t offset) {
  IsoTime time;
  time.year = tm.tm_year + 1900;
  time.month = tm.tm_mon + 1;
  time.day = tm.tm_mday;
  time.hour = tm.tm_hour;
  time.minute = tm.tm_min;
  time.second = std::min(tm.tm_sec, 59);
  time.offset = offset;
  return time;
}

}  // namespace

int8_t TimeZoneOffsetUnits() {
  tzset();
  // timezone is seconds west of Greenwich for standard time: the Windows bias in seconds.
  long bias_minutes = timezone / 60;
  long units = -bias_minutes / 15;
  return static_cast<int8_t>(std::clamp(units, -48L, 52L));
}

IsoTime FileTimeToIsoTime(uint64_t file_time) {
  return IsoTimeConverter()(file_time);
}

IsoTime IsoTimeConverter::operator()(uint64_t file_time) const {
  time_t seconds = 0;
  if (file_time > kUnixEpochFileTime) {
    seconds = static_cast<time_t>((file_time - kUnixEpochFileTime) / 10000000ull);
  }
  struct tm tm {};
  if (!localtime_r(&seconds, &tm)) return IsoTime{1980, 1, 1, 0, 0, 0, offset_};
  IsoTime time = FromTm(tm, offset_);
  time.second &= ~1;
  // The DOS format starts in 1980; earlier times are recorded as its first day.
  if (time.year < 1980) time = IsoTime{1980, 1, 1, 0, 0, 0, time.offset};
  return time;
}

IsoTime VolumeTimeNow() {
  time_t now = time(nullptr);
  struct tm tm {};
  localtime_r(&now, &tm);
  return FromTm(tm, TimeZoneOffsetUnits());
}

void PutRecordingDate(uint8_t* p, const IsoTime& time) {
  p[ecma119::kDateYear] =
      static_cast<uint8_t>(std::clamp(time.year - ecma119::kDateYearBase, 0, 255));
  p[ecma119::kDateMonth] = static_cast<uint8_t>(time.month);
  p[ecma119::kDateDay] = static_cast<uint8_t>(time.day);
  p[ecma119::kDateHour] = static_cast<uint8_t>(time.hour);
  p[ecma119::kDateMinute] = static_cast<uint8_t>(time.minute);
  p[ecma119::kDateSecond] = static_cast<uint8_t>(time.second);
  p[ecma119::kDateZone] = static_cast<uint8_t>(time.offset);
}

void PutVolumeDate(uint8_t* p, const IsoTime& time) {
  char digits[32];
  std::snprintf(digits, sizeof digits, "%04d%02d%02d%02d%02d%02d%02d",
                std::clamp(time.year, 0, 9999), time.month, time.day, time.hour, time.minute,
                time.second, 0);
  std::memcpy(p, digits, ecma119::kVolumeDateDigits);
  p[ecma119::kVolumeDateZone] = static_cast<uint8_t>(time.offset);
}

void PutUnspecifiedVolumeDate(uint8_t* p) {
  std::memset(p, '0', ecma119::kVolumeDateDigits);
  p[ecma119::kVolumeDateZone] = 0;
}

}  // namespace quillden::fs
