// One drive, one job: a job that changes the medium holds the drive for itself across handles and
// processes, a second one is refused as busy before it changes anything, and what a killed process
// held (its claim, its tray lock, the blocks it wrote past what the medium recorded) is gone for
// the next process.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "drive/drive_handle.h"
#include "drive/mmc_commands.h"
#include "drive/virtual/virtual_admin.h"
#include "drive/virtual/virtual_recorder.h"
#include "quillden/drive.h"
#include "quillden/result.h"

namespace quillden::drive {
namespace {

namespace fs = std::filesystem;

class DriveClaimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    path_ = ::testing::TempDir() + "/claim-" + std::to_string(::getpid()) + "-" + info->name() +
            ".disc";
    std::string error;
    ASSERT_TRUE(CreateVirtualBlank(path_, "dvd+r", 0, &error)) << error;
    VirtualTiming timing;
    timing.blank_ms = timing.format_ms = timing.close_ms = timing.flush_ms =
        timing.background_format_ms = 0;
    ASSERT_TRUE(SetVirtualTiming(path_, timing, &error)) << error;
  }
  void TearDown() override {
    if (child_ > 0) {
      ::kill(child_, SIGKILL);
      ::waitpid(child_, nullptr, 0);
    }
    std::error_code ignored;
    for (const char* suffix : {"", ".state", ".raw"}) fs::remove(path_ + suffix, ignored);
  }

  HANDLE Open() {
    std::string error;
    std::unique_ptr<Transport> transport = OpenVirtualRecorder(path_, "dvd+r", &error);
    EXPECT_NE(transport, nullptr) << error;
    return transport ? OpenDriveOnTransport(std::move(transport), 0) : nullptr;
  }

  // Runs body in a child process that then waits to be killed; returns once body has run.
  void RunInChild(void (*body)(const std::string& path)) {
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    child_ = ::fork();
    ASSERT_GE(child_, 0);
    if (child_ == 0) {
      ::close(ready[0]);
      body(path_);
      const char done = 1;
      if (::write(ready[1], &done, 1) != 1) ::_exit(3);
      for (;;) ::pause();
    }
    ::close(ready[1]);
    char done = 0;
    ASSERT_EQ(::read(ready[0], &done, 1), 1) << "the child process failed before it was ready";
    ::close(ready[0]);
  }

  void KillChild() {
    ASSERT_EQ(::kill(child_, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child_, &status, 0), child_);
    EXPECT_TRUE(WIFSIGNALED(status));
    child_ = 0;
  }

  uint64_t BackingSize() const {
    std::error_code error;
    const uint64_t size = fs::file_size(path_, error);
    return error ? 0 : size;
  }

  std::string path_;
  pid_t child_ = 0;
};

std::vector<uint8_t> Blocks(uint32_t count, uint8_t fill) {
  return std::vector<uint8_t>(count * 2048u, fill);
}

// The child writes 64 blocks at the start of the blank disc and keeps its handle open: the blocks
// are in the file but, as nothing after them reached the medium's records, not on the disc.
void WriteWithoutClosing(const std::string& path) {
  std::string error;
  std::unique_ptr<Transport> transport = OpenVirtualRecorder(path, "dvd+r", &error);
  if (!transport) ::_exit(2);
  HANDLE drive = OpenDriveOnTransport(std::move(transport), 0);
  const std::vector<uint8_t> data = Blocks(64, 0xC5);
  for (uint32_t lba = 0; lba < 64; lba += 16) {
    if (Write10(drive, lba, 16, data.data() + lba * 2048u, 16 * 2048u, nullptr) != QD_OK)
      ::_exit(2);
  }
}

// The child locks the tray and keeps its handle open.
void LockTray(const std::string& path) {
  std::string error;
  std::unique_ptr<Transport> transport = OpenVirtualRecorder(path, "dvd+r", &error);
  if (!transport) ::_exit(2);
  HANDLE drive = OpenDriveOnTransport(std::move(transport), 0);
  if (PreventAllowMediumRemoval(drive, true, false) != QD_OK) ::_exit(2);
}

TEST_F(DriveClaimTest, SecondHandleIsRefusedUntilTheFirstCloses) {
  HANDLE first = Open();
  HANDLE second = Open();
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  const std::vector<uint8_t> a = Blocks(16, 0xAA), b = Blocks(16, 0xBB);
  ASSERT_EQ(Write10(first, 0, 16, a.data(), 16 * 2048u, nullptr), QD_OK);
  // Every command that changes the medium is refused on the other handle, before it is sent;
  // commands that only read go on.
  EXPECT_EQ(Write10(second, 16, 16, b.data(), 16 * 2048u, nullptr), QD_E_BUSY);
  EXPECT_EQ(ReserveTrack(second, 100), QD_E_BUSY);
  EXPECT_EQ(CloseTrackSession(second, false, 1, 1), QD_E_BUSY);
  EXPECT_EQ(Blank(second, false, 1, 0), QD_E_BUSY);
  DiscInformation disc;
  EXPECT_EQ(ReadDiscInformation(second, &disc, nullptr), QD_OK);
  // The first job goes on where it was.
  EXPECT_EQ(Write10(first, 16, 16, a.data(), 16 * 2048u, nullptr), QD_OK);
  EXPECT_EQ(CloseDriveHandle(first), QD_OK);
  EXPECT_EQ(Write10(second, 32, 16, b.data(), 16 * 2048u, nullptr), QD_OK);
  EXPECT_EQ(CloseDriveHandle(second), QD_OK);
}

TEST_F(DriveClaimTest, AnotherProcessIsRefusedAndAKilledOneLeavesNothingBehind) {
  RunInChild(WriteWithoutClosing);
  EXPECT_EQ(BackingSize(), 64u * 2048);
  {
    HANDLE drive = Open();
    ASSERT_NE(drive, nullptr);
    const std::vector<uint8_t> data = Blocks(16, 0x11);
    EXPECT_EQ(Write10(drive, 64, 16, data.data(), 16 * 2048u, nullptr), QD_E_BUSY);
    EXPECT_EQ(CloseDriveHandle(drive), QD_OK);
    // Replacing the medium under the running job is refused as well.
    std::string error;
    EXPECT_FALSE(CreateVirtualBlank(path_, "dvd+r", 0, &error));
  }
  EXPECT_EQ(BackingSize(), 64u * 2048) << "a refused job changed the medium";

  KillChild();
  HANDLE drive = Open();
  ASSERT_NE(drive, nullptr);
  // The claim died with its process; the blocks it wrote were never recorded on the disc, so
  // they are not in the disc's image any more once the next job takes the drive.
  const std::vector<uint8_t> data = Blocks(16, 0x22);
  ASSERT_EQ(Write10(drive, 0, 16, data.data(), 16 * 2048u, nullptr), QD_OK);
  EXPECT_EQ(BackingSize(), 16u * 2048);
  EXPECT_EQ(CloseDriveHandle(drive), QD_OK);
}

TEST_F(DriveClaimTest, TrayLockHoldsAcrossProcessesAndEndsWithItsProcess) {
  RunInChild(LockTray);
  {
    HANDLE drive = Open();
    ASSERT_NE(drive, nullptr);
    EXPECT_EQ(StartStopUnit(drive, true, false), QD_E_COMMAND_FAILED);
    _COMMANDERRORINFOMATION error{};
    DRV_GetLastCommandError(&error);
    EXPECT_EQ(error.SenseData[2] & 0x0F, 5);
    EXPECT_EQ(error.SenseData[12], 0x53);
    EXPECT_EQ(error.SenseData[13], 0x02);
    EXPECT_EQ(CloseDriveHandle(drive), QD_OK);
  }
  KillChild();
  // The process that locked is gone: the next one ejects.
  HANDLE drive = Open();
  ASSERT_NE(drive, nullptr);
  EXPECT_EQ(StartStopUnit(drive, true, false), QD_OK);
  EXPECT_EQ(CloseDriveHandle(drive), QD_OK);
}

}  // namespace
}  // namespace quillden::drive
