// The exported administration of virtual drives: what programs outside the engine (the quillden
// tool, quenvar-create) use instead of linking the recorder themselves.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "drive/virtual/virtual_recorder.h"
#include "drive/virtual/virtual_test_util.h"
#include "platform/unicode.h"
#include "quillden/result.h"
#include "quillden/virtual.h"

namespace quillden::drive {
namespace {

std::u16string U16(const std::string& text) {
  return quenvar::platform::Utf8ToUtf16(text);
}

std::string LastError() {
  char16_t reason[256];
  const DWORD length = DRV_GetVirtualDriveError(reason, 256);
  return length == 0 ? std::string()
                     : quenvar::platform::Utf16ToUtf8(quenvar::platform::Utf16View(reason));
}

std::string Describe(const std::u16string& backing) {
  char16_t text[2048];
  DWORD length = 0;
  EXPECT_EQ(DRV_DescribeVirtualDrive(backing.c_str(), text, 2048, &length), QD_OK) << LastError();
  return quenvar::platform::Utf16ToUtf8(std::u16string_view(text, length));
}

class VirtualExportsTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const std::string& path : paths_) {
      for (const char* suffix : {"", ".state", ".raw"}) std::remove((path + suffix).c_str());
    }
  }
  std::string NewPath(const std::string& name) {
    paths_.push_back(testing::TempPath(name));
    return paths_.back();
  }
  std::vector<std::string> paths_;
};

TEST_F(VirtualExportsTest, MediaTrayAndDescriptionThroughTheCInterface) {
  const std::u16string disc = U16(NewPath("a.disc"));
  ASSERT_EQ(DRV_CreateVirtualMedium(disc.c_str(), u"dvd+r", 0), QD_OK) << LastError();
  EXPECT_EQ(LastError(), "");
  std::string text = Describe(disc);
  EXPECT_NE(text.find("medium: dvd+r (DVD+R)\n"), std::string::npos) << text;
  EXPECT_NE(text.find("status: blank\n"), std::string::npos) << text;

  // A buffer too small says how much the text needs and copies nothing.
  char16_t small[8] = {u'x'};
  DWORD length = 0;
  EXPECT_EQ(DRV_DescribeVirtualDrive(disc.c_str(), small, 8, &length), QD_E_INVALID_ARGUMENT);
  EXPECT_EQ(length, U16(text).size());
  EXPECT_EQ(small[0], u'x');

  const _VIRTUALTIMING timing = {0, 0, 0, 0, 0};
  EXPECT_EQ(DRV_SetVirtualTiming(disc.c_str(), &timing), QD_OK) << LastError();
  EXPECT_EQ(DRV_SetVirtualTray(disc.c_str(), TRUE, FALSE), QD_OK) << LastError();
  EXPECT_NE(Describe(disc).find("tray: open\n"), std::string::npos);
  EXPECT_EQ(DRV_SetVirtualTray(disc.c_str(), FALSE, FALSE), QD_OK) << LastError();
  EXPECT_NE(Describe(disc).find("tray: closed\n"), std::string::npos);
}

TEST_F(VirtualExportsTest, ALockedMediumStaysInUnlessForced) {
  const std::string path = NewPath("locked.disc");
  const std::u16string disc = U16(path);
  ASSERT_EQ(DRV_CreateVirtualMedium(disc.c_str(), u"cd-r", 0), QD_OK) << LastError();
  std::string error;
  std::unique_ptr<Transport> drive = OpenVirtualRecorder(path, "cd-r", &error);
  ASSERT_NE(drive, nullptr) << error;
  ASSERT_TRUE(testing::Send(drive.get(), {0x1E, 0, 0, 0, 1, 0}).ok());  // prevent removal
  EXPECT_EQ(DRV_SetVirtualTray(disc.c_str(), TRUE, FALSE), QD_E_BUSY);
  EXPECT_EQ(LastError(), "the medium is locked in the drive");
  EXPECT_EQ(DRV_SetVirtualTray(disc.c_str(), TRUE, TRUE), QD_OK) << LastError();
  EXPECT_EQ(LastError(), "") << "a call that succeeds clears the reason";
}

TEST_F(VirtualExportsTest, BadArgumentsAndFilesAreRefusedWithTheirReason) {
  const std::u16string disc = U16(NewPath("b.disc"));
  EXPECT_EQ(DRV_CreateVirtualMedium(disc.c_str(), u"bd-r", 0), QD_E_INVALID_ARGUMENT);
  EXPECT_EQ(LastError(), "unknown media kind \"bd-r\"");
  EXPECT_EQ(DRV_CreateVirtualMedium(disc.c_str(), u"dvd-r", 100), QD_E_INVALID_ARGUMENT);
  EXPECT_EQ(DRV_CreateVirtualMedium(nullptr, u"dvd-r", 0), QD_E_INVALID_ARGUMENT);
  EXPECT_EQ(DRV_CreateVirtualMedium(u"", u"dvd-r", 0), QD_E_INVALID_ARGUMENT);
  EXPECT_EQ(DRV_SetVirtualTiming(disc.c_str(), nullptr), QD_E_INVALID_ARGUMENT);
  EXPECT_EQ(DRV_DescribeVirtualDrive(nullptr, nullptr, 0, nullptr), QD_E_INVALID_ARGUMENT);

  const std::string odd = NewPath("odd.iso");
  std::ofstream(odd) << std::string(2047, 'x');
  EXPECT_EQ(DRV_LoadVirtualImage(disc.c_str(), U16(odd).c_str(), nullptr), QD_E_WRONG_FORM);
  EXPECT_EQ(DRV_LoadVirtualImage(disc.c_str(), U16(odd + ".gone").c_str(), u""), QD_E_FILE_OPEN);
  EXPECT_NE(LastError().find("cannot use image"), std::string::npos) << LastError();

  // A damaged state file is reported, not trusted; the reason is cut to a short buffer.
  const std::string damaged = NewPath("damaged.disc");
  ASSERT_EQ(DRV_CreateVirtualMedium(U16(damaged).c_str(), u"cd-r", 0), QD_OK) << LastError();
  std::ofstream(damaged + ".state", std::ios::app) << "junk\n";
  EXPECT_EQ(DRV_SetVirtualTray(U16(damaged).c_str(), TRUE, TRUE), QD_E_FILE_OPEN);
  const std::string reason = LastError();
  EXPECT_NE(reason.find("checksum"), std::string::npos) << reason;
  char16_t cut[6] = {};
  EXPECT_EQ(DRV_GetVirtualDriveError(cut, 6), U16(reason).size());
  EXPECT_EQ(std::u16string(cut), U16(reason.substr(0, 5)));
}

// Faults and counts stay with a drive only while this process has it open: injecting into a drive
// nobody holds is refused, since the fault would vanish unseen.
TEST_F(VirtualExportsTest, FaultsAndCountsBelongToTheOpenDrive) {
  const std::string path = NewPath("faults.disc");
  const std::u16string disc = U16(path);
  ASSERT_EQ(DRV_CreateVirtualMedium(disc.c_str(), u"cd-r", 0), QD_OK) << LastError();
  EXPECT_EQ(DRV_InjectVirtualSense(disc.c_str(), 0x00, 1, 0x02, 0x3A, 0x00, 1),
            QD_E_INVALID_ARGUMENT);
  EXPECT_NE(LastError().find("not open"), std::string::npos) << LastError();

  std::string error;
  std::unique_ptr<Transport> held = OpenVirtualRecorder(path, "cd-r", &error);
  ASSERT_NE(held, nullptr) << error;
  DWORD before = 0;
  ASSERT_EQ(DRV_GetVirtualCommandCount(disc.c_str(), 0x00, &before), QD_OK);
  // The second TEST UNIT READY from now fails, and the one after it too (repeat 2).
  ASSERT_EQ(DRV_InjectVirtualSense(disc.c_str(), 0x00, 2, 0x02, 0x3A, 0x00, 2), QD_OK)
      << LastError();
  std::vector<uint8_t> statuses;
  for (int i = 0; i < 4; ++i)
    statuses.push_back(testing::Send(held.get(), {0x00, 0, 0, 0, 0, 0}).status);
  EXPECT_EQ(statuses, (std::vector<uint8_t>{0, 2, 2, 0}));
  DWORD after = 0;
  ASSERT_EQ(DRV_GetVirtualCommandCount(disc.c_str(), 0x00, &after), QD_OK);
  EXPECT_EQ(after - before, 4u);
  EXPECT_EQ(DRV_GetVirtualCommandCount(disc.c_str(), 0x00, nullptr), QD_E_INVALID_ARGUMENT);
}

}  // namespace
}  // namespace quillden::drive
