#include "block_device.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

namespace quenvar::usbformat {
namespace {

TEST(BlockDevice, ParsesMountInfoWithEscapedMountPoints) {
  std::string text =
      "22 1 254:1 / / rw,relatime shared:1 - ext4 /dev/vda1 rw\n"
      "40 22 8:17 / /media/user/MY\\040STICK rw - vfat /dev/sdb1 rw\n"
      "garbage line\n"
      "41 22 0:45 / /proc rw - proc proc rw";
  auto mounts = ParseMountInfo(text);
  ASSERT_EQ(mounts.size(), 3u);
  EXPECT_EQ(mounts[0].dev, makedev(254, 1));
  EXPECT_EQ(mounts[0].mount_point, "/");
  EXPECT_EQ(mounts[1].dev, makedev(8, 17));
  EXPECT_EQ(mounts[1].mount_point, "/media/user/MY STICK");
  EXPECT_EQ(mounts[2].mount_point, "/proc");
  EXPECT_EQ(mounts[1].file_system, "vfat");
  EXPECT_EQ(mounts[1].source, "/dev/sdb1");
}

TEST(BlockDevice, FuseMountsAreKnownByTheirSource) {
  // A FUSE driver's mount shows a device number of its own; optional fields come before "-".
  auto mounts = ParseMountInfo(
      "50 22 0:52 / /media/u/NTFS\\040STICK rw,relatime shared:7 master:2 - fuseblk "
      "/dev/null rw,user_id=0\n"
      "51 22 0:53 / /mnt/x rw - fuse.fusefat /dev/not\\040there rw\n"
      "52 22 0:54 / /run rw - tmpfs tmpfs rw\n");
  ASSERT_EQ(mounts.size(), 3u);
  EXPECT_EQ(mounts[0].dev, makedev(0, 52));
  EXPECT_EQ(mounts[0].mount_point, "/media/u/NTFS STICK");
  EXPECT_EQ(mounts[0].file_system, "fuseblk");
  EXPECT_EQ(mounts[1].source, "/dev/not there");
  // /dev/null is a character device, so no block device is named; neither by a missing node nor
  // by a source that is no path.
  EXPECT_EQ(SourceDevice(mounts[0]), 0u);
  EXPECT_EQ(SourceDevice(mounts[1]), 0u);
  EXPECT_EQ(SourceDevice(mounts[2]), 0u);
  struct stat st {};
  if (stat("/dev/loop0", &st) == 0 && S_ISBLK(st.st_mode)) {
    MountRecord loop;
    loop.source = "/dev/loop0";
    EXPECT_EQ(SourceDevice(loop), st.st_rdev);
  }
}

TEST(BlockDevice, SystemMountPoints) {
  for (const char* p : {"/", "/boot", "/boot/efi", "/usr", "/var/lib/docker", "/home"}) {
    EXPECT_TRUE(IsSystemMountPoint(p)) << p;
  }
  for (const char* p :
       {"/media/user/STICK", "/mnt", "/run/media/u/X", "/tmp/quenvar-usb", "/usrdata", "/homes"}) {
    EXPECT_FALSE(IsSystemMountPoint(p)) << p;
  }
}

// The disk that holds / must always be refused, whatever it is.
TEST(BlockDevice, TheRootFileSystemsDiskIsUnsafe) {
  struct stat st;
  ASSERT_EQ(stat("/", &st), 0);
  std::string sys =
      "/sys/dev/block/" + std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
  char resolved[4096];
  if (major(st.st_dev) == 0 || !realpath(sys.c_str(), resolved))
    GTEST_SKIP() << "/ is not on a block device";
  std::string path = resolved;
  // A partition's sysfs folder sits inside its disk's folder.
  struct stat part;
  if (stat((path + "/partition").c_str(), &part) == 0) path = path.substr(0, path.rfind('/'));
  std::string name = path.substr(path.rfind('/') + 1);
  DiskNode disk;
  std::string why;
  if (!ResolveDisk("/dev/" + name, &disk, &why)) GTEST_SKIP() << why;
  EXPECT_NE(WhyUnsafeToFormat(disk), "");
}

// The kernel's removable flag decides, whatever the drive map says; loop devices stand in for
// sticks.
TEST(BlockDevice, OnlyRemovableDisksAndLoopDevicesMayBeFormatted) {
  char pattern[] = "/tmp/removable-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string sys = pattern;
  DiskNode disk;
  disk.device_path = "/dev/sdz";
  disk.sys_path = sys;
  disk.dev = makedev(8, 16);
  EXPECT_NE(WhyNotRemovable(disk), "");  // no flag at all
  std::ofstream(sys + "/removable") << "0\n";
  EXPECT_NE(WhyNotRemovable(disk).find("fixed disk"), std::string::npos);
  std::ofstream(sys + "/removable") << "1\n";
  EXPECT_EQ(WhyNotRemovable(disk), "");
  std::ofstream(sys + "/removable") << "0\n";
  disk.dev = makedev(7, 3);
  EXPECT_EQ(WhyNotRemovable(disk), "");
  std::remove((sys + "/removable").c_str());
  rmdir(sys.c_str());
}

TEST(BlockDevice, ResolveRefusesWhatIsNotADisk) {
  DiskNode disk;
  std::string why;
  EXPECT_FALSE(ResolveDisk("/nonexistent", &disk, &why));
  EXPECT_FALSE(ResolveDisk("/dev/null", &disk, &why));
  EXPECT_NE(why.find("not a block device"), std::string::npos);
}

}  // namespace
}  // namespace quenvar::usbformat
