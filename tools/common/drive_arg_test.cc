#include "tools/common/drive_arg.h"

#include <gtest/gtest.h>

namespace quenvar::tools {
namespace {

TEST(DriveArgTest, TakesOneAsciiLetterWithOrWithoutColon) {
  EXPECT_EQ(DriveNumberOf("A"), 1);
  EXPECT_EQ(DriveNumberOf("d"), 4);
  EXPECT_EQ(DriveNumberOf("D:"), 4);
  EXPECT_EQ(DriveNumberOf("z:"), 26);
  EXPECT_EQ(DriveLetterOf(DriveNumberOf("v:")), 'V');
}

TEST(DriveArgTest, RefusesEverythingElse) {
  for (const char* text : {"", ":", "1", "1:", "DD", "D::", "D:/", "D:\\", " D", "D ", "@", "[",
                           "`", "{", "\xc3\x84", "\xc4:", "-D"}) {
    EXPECT_EQ(DriveNumberOf(text), 0) << '"' << text << '"';
  }
  EXPECT_EQ(DriveLetterOf(0), '?');
  EXPECT_EQ(DriveLetterOf(27), '?');
}

TEST(DriveArgTest, OpeningANumberOutsideTheMapSaysSoAndReturnsNull) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(OpenDriveOrSay("tool cmd", 0), nullptr);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("tool cmd: drive ?: cannot be opened"),
            std::string::npos);
}

}  // namespace
}  // namespace quenvar::tools
