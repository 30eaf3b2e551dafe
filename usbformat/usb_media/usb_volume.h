// The file system of a freshly formatted USB disk, mounted where only the program looks.
//
// UsbVolume::Mount finds the disk's single non-empty partition, recognises FAT32 or NTFS from its
// boot sector and mounts it on a new private folder (mode 0700, below $TMPDIR or /tmp): FAT32
// through the kernel's vfat driver (times kept in local time, as every FAT writer keeps them), and
// NTFS through `ntfs-3g`, which runs as a child of this process in the foreground, so Unmount can
// wait until it has written everything out. When the kernel has no vfat, nothing is mounted:
// fat_tool() then reaches the files through mtools (the FUSE driver for FAT loses names outside
// ASCII and shifts dates), and without mtools Mount fails with ENODEV.
//
// Unmount syncs, unmounts, waits for a FUSE driver to end and drops the partition's cached blocks,
// so that a later Remount reads what is really on the medium. The destructor unmounts and removes
// the folder. Needs the rights to mount (root). Thread-compatible: one thread at a time.
#ifndef QUENVAR_USBFORMAT_USB_VOLUME_H_
#define QUENVAR_USBFORMAT_USB_VOLUME_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

#include "fat_tool.h"
#include "platform/drive_map.h"

namespace quenvar::usbmedia {

enum class VolumeFileSystem { kUnknown, kFat32, kNtfs };

// The DOS attributes a copy keeps besides its modification time: read-only, hidden and system
// (the same bits on FAT and NTFS). The archive bit stays as the target's driver sets it.
inline constexpr uint32_t kDosReadOnly = 0x01;
inline constexpr uint32_t kDosHidden = 0x02;
inline constexpr uint32_t kDosSystem = 0x04;
inline constexpr uint32_t kKeptDosAttributes = kDosReadOnly | kDosHidden | kDosSystem;

// What a source file says of those attributes. A file on a FAT volume (the kernel's vfat) or an
// NTFS volume (ntfs-3g, or the kernel's ntfs3) carries them itself; anywhere else a Linux file can
// only say read-only, as a mode nobody may write by. fd is the open source, info its fstat.
uint32_t SourceDosAttributes(int fd, const struct stat& info);
// Gives the copy (fd open for writing on the USB volume) the attributes: through vfat's attribute
// ioctl, through ntfs-3g's "system.ntfs_attrib" extended attribute, or else read-only alone as a
// mode without write bits. 0 or an errno value.
int KeepDosAttributes(int fd, uint32_t attributes);

// The file system a partition's boot sector announces (512 bytes at least).
VolumeFileSystem DetectFileSystem(const unsigned char* boot_sector, size_t size);

class UsbVolume {
 public:
  // Mounts the partition of the USB drive `letter` of map. Null on failure, with *error an errno
  // value (ENOENT no such drive or partition, EMEDIUMTYPE an unknown file system, ENODEV no driver
  // for it, or what mount reported) and *why a sentence for logs.
  static std::unique_ptr<UsbVolume> Mount(const platform::DriveMap& map, char letter, int* error,
                                          std::string* why);
  ~UsbVolume();
  UsbVolume(const UsbVolume&) = delete;
  UsbVolume& operator=(const UsbVolume&) = delete;

  // The folder the volume is mounted on (kept while unmounted, removed by the destructor). Holds
  // nothing of the volume when fat_tool() is set.
  const std::string& path() const { return path_; }
  // The way to the files when the volume is not mounted (a kernel without vfat), else null.
  FatTool* fat_tool() { return fat_tool_.get(); }
  // "vfat", "mtools" or "ntfs-3g".
  const std::string& driver() const { return driver_; }
  bool mounted() const { return mounted_; }

  // 0, or an errno value; unmounting an unmounted volume does nothing.
  int Unmount();
  // Unmounts (if mounted) and mounts again; 0 or an errno value.
  int Remount();

 private:
  UsbVolume() = default;
  int MountNow();

  std::string path_;       // the mount point
  std::string node_;       // the partition's device node
  std::string made_node_;  // a node this object created (the kernel's was missing), or empty
  std::string folder_;     // the private folder holding path_ (and made_node_)
  VolumeFileSystem file_system_ = VolumeFileSystem::kUnknown;
  std::string driver_;
  pid_t fuse_pid_ = -1;
  std::unique_ptr<FatTool> fat_tool_;
  bool mounted_ = false;
};

}  // namespace quenvar::usbmedia

#endif  // QUENVAR_USBFORMAT_USB_VOLUME_H_
