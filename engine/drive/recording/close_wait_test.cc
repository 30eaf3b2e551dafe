// How the engine waits for a drive that closes or flushes in the background: a quick close costs
// a short wait, not a whole poll interval, and a long one is not asked about more than once a
// second once it has run for a while.
#include "drive/recording/close_wait.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "drive/drive_handle.h"
#include "drive/mmc_commands.h"
#include "drive/virtual/media_state.h"
#include "drive/virtual/virtual_admin.h"
#include "drive/virtual/virtual_recorder.h"
#include "drive/virtual/virtual_test_util.h"
#include "quillden/result.h"

namespace quillden::recording {
namespace {

// The engine's clock and the virtual drive's clock as one: time moves only when the engine sleeps
// between polls, so the test sees every wait and nothing depends on the machine's speed.
class PollClock : public drive::DriveClock {
 public:
  explicit PollClock(drive::testing::ManualClockEnv* env) : env_(env) {}
  uint64_t TickMs() override { return env_->TickCountMs(); }
  void SleepMs(uint32_t ms) override {
    sleeps.push_back(ms);
    env_->Advance(ms);
  }
  uint64_t Slept() const {
    uint64_t total = 0;
    for (uint32_t ms : sleeps) total += ms;
    return total;
  }
  std::vector<uint32_t> sleeps;

 private:
  drive::testing::ManualClockEnv* env_;
};

class CloseWaitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = ::testing::TempDir() + "/close-wait-" + std::to_string(::getpid()) + ".disc";
    std::string error;
    std::unique_ptr<drive::Transport> transport =
        drive::OpenVirtualRecorder(path_, "dvd+r", &env_, &error);
    ASSERT_NE(transport, nullptr) << error;
    ASSERT_TRUE(drive::testing::Write10(transport.get(), 0, 16, 0x5A).ok());
    drive_ = drive::OpenDriveOnTransport(std::move(transport), 'W');
    drive::SetDriveClockForTesting(&clock_);
  }
  void TearDown() override {
    drive::SetDriveClockForTesting(nullptr);
    if (drive_ != nullptr) drive::CloseDriveHandle(drive_);
    for (const char* suffix : {"", ".state", ".raw"}) std::remove((path_ + suffix).c_str());
  }
  void SetCloseTime(uint32_t ms) {
    drive::VirtualTiming timing;
    timing.close_ms = ms;
    std::string error;
    ASSERT_TRUE(drive::SetVirtualTiming(path_, timing, &error)) << error;
  }

  std::string path_;
  drive::testing::ManualClockEnv env_;
  PollClock clock_{&env_};
  HANDLE drive_ = nullptr;
};

constexpr uint8_t kCloseSession = 2;

TEST_F(CloseWaitTest, TheVirtualDrivesDefaultCloseEndsWithTheFirstPoll) {
  ASSERT_EQ(drive::virt::Timing().close_ms, drive::VirtualTiming().close_ms);
  ASSERT_EQ(CloseWithFunction(drive_, ProgressReporter(), kCloseSession, 0), QD_OK);
  ASSERT_FALSE(clock_.sleeps.empty()) << "the drive closes in the background";
  EXPECT_EQ(clock_.sleeps.size(), 1u) << "one wait: the close is over when the engine asks again";
  EXPECT_LE(clock_.Slept(), 100u);
}

TEST_F(CloseWaitTest, ALongCloseIsPolledAtMostOnceASecond) {
  SetCloseTime(30000);
  ASSERT_EQ(CloseWithFunction(drive_, ProgressReporter(), kCloseSession, 0), QD_OK);
  EXPECT_GE(clock_.Slept(), 30000u);
  EXPECT_LT(clock_.Slept(), 31000u) << "the end is seen within a poll interval";
  EXPECT_LE(clock_.sleeps.size(), 35u) << "a real drive closing for 30 s is not hammered";
  for (uint32_t ms : clock_.sleeps) EXPECT_LE(ms, 1000u);
  for (size_t i = 1; i < clock_.sleeps.size(); ++i)
    EXPECT_GE(clock_.sleeps[i], clock_.sleeps[i - 1]);
}

}  // namespace
}  // namespace quillden::recording
