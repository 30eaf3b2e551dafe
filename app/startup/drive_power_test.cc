#include "app/startup/drive_power.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

namespace quenvar::app {
namespace {

class DrivePowerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/orvex_power_XXXXXX";
    root_ = ::mkdtemp(pattern);
    std::filesystem::create_directories(root_ + "/dev");
  }
  void TearDown() override { std::filesystem::remove_all(root_); }

  void AddDevice(const std::string& name, const std::string& status) {
    const std::string power = root_ + "/block/" + name + "/device/power";
    std::filesystem::create_directories(power);
    if (!status.empty()) std::ofstream(power + "/runtime_status") << status << "\n";
  }
  std::string Script(const std::string& body) {
    const std::string path = root_ + "/helper.sh";
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    ::chmod(path.c_str(), 0755);
    return path;
  }

  std::string root_;
};

TEST_F(DrivePowerTest, OnlySleepingOpticalDrivesCountAsWaking) {
  AddDevice("sr0", "active");
  AddDevice("sr1", "unsupported");
  AddDevice("sr2", "");           // no power information
  AddDevice("sda", "suspended");  // not an optical drive
  EXPECT_EQ(WakeOpticalDrives(root_ + "/block", root_ + "/dev"), 0);
  AddDevice("sr3", "suspended");
  EXPECT_EQ(WakeOpticalDrives(root_ + "/block", root_ + "/dev"), 1);
  EXPECT_EQ(WakeOpticalDrives(root_ + "/missing", root_ + "/dev"), 0);
}

TEST_F(DrivePowerTest, HelperExitCodeComesBackAndTheWindowsStayServiced) {
  int pumps = 0;
  EXPECT_EQ(RunDrivePowerHelper(Script("sleep 0.3; exit 3"), [&] { ++pumps; }), 3u);
  EXPECT_GE(pumps, 5);
  EXPECT_EQ(RunDrivePowerHelper(Script("exit 0"), nullptr), 0u);
}

TEST_F(DrivePowerTest, HelperThatCannotRunOrDiesCountsAsZero) {
  EXPECT_EQ(RunDrivePowerHelper("", nullptr), 0u);
  EXPECT_EQ(RunDrivePowerHelper(root_ + "/no-such-helper", nullptr), 0u);
  EXPECT_EQ(RunDrivePowerHelper(Script("kill -9 $$"), nullptr), 0u);
}

TEST_F(DrivePowerTest, HelperIsLookedForBesideTheProgram) {
  const std::string folder = OwnProgramFolder();
  ASSERT_FALSE(folder.empty());
  EXPECT_TRUE(std::filesystem::exists(folder));
  EXPECT_EQ(DrivePowerHelperPath(), folder + "/drumlet");
}

}  // namespace
}  // namespace quenvar::app
