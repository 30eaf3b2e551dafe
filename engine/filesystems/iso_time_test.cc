#include "filesystems/iso_time.h"

#include <gtest/gtest.h>
#include <time.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "platform/env.h"

namespace quillden::fs {
namespace {

constexpr uint64_t kUnixEpoch = 116444736000000000ull;
constexpr uint64_t kUnitsPerSecond = 10000000ull;

// Sets TZ for one test and restores it afterwards.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) {
    if (const char* old = std::getenv("TZ")) saved_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ScopedTimeZone() {
    if (saved_) {
      setenv("TZ", saved_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  std::optional<std::string> saved_;
};

bool SameDate(const IsoTime& a, const IsoTime& b) {
  return a.year == b.year && a.month == b.month && a.day == b.day && a.hour == b.hour &&
         a.minute == b.minute && a.second == b.second && a.offset == b.offset;
}

TEST(IsoTimeTest, OffsetsOutsideTheRecordableRangeAreClamped) {
  {
    ScopedTimeZone zone("XXX-14");  // UTC+14: 56 quarter hours, more than the 52 a date holds
    EXPECT_EQ(TimeZoneOffsetUnits(), 52);
  }
  {
    ScopedTimeZone zone("XXX+13");  // UTC-13
    EXPECT_EQ(TimeZoneOffsetUnits(), -48);
  }
  {
    ScopedTimeZone zone("IST-5:30");
    EXPECT_EQ(TimeZoneOffsetUnits(), 22);
  }
}

TEST(IsoTimeTest, TimesOutsideTheDateRangeTakeTheNearestEnd) {
  ScopedTimeZone zone("EST5EDT,M3.2.0,M11.1.0");
  IsoTimeConverter local_time;
  EXPECT_EQ(local_time.offset(), -20);
  // Before 1980 (1970, and the first file time of all, which is 1600 in local time).
  EXPECT_TRUE(SameDate(local_time(kUnixEpoch), IsoTime{1980, 1, 1, 0, 0, 0, -20}));
  EXPECT_TRUE(SameDate(local_time(0), IsoTime{1980, 1, 1, 0, 0, 0, -20}));
  // 1980-01-01 05:00:01 UTC is the first local second of 1980; seconds are made even.
  EXPECT_TRUE(SameDate(local_time(kUnixEpoch + 315550801ull * kUnitsPerSecond),
                       IsoTime{1980, 1, 1, 0, 0, 0, -20}));
  // Daylight saving moves the hour, never the offset: 2024-07-01 12:00:00 UTC is 08:00 local.
  EXPECT_TRUE(SameDate(local_time(kUnixEpoch + 1719835200ull * kUnitsPerSecond),
                       IsoTime{2024, 7, 1, 8, 0, 0, -20}));
  // The last file time lies beyond any calendar a broken-down time holds.
  EXPECT_TRUE(SameDate(local_time(~0ull), IsoTime{30827, 12, 31, 23, 59, 58, -20}));
  uint8_t record[7];
  PutRecordingDate(record, local_time(~0ull));
  EXPECT_EQ(record[0], 255);  // 2155, the last year a directory record holds
}

TEST(IsoTimeTest, TheVolumeTimeIsNowInLocalTime) {
  ScopedTimeZone zone("JST-9");
  const time_t before = time(nullptr);
  const IsoTime now = VolumeTimeNow(quenvar::platform::Env::Default());
  const time_t after = time(nullptr);
  EXPECT_EQ(now.offset, 36);
  struct tm first {
  }, last{};
  localtime_r(&before, &first);
  localtime_r(&after, &last);
  const int seconds = now.hour * 3600 + now.minute * 60 + now.second;
  const int low = first.tm_hour * 3600 + first.tm_min * 60 + first.tm_sec;
  const int high = last.tm_hour * 3600 + last.tm_min * 60 + last.tm_sec;
  if (high < low) GTEST_SKIP() << "midnight passed during the test";
  EXPECT_GE(seconds, low);
  EXPECT_LE(seconds, high);
  EXPECT_EQ(now.year, first.tm_year + 1900);
  EXPECT_EQ(now.month, first.tm_mon + 1);
  EXPECT_EQ(now.day, first.tm_mday);
}

}  // namespace
}  // namespace quillden::fs
