#include "usb_media.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <unistd.h>

#include "block_device.h"
#include "loop_device.h"

namespace quenvar::usbmedia {
namespace {

using usbformat::Capture;
using usbformat::LoopDevice;

constexpr uint64_t kMiB = 1 << 20;

bool Mounted(const std::string& mount_point) {
  for (const auto& m : usbformat::CurrentMounts()) {
    if (m.mount_point == mount_point) return true;
  }
  return false;
}

TEST(UsbMediaList, WithoutLettersThereIsNothingToList) {
  UsbMediaList list;
  list.Rescan(platform::DriveMap::Parse(""));
  EXPECT_EQ(list.DeviceCount(), 0);
  EXPECT_EQ(list.DiskSpace(0), 0u);
  EXPECT_EQ(list.DiskSpace(-1), 0u);
  UsbDisk disk;
  EXPECT_FALSE(list.DiskInfo(0, &disk));
}

TEST(UsbMediaList, ListsTheMapsUsbMediaWithCapacityInLetterOrder) {
  LoopDevice big(96 * kMiB);
  LoopDevice small(40 * kMiB);
  if (!big.ok() || !small.ok()) GTEST_SKIP() << "no loop device: " << big.why() << small.why();
  std::string free_loop = Capture("losetup -f 2>/dev/null");
  while (!free_loop.empty() && free_loop.back() == '\n') free_loop.pop_back();
  // The fixed entry, the missing device and the loop without a medium must not be listed.
  auto map = platform::DriveMap::Parse("W=usb:" + big.device() + ";V=usb:" + small.device() +
                                       ";C=fixed:" + big.device() + ";X=usb:/dev/quenvar-missing" +
                                       (free_loop.empty() ? "" : ";Y=usb:" + free_loop));
  UsbMediaList list;
  list.Rescan(map);
  ASSERT_EQ(list.DeviceCount(), 2);
  UsbDisk first, second;
  ASSERT_TRUE(list.DiskInfo(0, &first));
  ASSERT_TRUE(list.DiskInfo(1, &second));
  EXPECT_EQ(first.letter, 'V');
  EXPECT_EQ(first.device_path, small.device());
  EXPECT_EQ(first.capacity_bytes, 40 * kMiB);
  EXPECT_FALSE(first.on_usb_bus);
  EXPECT_EQ(second.letter, 'W');
  EXPECT_EQ(list.DiskSpace(1), 96 * kMiB);
  EXPECT_EQ(first.Description().substr(0, 2), u"V:");
  // A rescan starts afresh.
  list.Rescan(platform::DriveMap::Parse("W=usb:" + big.device()));
  EXPECT_EQ(list.DeviceCount(), 1);
}

TEST(UsbMediaList, DescriptionStartsWithTheLetter) {
  UsbDisk disk;
  disk.letter = 'U';
  disk.vendor = "Acme";
  disk.model = "Stick 3.0";
  EXPECT_EQ(disk.Description(), u"U: Acme Stick 3.0");
  disk.vendor.clear();
  disk.model.clear();
  EXPECT_EQ(disk.Description(), u"U:");
}

// A loop device with an ext4 partition mounted at mount_point; empty string on success.
std::string MountPartition(LoopDevice& loop, const std::string& mount_point) {
  if (!loop.Partition("label: dos\n,,83\n")) return "sfdisk failed";
  std::string part = loop.PartitionNode(1);
  int rc = -1;
  if (part.empty()) return "no partition node";
  Capture("mkfs.ext4 -q '" + part + "' 2>/dev/null", &rc);
  if (rc != 0) return "mkfs.ext4 failed";
  if (mount(part.c_str(), mount_point.c_str(), "ext4", 0, nullptr) != 0) return "cannot mount ext4";
  return "";
}

TEST(Eject, UnmountsTheMediumAndRefusesSystemDisks) {
  LoopDevice loop(48 * kMiB);
  if (!loop.ok()) GTEST_SKIP() << "no loop device: " << loop.why();
  char pattern[] = "/tmp/usb-media-test-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  std::string mount_point = pattern;
  std::string why = MountPartition(loop, mount_point);
  if (!why.empty()) {
    rmdir(mount_point.c_str());
    GTEST_SKIP() << why;
  }
  auto map = platform::DriveMap::Parse("U=usb:" + loop.device() + ";C=fixed:" + loop.device());
  EXPECT_EQ(Eject(map, 'Q'), EjectResult::kNotFound);
  EXPECT_EQ(Eject(map, 'C'), EjectResult::kNotFound);
  EXPECT_TRUE(Mounted(mount_point));
  // A loop device has no USB port to power off.
  EXPECT_EQ(Eject(map, 'u'), EjectResult::kNotPoweredOff);
  EXPECT_FALSE(Mounted(mount_point));
  rmdir(mount_point.c_str());

  char system_pattern[] = "/var/tmp/usb-media-test-XXXXXX";
  if (!mkdtemp(system_pattern)) GTEST_SKIP() << "no /var/tmp";
  std::string system_point = system_pattern;
  std::string part = loop.PartitionNode(1);
  ASSERT_EQ(mount(part.c_str(), system_point.c_str(), "ext4", 0, nullptr), 0);
  EXPECT_EQ(Eject(map, 'U'), EjectResult::kRefused);
  EXPECT_TRUE(Mounted(system_point));
  umount(system_point.c_str());
  rmdir(system_point.c_str());
}

}  // namespace
}  // namespace quenvar::usbmedia
