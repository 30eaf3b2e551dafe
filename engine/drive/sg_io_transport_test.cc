// The SG_IO transport against a real optical drive, when the machine has one.
#include "drive/sg_io_transport.h"

#include <glob.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "drive/drive_handle.h"
#include "drive/mmc_commands.h"
#include "quillden/drive.h"
#include "quillden/result.h"

namespace quillden::drive {
namespace {

std::vector<std::string> OpticalNodes() {
  std::vector<std::string> nodes;
  glob_t found{};
  if (::glob("/dev/sr*", 0, nullptr, &found) == 0) {
    for (size_t i = 0; i < found.gl_pathc; ++i) nodes.push_back(found.gl_pathv[i]);
  }
  ::globfree(&found);
  return nodes;
}

TEST(SgIoTransportTest, MissingNodeIsAnOpenFailure) {
  int error_number = 0;
  EXPECT_EQ(SgIoTransport::Open("/dev/quenvar-no-such-node", &error_number), nullptr);
  EXPECT_EQ(error_number, ENOENT);
}

TEST(SgIoTransportTest, NonScsiNodeFailsTheRequestNotTheProcess) {
  int error_number = 0;
  auto transport = SgIoTransport::Open("/dev/null", &error_number);
  ASSERT_NE(transport, nullptr);
  HANDLE drive = OpenDriveOnTransport(std::move(transport), 'Q');
  uint8_t inquiry[36];
  EXPECT_EQ(Inquiry(drive, inquiry), QD_E_PASS_THROUGH);
  EXPECT_EQ(DRV_GetDriveNumber(drive), 17u);
  EXPECT_EQ(CloseDriveHandle(drive), QD_OK);
}

// A job's claim on a device node is an exclusive open: a second claim on the same block device is
// refused with EBUSY until the first transport closes. A loop device stands in for the drive
// (the kernel treats O_EXCL the same for every block device).
TEST(SgIoTransportTest, ClaimIsExclusiveAcrossOpensUntilTheHolderCloses) {
  if (::geteuid() != 0) GTEST_SKIP() << "skipped: loop devices need root";
  const std::string backing =
      ::testing::TempDir() + "/sgclaim-" + std::to_string(::getpid()) + ".img";
  { std::ofstream(backing, std::ios::binary) << std::string(1 << 20, '\0'); }
  std::string node;
  if (FILE* p = ::popen(("losetup -f --show " + backing + " 2>/dev/null").c_str(), "r")) {
    char line[128] = {};
    if (std::fgets(line, sizeof line, p) != nullptr) node = line;
    ::pclose(p);
  }
  while (!node.empty() && (node.back() == '\n' || node.back() == ' ')) node.pop_back();
  if (node.empty()) {
    std::remove(backing.c_str());
    GTEST_SKIP() << "skipped: no loop device could be attached";
  }
  int error_number = 0;
  auto first = SgIoTransport::Open(node, &error_number);
  auto second = SgIoTransport::Open(node, &error_number);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(first->ClaimExclusive(), 0);
  EXPECT_EQ(first->ClaimExclusive(), 0);  // held already
  EXPECT_EQ(second->ClaimExclusive(), EBUSY);
  first.reset();
  EXPECT_EQ(second->ClaimExclusive(), 0);
  second.reset();
  EXPECT_EQ(std::system(("losetup -d " + node).c_str()), 0);
  std::remove(backing.c_str());
}

TEST(SgIoTransportTest, RealDriveAnswersInquiry) {
  const std::vector<std::string> nodes = OpticalNodes();
  if (nodes.empty()) GTEST_SKIP() << "skipped: no /dev/sr* optical drive on this machine";
  int error_number = 0;
  auto transport = SgIoTransport::Open(nodes[0], &error_number);
  if (!transport) GTEST_SKIP() << "skipped: " << nodes[0] << " cannot be opened (errno " << error_number << ")";
  HANDLE drive = OpenDriveOnTransport(std::move(transport), 'D');
  _DEVICEINFO info{};
  ASSERT_EQ(DRV_GetDeviceInfo(drive, &info), QD_OK);
  EXPECT_EQ(info.wDeviceType, 5);
  const uint32_t ready = TestUnitReady(drive);
  EXPECT_TRUE(ready == QD_OK || ready == QD_E_COMMAND_FAILED || ready == kOperationInProgress);
  EXPECT_EQ(CloseDriveHandle(drive), QD_OK);
}

}  // namespace
}  // namespace quillden::drive
