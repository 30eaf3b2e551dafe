// Cancelling a data disc write on DVD+RW: the job ends cancelled, the drive's cache is flushed and
// the session closed after the last write, and the disc stays usable: it can be erased and written
// again, and then reads back whole.
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "quillden/datadisk.h"
#include "quillden/drive.h"
#include "quillden/mastering.h"
#include "quillden/progress.h"
#include "quillden/result.h"
#include "recording_fixture.h"

namespace quillden::recording::testing {
namespace {

class CancelCloseTest : public VirtualDriveTest {
 protected:
  void TearDown() override {
    for (HANDLE disc : discs_) MST_DestroyDatadisk(disc);
    VirtualDriveTest::TearDown();
  }
  HANDLE BuildDisc(const std::string& folder) {
    HANDLE disc = MakeDatadisk(folder, MST_FS_ISO9660_JOLIET_UDF102);
    EXPECT_NE(disc, nullptr);
    if (disc != nullptr) discs_.push_back(disc);
    return disc;
  }
  // Index of the last logged command with opcode, -1 when none.
  static int64_t LastOf(const std::vector<LoggedCommand>& all, uint8_t opcode) {
    for (size_t i = all.size(); i > 0; --i) {
      if (all[i - 1].opcode == opcode) return static_cast<int64_t>(i - 1);
    }
    return -1;
  }
  std::vector<HANDLE> discs_;
};

TEST_F(CancelCloseTest, CancelledDvdPlusRwIsFlushedClosedAndStaysUsable) {
  OpenDrive("dvd+rw");
  const std::string folder = WorkPath("big");
  MakeFiles(folder, 21, 40u << 20);
  HANDLE disc = BuildDisc(folder);
  HANDLE progress = PRG_CreateProgress();
  ASSERT_EQ(MST_WriteDatadisk(drive_, disc, 2, progress, FALSE, 0), 0u);
  for (DWORD done = 0; done == 0;) {
    ASSERT_EQ(PRG_GetProgressStatus(progress, nullptr, &done, nullptr), PRG_STATUS_RUNNING);
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  PRG_CancelProgress(progress);
  EXPECT_EQ(WaitForJob(progress), PRG_STATUS_CANCELLED);
  EXPECT_EQ(PRG_GetProgressErrorCode(progress), QD_E_CANCELLED);
  PRG_DestroyProgress(progress);

  const std::vector<LoggedCommand> all = log_->All();
  const int64_t last_write = LastOf(all, 0x2A);
  const int64_t last_sync = LastOf(all, 0x35);
  const int64_t last_close = LastOf(all, 0x5B);
  ASSERT_GE(last_write, 0);
  EXPECT_GT(last_sync, last_write) << "no SYNCHRONIZE CACHE after the last write";
  ASSERT_GT(last_close, last_sync) << "the session was not closed after the flush";
  EXPECT_EQ(all[last_close].cdb[2] & 0x07, 2) << "close function";
  EXPECT_EQ(all[last_close].cdb[5], 0) << "track number";
  // The cancel came well before the end: the job did not write on regardless.
  EXPECT_LT(log_->Commands(0x2A).size(), (40u << 20) / 65536);

  // The disc answers as a disc again, with its one track, and takes a new recording after an erase.
  _MEDIAINFORMATION media{};
  ASSERT_EQ(DRV_GetMediaInformation(drive_, &media), 0u);
  EXPECT_EQ(DRV_GetTrackInformation(drive_, 0, nullptr, FALSE), 1);
  ASSERT_EQ(DRV_EraseMedia(drive_, nullptr, TRUE), 0u);
  ASSERT_EQ(DRV_GetMediaInformation(drive_, &media), 0u);
  EXPECT_EQ(media.dwStatus, static_cast<DWORD>(MEDIA_STATUS_BLANK));

  const std::string small = WorkPath("small");
  const FileSet files = MakeFiles(small, 22, 3u << 20);
  HANDLE second = BuildDisc(small);
  const ULONGLONG size = MST_GetDatadiskSize(second, drive_);
  ASSERT_NE(size, ~0ULL);
  ASSERT_EQ(MST_WriteDatadisk(drive_, second, 2, nullptr, FALSE, 0), 0u);
  EXPECT_EQ(DRV_GetLastTrack(drive_), 1);
  ExpectImageHolds(path_, size / 2048, files);
}

}  // namespace
}  // namespace quillden::recording::testing
