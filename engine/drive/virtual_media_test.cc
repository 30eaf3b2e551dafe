// Drive and media information against the virtual recorder: what a real MMC drive would report for
// blank, appendable and closed media, and no crash on a drive answering garbage.
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "drive/drive_command.h"
#include "drive/drive_handle.h"
#include "drive/mmc_commands.h"
#include "drive/virtual/virtual_recorder.h"
#include "quillden/drive.h"
#include "quillden/result.h"

namespace quillden::drive {
namespace {

class VirtualMediaTest : public ::testing::Test {
 protected:
  HANDLE Open(const std::string& kind) {
    path_ = ::testing::TempDir() + "/drive-test-" + std::to_string(::getpid()) + "-" + kind + "-" +
            std::to_string(counter_++) + ".disc";
    std::string error;
    std::unique_ptr<Transport> transport = OpenVirtualRecorder(path_, kind, &error);
    EXPECT_NE(transport, nullptr) << error;
    if (!transport) return nullptr;
    recorder_ = AsVirtualRecorder(transport.get());
    drive_ = OpenDriveOnTransport(std::move(transport), 'V');
    return drive_;
  }
  void TearDown() override {
    if (drive_ != nullptr) CloseDriveHandle(drive_);
  }
  std::string path_;
  int counter_ = 0;
  HANDLE drive_ = nullptr;
  VirtualRecorder* recorder_ = nullptr;
};

TEST_F(VirtualMediaTest, BlankDvdMinusRIsBlankAtZero) {
  HANDLE drive = Open("dvd-r");
  ASSERT_NE(drive, nullptr);
  _MEDIAINFORMATION info{};
  ASSERT_EQ(DRV_GetMediaInformation(drive, &info), QD_OK);
  EXPECT_EQ(info.dwMedia, MEDIA_DVDR);
  EXPECT_EQ(info.dwStatus, MEDIA_STATUS_BLANK);
  EXPECT_EQ(info.dwNextWritable, 0u);
  EXPECT_GT(info.dwCapacity, 2000000u);
  EXPECT_LE(info.dwFree, info.dwCapacity);
  _DEVICEINFO device{};
  ASSERT_EQ(DRV_GetDeviceInfo(drive, &device), QD_OK);
  EXPECT_EQ(device.wDeviceType, 5);
}

TEST_F(VirtualMediaTest, EveryBlankKindReportsBlank) {
  for (const char* kind : {"cd-r", "cd-rw", "dvd+r", "dvd-rw", "dvd+r-dl", "dvd-r-dl"}) {
    HANDLE drive = Open(kind);
    ASSERT_NE(drive, nullptr) << kind;
    _MEDIAINFORMATION info{};
    ASSERT_EQ(DRV_GetMediaInformation(drive, &info), QD_OK) << kind;
    EXPECT_EQ(info.dwStatus, MEDIA_STATUS_BLANK) << kind;
    EXPECT_EQ(info.dwNextWritable, 0u) << kind;
    EXPECT_GT(info.dwCapacity, 0u) << kind;
    CloseDriveHandle(drive);
    drive_ = nullptr;
  }
}

TEST_F(VirtualMediaTest, GarbageAnswersGiveCommandFailed) {
  HANDLE drive = Open("dvd-r");
  ASSERT_NE(drive, nullptr);
  ASSERT_NE(recorder_, nullptr);
  DataCorruption garbage;
  garbage.kind = DataCorruption::Kind::kGarbage;
  garbage.seed = 7;
  _TOCINFORMATION toc{};
  for (uint32_t seed = 1; seed <= 20; ++seed) {
    garbage.seed = seed;
    recorder_->CorruptNextData(0x43, 1, garbage);
    const uint32_t result = DRV_GetTOCInformation(drive, &toc, sizeof(toc));
    EXPECT_TRUE(result == QD_E_COMMAND_FAILED || result == QD_OK) << std::hex << result;
    recorder_->ClearFaults();
  }
  DataCorruption truncated;
  truncated.kind = DataCorruption::Kind::kTruncate;
  truncated.keep_bytes = 3;
  recorder_->CorruptNextData(0x52, 1, truncated);
  _MEDIAINFORMATION info{};
  const uint32_t result = DRV_GetMediaInformation(drive, &info);
  EXPECT_TRUE(result == QD_OK || result == QD_E_COMMAND_FAILED) << std::hex << result;
}

}  // namespace
}  // namespace quillden::drive
