#include <cstdlib>
#include <optional>
#include <string>
#include <time.h>

#include "gtest/gtest.h"
#include "platform/file_time.h"
#include "platform/local_time.h"
#include "platform/system_info.h"

namespace quenvar::platform {
namespace {

// Sets one environment variable for a scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) saved_ = old;
    if (value) setenv(name, value, 1); else unsetenv(name);
    tzset();
  }
  ~ScopedEnv() {
    if (saved_) setenv(name_, saved_->c_str(), 1); else unsetenv(name_);
    tzset();
  }

 private:
  const char* name_;
  std::optional<std::string> saved_;
};

TEST(LocalTimeTest, BiasIsTheStandardOffsetWhateverTheSeason) {
  {
    ScopedEnv tz("TZ", "JST-9");
    EXPECT_EQ(TimeZoneBiasMinutes(), -540);
  }
  {
    // New York: UTC-5 in winter, UTC-4 in summer; the bias stays 300.
    ScopedEnv tz("TZ", "EST5EDT,M3.2.0,M11.1.0");
    EXPECT_EQ(TimeZoneBiasMinutes(), 300);
    SystemTime summer;
    // 2024-07-01 12:00:00 UTC is 08:00 local (daylight time).
    ASSERT_TRUE(FileTimeToLocalTime(FileTimeFromUnixSeconds(1719835200), &summer));
    EXPECT_EQ(summer.hour, 8);
    SystemTime winter;
    ASSERT_TRUE(FileTimeToLocalTime(FileTimeFromUnixSeconds(1704110400), &winter));  // 2024-01-01 12:00 UTC
    EXPECT_EQ(winter.hour, 7);
    FileTime back;
    ASSERT_TRUE(LocalTimeToFileTime(summer, &back));
    EXPECT_EQ(back, FileTimeFromUnixSeconds(1719835200));
  }
  {
    ScopedEnv tz("TZ", "IST-5:30");
    EXPECT_EQ(TimeZoneBiasMinutes(), -330);
  }
}

TEST(LocalTimeTest, BrokenDownTimesRoundTripAndRejectImpossibleDates) {
  ScopedEnv tz("TZ", "JST-9");
  // 2001-09-09 01:46:40.123 UTC = 10:46:40.123 in Tokyo, a Sunday.
  FileTime t = FileTimeFromUnixSeconds(1000000000) + 1230000;
  SystemTime local;
  ASSERT_TRUE(FileTimeToLocalTime(t, &local));
  EXPECT_EQ(local, (SystemTime{2001, 9, 0, 9, 10, 46, 40, 123}));
  FileTime back;
  ASSERT_TRUE(LocalTimeToFileTime(local, &back));
  EXPECT_EQ(back, t);
  SystemTime utc;
  ASSERT_TRUE(FileTimeToUtcTime(t, &utc));
  EXPECT_EQ(utc, (SystemTime{2001, 9, 0, 9, 1, 46, 40, 123}));
  ASSERT_TRUE(UtcTimeToFileTime(utc, &back));
  EXPECT_EQ(back, t);
  // Before 1970 works too.
  SystemTime old{1960, 2, 0, 29, 23, 59, 59, 999};
  ASSERT_TRUE(UtcTimeToFileTime(old, &back));
  ASSERT_TRUE(FileTimeToUtcTime(back, &utc));
  old.day_of_week = utc.day_of_week;
  EXPECT_EQ(utc, old);

  EXPECT_FALSE(UtcTimeToFileTime(SystemTime{2023, 2, 0, 29, 0, 0, 0, 0}, &back));  // not a leap year
  EXPECT_FALSE(UtcTimeToFileTime(SystemTime{2024, 13, 0, 1, 0, 0, 0, 0}, &back));
  EXPECT_FALSE(LocalTimeToFileTime(SystemTime{2024, 4, 0, 31, 0, 0, 0, 0}, &back));
  EXPECT_FALSE(UtcTimeToFileTime(SystemTime{1600, 12, 0, 31, 0, 0, 0, 0}, &back));
}

TEST(SystemInfoTest, PlatformVersionDefaultsTo10AndCanBeOverridden) {
  {
    ScopedEnv v("QUENVAR_PLATFORM_VERSION", nullptr);
    EXPECT_EQ(GetPlatformVersion(), (PlatformVersion{10, 0}));
  }
  {
    ScopedEnv v("QUENVAR_PLATFORM_VERSION", "6.0");
    PlatformVersion version = GetPlatformVersion();
    EXPECT_EQ(version, (PlatformVersion{6, 0}));
    EXPECT_TRUE(version.AtLeast(6, 0));
    EXPECT_FALSE(version.AtLeast(6, 1));
  }
  {
    ScopedEnv v("QUENVAR_PLATFORM_VERSION", "5");
    EXPECT_EQ(GetPlatformVersion(), (PlatformVersion{5, 0}));
  }
  {
    ScopedEnv v("QUENVAR_PLATFORM_VERSION", "six");
    EXPECT_EQ(GetPlatformVersion(), (PlatformVersion{10, 0}));
  }
}

TEST(SystemInfoTest, LanguageComesFromTheFirstSetVariable) {
  ScopedEnv a("LANGUAGE", nullptr), b("LC_ALL", nullptr), c("LC_MESSAGES", nullptr), d("LANG", nullptr);
  EXPECT_EQ(UserInterfaceLanguage(), 1033);
  struct { const char* lang; uint16_t plain; uint16_t with_hk; } cases[] = {
      {"zh_TW.UTF-8", 1028, 1028}, {"ja_JP.UTF-8", 1041, 1041}, {"ko_KR.EUC-KR", 1042, 1042},
      {"zh_CN.UTF-8", 2052, 2052}, {"zh_HK.UTF-8", 1028, 3076}, {"zh_SG", 2052, 2052},
      {"de_DE.UTF-8", 1033, 1033}, {"kok_IN", 1033, 1033}, {"C.UTF-8", 1033, 1033},
  };
  for (const auto& t : cases) {
    setenv("LANG", t.lang, 1);
    EXPECT_EQ(UserInterfaceLanguage(), t.plain) << t.lang;
    EXPECT_EQ(UserInterfaceLanguage(true), t.with_hk) << t.lang;
  }
  setenv("LC_MESSAGES", "ja_JP.UTF-8", 1);
  EXPECT_EQ(UserInterfaceLanguage(), 1041);  // LC_MESSAGES before LANG
  setenv("LC_ALL", "ko_KR.UTF-8", 1);
  EXPECT_EQ(UserInterfaceLanguage(), 1042);  // LC_ALL before LC_MESSAGES
  setenv("LANGUAGE", "zh_CN:en_US", 1);
  EXPECT_EQ(UserInterfaceLanguage(), 2052);  // LANGUAGE first, its first entry
}

}  // namespace
}  // namespace quenvar::platform
