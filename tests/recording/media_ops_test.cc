// Erasing, ejecting, locking with the eject button monitor, flushing, and the AutoRun hook.
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include <gtest/gtest.h>

#include "drive/media_ops/autorun_hook.h"
#include "drive/media_ops/lock_list.h"
#include "platform/message_window.h"
#include "quillden/drive.h"
#include "quillden/progress.h"
#include "quillden/result.h"
#include "quillden/util.h"
#include "recording_fixture.h"

namespace quillden::recording::testing {
namespace {

using MediaOpsTest = VirtualDriveTest;

// Pumps the calling thread's messages for ms milliseconds.
void PumpFor(uint32_t ms) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < until) {
    quenvar::platform::WaitForMessages(20);
    quenvar::platform::PumpMessages();
  }
}

DWORD WaitForWorker(HANDLE progress) {
  for (int i = 0; i < 600; ++i) {
    const DWORD status = PRG_GetProgressStatus(progress, nullptr, nullptr, nullptr);
    if (status != PRG_STATUS_RUNNING && status != PRG_STATUS_CANCEL_REQUESTED) return status;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return PRG_STATUS_RUNNING;
}

TEST_F(MediaOpsTest, QuickDvdPlusRwEraseWritesExactly513ZeroSectors) {
  OpenDrive("dvd+rw");
  TestProgress first;
  std::vector<uint8_t> data(2000 * 2048, 0xA7);
  ASSERT_EQ(RecordImage(drive_, 1, data, 0, 0, first.reporter()), 0u);
  log_->Clear();
  HANDLE progress = PRG_CreateProgress();
  ASSERT_EQ(DRV_EraseMedia(drive_, progress, TRUE), 0u);
  EXPECT_EQ(WaitForWorker(progress), PRG_STATUS_SUCCEEDED);
  DWORD phase = 0, done = 0, end = 0;
  PRG_GetProgressStatus(progress, &phase, &done, &end);
  EXPECT_EQ(PRG_DestroyProgress(progress), 0u);
  uint32_t blocks = 0;
  uint32_t next = 0;
  for (const LoggedCommand& w : log_->Commands(0x2A)) {
    EXPECT_EQ(w.lba(), next);
    next += w.blocks();
    blocks += w.blocks();
  }
  EXPECT_EQ(blocks, 513u);
  const std::vector<uint8_t> erased = ReadBacking(0, 514);
  EXPECT_TRUE(std::all_of(erased.begin(), erased.begin() + 513 * 2048, [](uint8_t b) { return b == 0; }));
  EXPECT_EQ(erased[513 * 2048], 0xA7);  // nothing beyond
  // Closing with function 000b stops the background format.
  const std::vector<LoggedCommand> closes = log_->Commands(0x5B);
  ASSERT_FALSE(closes.empty());
  EXPECT_EQ(closes.back().cdb[2] & 7, 0);
}

// Formatting a blank DVD+RW, before erasing or recording it, asks for the size the drive offered for
// the DVD+RW format: a block count of 0 is a format the drive never offered.
TEST_F(MediaOpsTest, DvdPlusRwIsFormattedToTheOfferedSize) {
  OpenDrive("dvd+rw");
  log_->Clear();
  HANDLE progress = PRG_CreateProgress();
  ASSERT_EQ(DRV_EraseMedia(drive_, progress, TRUE), 0u);
  EXPECT_EQ(WaitForWorker(progress), PRG_STATUS_SUCCEEDED);
  EXPECT_EQ(PRG_DestroyProgress(progress), 0u);
  const std::vector<LoggedCommand> formats = log_->Commands(0x04);
  ASSERT_FALSE(formats.empty());
  const std::vector<uint8_t>& list = formats.front().parameters;
  ASSERT_EQ(list.size(), 12u);  // list header and one format descriptor
  const uint32_t blocks = (uint32_t{list[4]} << 24) | (list[5] << 16) | (list[6] << 8) | list[7];
  EXPECT_EQ(list[8] >> 2, 0x26);
  _MEDIAINFORMATION info{};
  ASSERT_EQ(DRV_GetMediaInformation(drive_, &info), 0u);
  EXPECT_GT(blocks, 0u);
  EXPECT_EQ(blocks, info.dwCapacity) << "the DVD+RW format descriptor's size";
}

TEST_F(MediaOpsTest, BlankingCdRwRunsAWorkerAndLeavesABlankDisc) {
  OpenDrive("cd-rw");
  TestProgress first;
  ASSERT_EQ(RecordImage(drive_, 1, std::vector<uint8_t>(300 * 2048, 1), 0, 0, first.reporter()), 0u);
  HANDLE progress = PRG_CreateProgress();
  ASSERT_EQ(DRV_EraseMedia(drive_, progress, TRUE), 0u);
  EXPECT_EQ(WaitForWorker(progress), PRG_STATUS_SUCCEEDED);
  DWORD phase = 0;
  PRG_GetProgressStatus(progress, &phase, nullptr, nullptr);
  EXPECT_EQ(phase, 16u);
  PRG_DestroyProgress(progress);
  const std::vector<LoggedCommand> blanks = log_->Commands(0xA1);
  ASSERT_EQ(blanks.size(), 1u);
  EXPECT_EQ(blanks[0].cdb[1], 0x11);  // immediate, minimal blank
  _MEDIAINFORMATION info{};
  ASSERT_EQ(DRV_GetMediaInformation(drive_, &info), 0u);
  EXPECT_EQ(info.dwStatus, 1u);
  // Without a progress object the whole erase runs on the caller's thread.
  EXPECT_EQ(DRV_EraseMedia(drive_, nullptr, FALSE), 0u);
  EXPECT_EQ(log_->Commands(0xA1).back().cdb[1], 0x10);
}

TEST_F(MediaOpsTest, EraseRefusals) {
  OpenDrive("dvd-r");
  EXPECT_EQ(DRV_EraseMedia(drive_, nullptr, TRUE), QD_E_CANNOT_ERASE);
  EXPECT_EQ(DRV_EraseMedia(nullptr, nullptr, TRUE), QD_E_INVALID_HANDLE);
  EXPECT_EQ(DRV_EraseMedia(INVALID_HANDLE_VALUE, nullptr, TRUE), QD_E_INVALID_HANDLE);
  TestProgress busy;  // status 1
  log_->Clear();
  EXPECT_EQ(DRV_EraseMedia(drive_, busy.handle, TRUE), QD_E_BUSY);
  EXPECT_TRUE(log_->All().empty());
}

TEST_F(MediaOpsTest, EjectAndLoadTheTray) {
  OpenDrive("dvd+r");
  EXPECT_EQ(DRV_EjectMedia(drive_, TRUE), 0u);
  EXPECT_EQ(log_->Commands(0x1B).back().cdb[4], 0x02);
  _MEDIAINFORMATION info{};
  EXPECT_NE(DRV_GetMediaInformation(drive_, &info), 0u);  // tray open
  EXPECT_EQ(DRV_EjectMedia(drive_, FALSE), 0u);
  EXPECT_EQ(log_->Commands(0x1B).back().cdb[4], 0x03);
  EXPECT_EQ(DRV_GetMediaInformation(drive_, &info), 0u);
  EXPECT_EQ(DRV_EjectMedia(nullptr, TRUE), QD_E_INVALID_HANDLE);
  EXPECT_EQ(DRV_FlushDrive(drive_), 0u);
  EXPECT_EQ(DRV_FlushDrive(INVALID_HANDLE_VALUE), QD_E_INVALID_HANDLE);
}

TEST_F(MediaOpsTest, LockTwiceStartsOneMonitorAndTheEjectButtonPostsOncePerPress) {
  OpenDrive("dvd+r");
  int presses = 0;
  HWND window = quenvar::platform::CreateMessageWindow([&](HWND, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == 0x8123 && wparam == 32 && lparam == 0) ++presses;
    return LRESULT{0};
  });
  const size_t before = drive::LockedDriveCount();
  ASSERT_EQ(DRV_LockMedia(window, drive_, TRUE, 0x8123), 0u);
  EXPECT_EQ(DRV_LockMedia(window, drive_, TRUE, 0x8123), 0u);
  EXPECT_EQ(drive::LockedDriveCount(), before + 1);
  EXPECT_EQ(log_->Commands(0x1E).size(), 2u);  // the second call sent nothing
  // Locked: the tray stays shut.
  EXPECT_NE(DRV_EjectMedia(drive_, TRUE), 0u);

  virtual_->PressEjectButton();
  PumpFor(2600);
  EXPECT_EQ(presses, 1);
  virtual_->PressEjectButton();
  PumpFor(2600);
  EXPECT_EQ(presses, 2);

  ASSERT_EQ(DRV_LockMedia(window, drive_, FALSE, 0), 0u);
  EXPECT_EQ(drive::LockedDriveCount(), before);
  EXPECT_EQ(DRV_EjectMedia(drive_, TRUE), 0u);
  quenvar::platform::DestroyMessageWindow(window);
}

TEST_F(MediaOpsTest, UnlockWithoutLockStillAllowsRemoval) {
  OpenDrive("dvd+r");
  EXPECT_EQ(DRV_LockMedia(nullptr, drive_, FALSE, 0), 0u);
  const std::vector<LoggedCommand> sent = log_->Commands(0x1E);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].cdb[4], 0x02);  // persistent, allow
  EXPECT_EQ(sent[1].cdb[4], 0x00);
  EXPECT_EQ(DRV_LockMedia(nullptr, nullptr, TRUE, 0), QD_E_INVALID_HANDLE);
}

TEST_F(MediaOpsTest, RecordingPausesTheLockMonitor) {
  OpenDrive("dvd+r");
  HWND window = quenvar::platform::CreateMessageWindow([](HWND, UINT, WPARAM, LPARAM) { return LRESULT{0}; });
  ASSERT_EQ(DRV_LockMedia(window, drive_, TRUE, 0x8124), 0u);
  // Closing the drive unlocks it and stops the monitor.
  ASSERT_EQ(DRV_CloseDrive(drive_), 0u);
  drive_ = nullptr;
  EXPECT_EQ(drive::LockedDriveCount(), 0u);
  quenvar::platform::DestroyMessageWindow(window);
}

class AutoRunHookTest : public ::testing::Test {
 protected:
  void SetUp() override {
    name_ = "/quenvar-autorun-test-" + std::to_string(::getpid());
    ::setenv("QUENVAR_AUTORUN_SHM", name_.c_str(), 1);
  }
  void TearDown() override {
    ::shm_unlink(name_.c_str());
    ::unsetenv("QUENVAR_AUTORUN_SHM");
  }
  std::string name_;
};

TEST_F(AutoRunHookTest, InstalledOnceAndAnswersQueryCancelAutoPlay) {
  const UINT query = quenvar::platform::RegisterWindowMessage(u"QueryCancelAutoPlay");
  LRESULT reply = 0;
  EXPECT_FALSE(drive::AutoRunHookProcedure(0, nullptr, query, 0, 0, &reply));  // not installed
  EXPECT_FALSE(UTL_AutoRunUnhook());
  ASSERT_TRUE(UTL_AutoRunHook());
  EXPECT_FALSE(UTL_AutoRunHook());
  EXPECT_TRUE(drive::AutoRunHookInstalled());
  ASSERT_TRUE(drive::AutoRunHookProcedure(0, nullptr, query, 0, 0, &reply));
  EXPECT_EQ(reply, 1);
  EXPECT_FALSE(drive::AutoRunHookProcedure(3, nullptr, query, 0, 0, &reply));   // only peeking
  EXPECT_FALSE(drive::AutoRunHookProcedure(-1, nullptr, query, 0, 0, &reply));
  EXPECT_FALSE(drive::AutoRunHookProcedure(0, nullptr, 0x0400, 0, 0, &reply));  // other messages pass
  EXPECT_TRUE(UTL_AutoRunUnhook());
  EXPECT_FALSE(UTL_AutoRunUnhook());
  EXPECT_FALSE(drive::AutoRunHookInstalled());
}

TEST_F(AutoRunHookTest, AHookOfAnEndedProcessCountsAsNone) {
  const pid_t child = ::fork();
  if (child == 0) _exit(UTL_AutoRunHook() ? 0 : 1);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_EQ(WEXITSTATUS(status), 0);  // the child installed it and ended without removing it
  EXPECT_FALSE(drive::AutoRunHookInstalled());
  EXPECT_TRUE(UTL_AutoRunHook());
  EXPECT_TRUE(UTL_AutoRunUnhook());
}

}  // namespace
}  // namespace quillden::recording::testing
