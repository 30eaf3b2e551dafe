// The block device behind a USB drive letter: what sysfs and the mount table say about it, its
// partitions, its size and geometry, and re-reading its partition table.
//
// The safety check is deliberately conservative: a disk is refused when it is not a whole disk,
// when it or one of its partitions is mounted at a system location (/, /boot, /usr, /var, ...) or
// used as swap, or when another block device is stacked on it (device mapper, RAID). Mounts
// elsewhere (a desktop's automount under /media, the program's own mount point) do not refuse it;
// UnmountAll releases them before the disk is rewritten. Thread-compatible.
#ifndef QUENVAR_USBFORMAT_BLOCK_DEVICE_H_
#define QUENVAR_USBFORMAT_BLOCK_DEVICE_H_

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "mbr.h"

namespace quenvar::usbformat {

struct DiskNode {
  std::string device_path;  // as given (for example /dev/sdb)
  dev_t dev = 0;
  std::string sys_path;  // /sys/dev/block/MAJ:MIN
};

struct PartitionNode {
  int number = 0;  // 1 for the first partition
  dev_t dev = 0;
  std::string device_path;  // /dev/<kernel name>
  uint64_t start = 0;       // in 512-byte units, as sysfs counts
  uint64_t size = 0;
};

struct MountRecord {
  dev_t dev = 0;  // the device number the mount table shows (0:NN for FUSE)
  std::string mount_point;
  std::string file_system;  // "vfat", "fuseblk", "fuse.fusefat", ...
  std::string source;       // what was mounted ("/dev/sdb1"), unescaped
};

// The block device a mount's source names (an absolute path that is a block device node), or 0.
// FUSE drivers mount a block device under a device number of their own: only the source tells
// which disk they hold.
dev_t SourceDevice(const MountRecord& mount);

// Resolves a device path to a whole-disk block device; false (with the reason) when the path is
// missing, not a block device, or a partition.
bool ResolveDisk(const std::string& device_path, DiskNode* disk, std::string* why);

// The partitions the kernel knows for the disk, in number order.
std::vector<PartitionNode> ListPartitions(const DiskNode& disk);

// Parses /proc/self/mountinfo text (mount points unescaped).
std::vector<MountRecord> ParseMountInfo(std::string_view text);
std::vector<MountRecord> CurrentMounts();

// True for / and the folders a running system lives in (/boot, /usr, /var, /etc, /home, ...),
// including anything below them.
bool IsSystemMountPoint(std::string_view mount_point);

// Empty when the disk may be rewritten; otherwise why it may not.
std::string WhyUnsafeToFormat(const DiskNode& disk);

// Empty when the kernel holds the disk for removable media; otherwise why it is refused. The drive
// map's word alone is not enough: a stale entry may name a fixed disk that was numbered anew.
// Loop devices stand in for sticks (tests, images) and are taken as the map says.
std::string WhyNotRemovable(const DiskNode& disk);

// Unmounts every mount of the disk and its partitions, found by device number or by source;
// false (errno kept) when one stays, or when a FUSE driver still holds a partition a few seconds
// after its unmount.
bool UnmountAll(const DiskNode& disk);

// Reads size, sector size and geometry from an open disk. Drivers without a CHS translation
// (loop devices, some card readers) get the usual 255 heads and 63 sectors per track.
bool ReadGeometry(int fd, DiskGeometry* geometry);

// Asks the kernel to re-read the partition table (BLKRRPART, retried while the disk is briefly
// busy) and waits until the kernel's partition `number` (1 to 4) has the start and size that the
// table on the disk gives it and its node exists. Some drivers accept the request without acting
// on it (loop devices in containers); BLKPG requests then bring the kernel's view up to date. A
// stale view is never returned: formatting it would write over the wrong sectors. Returns the
// node's path, or empty after timeout_ms.
std::string RereadAndFindPartition(const DiskNode& disk, int number, int timeout_ms = 10000);

}  // namespace quenvar::usbformat

#endif  // QUENVAR_USBFORMAT_BLOCK_DEVICE_H_
