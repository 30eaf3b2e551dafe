// Drive and media information against the virtual recorder: what a real MMC drive would report for
// blank, appendable and closed media, and no crash on a drive answering garbage.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

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
    static int counter = 0;  // every disc of the run its own, across tests
    path_ = ::testing::TempDir() + "/drive-test-" + std::to_string(::getpid()) + "-" + kind + "-" +
            std::to_string(counter++) + ".disc";
    paths_.push_back(path_);
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
    for (const std::string& path : paths_) {
      for (const char* suffix : {"", ".state", ".raw"}) std::remove((path + suffix).c_str());
    }
  }
  std::string path_;
  std::vector<std::string> paths_;  // every disc the test made, removed at its end
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

// The write type byte of the write parameters page as the drive holds it.
uint8_t WriteType(HANDLE drive) {
  uint8_t page[8 + 60] = {};
  EXPECT_EQ(ModeSense10(drive, 0x05, page, sizeof(page)), QD_OK);
  return page[8 + 2] & 0x0F;
}

// A job that holds the drive relies on the write parameters page it set: asking about the media
// on a second handle reads, and changes nothing of it; a second job's own MODE SELECT is refused
// before it reaches the drive.
TEST_F(VirtualMediaTest, MediaQueriesOnASecondHandleLeaveTheJobsWriteParameters) {
  HANDLE job = Open("cd-r");
  ASSERT_NE(job, nullptr);
  std::string error;
  std::unique_ptr<Transport> transport = OpenVirtualRecorder(path_, "cd-r", &error);
  ASSERT_NE(transport, nullptr) << error;
  HANDLE other = OpenDriveOnTransport(std::move(transport), 'V');

  uint8_t page[8 + 60] = {};
  ASSERT_EQ(ModeSense10(job, 0x05, page, sizeof(page)), QD_OK);
  page[0] = page[1] = 0;
  page[8 + 2] = (page[8 + 2] & 0xF0) | 0x02;  // session at once
  ASSERT_EQ(ModeSelect10(job, page, 8 + 52), QD_OK);
  ASSERT_EQ(WriteType(job), 0x02);

  _MEDIAINFORMATION info{};
  EXPECT_EQ(DRV_GetMediaInformation(other, &info), QD_OK);
  EXPECT_EQ(info.dwStatus, MEDIA_STATUS_BLANK);
  _TRACKINFORMATION track{};
  DRV_GetTrackInformation(other, 1, &track, FALSE);
  EXPECT_EQ(WriteType(job), 0x02) << "a query of another handle rewrote the job's write type";
  EXPECT_EQ(ModeSelect10(other, page, 8 + 52), QD_E_BUSY);

  // Once the job is gone the next one sets its own page, and queries may set theirs.
  CloseDriveHandle(job);
  drive_ = other;
  EXPECT_EQ(DRV_GetMediaInformation(other, &info), QD_OK);
  EXPECT_EQ(WriteType(other), 0x01);
  EXPECT_EQ(ModeSelect10(other, page, 8 + 52), QD_OK);
}

// A query that set the write parameters page gave the drive back: a job on another handle still
// takes it.
TEST_F(VirtualMediaTest, MediaQueriesDoNotKeepTheDrive) {
  HANDLE query = Open("dvd-r");
  ASSERT_NE(query, nullptr);
  _MEDIAINFORMATION info{};
  ASSERT_EQ(DRV_GetMediaInformation(query, &info), QD_OK);
  std::string error;
  std::unique_ptr<Transport> transport = OpenVirtualRecorder(path_, "dvd-r", &error);
  ASSERT_NE(transport, nullptr) << error;
  HANDLE job = OpenDriveOnTransport(std::move(transport), 'V');
  EXPECT_EQ(ReserveTrack(job, 64), QD_OK);
  CloseDriveHandle(job);
}

// A disc whose first track is reserved over the whole disc but still empty is no longer blank:
// the drive reports it incomplete, and a recording that took it for blank could not reserve its
// own first track. The empty track is not where a new recording starts either.
TEST_F(VirtualMediaTest, AnEmptyReservationOverTheDiscIsNotABlankDisc) {
  HANDLE drive = Open("dvd-r");
  ASSERT_NE(drive, nullptr);
  TrackInformation invisible;
  ASSERT_EQ(ReadTrackInformation(drive, 1, 1, &invisible), QD_OK);
  ASSERT_EQ(ReserveTrack(drive, invisible.free_blocks), QD_OK);
  DiscInformation disc;
  ASSERT_EQ(ReadDiscInformation(drive, &disc), QD_OK);
  ASSERT_EQ(disc.last_track_last_session, 1);  // no room for a track after it
  _MEDIAINFORMATION info{};
  ASSERT_EQ(DRV_GetMediaInformation(drive, &info), QD_OK);
  EXPECT_EQ(info.dwStatus, MEDIA_STATUS_CLOSED);
}

}  // namespace
}  // namespace quillden::drive
