#include "filesystems/iso_time.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "filesystems/layout/ecma119_layout.h"
#include "platform/env.h"
#include "platform/file_time.h"
#include "platform/local_time.h"

namespace quillden::fs {
namespace {

using quenvar::platform::SystemTime;

IsoTime FromSystemTime(const SystemTime& local, int8_t offset) {
  IsoTime time;
  time.year = local.year;
  time.month = local.month;
  time.day = local.day;
  time.hour = local.hour;
  time.minute = local.minute;
  time.second = std::min<int>(local.second, 59);  // a leap second is not a date field value
  time.offset = offset;
  return time;
}

}  // namespace

int8_t TimeZoneOffsetUnits() {
  long units = -static_cast<long>(quenvar::platform::TimeZoneBiasMinutes()) / 15;
  return static_cast<int8_t>(std::clamp(units, -48L, 52L));
}

IsoTime FileTimeToIsoTime(uint64_t file_time) {
  return IsoTimeConverter()(file_time);
}

IsoTime IsoTimeConverter::operator()(uint64_t file_time) const {
  // The DOS format starts in 1980; earlier times are recorded as its first day.
  const IsoTime first_day{1980, 1, 1, 0, 0, 0, offset_};
  SystemTime local;
  if (!quenvar::platform::FileTimeToLocalTime(file_time, &local)) {
    // Beyond the last year a broken-down time holds (or before its first): the nearest end.
    if (file_time < quenvar::platform::kFileTimeUnixEpoch) return first_day;
    return IsoTime{30827, 12, 31, 23, 59, 58, offset_};
  }
  IsoTime time = FromSystemTime(local, offset_);
  time.second &= ~1;
  if (time.year < 1980) return first_day;
  return time;
}

IsoTime VolumeTimeNow(quenvar::platform::Env* clock) {
  SystemTime local;
  quenvar::platform::FileTimeToLocalTime(clock->Now(), &local);
  return FromSystemTime(local, TimeZoneOffsetUnits());
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
