// USB storage media: the removable disks the program can turn into recovery media.
//
// A UsbMediaList holds a snapshot of the USB disks that have a drive letter: the USB-bus removable
// disks found through libudev, matched to the letters of the drive map, plus the map's "usb:"
// entries that udev does not place on the USB bus (the map is trusted for those; tests register
// loop devices that way). Disks without a letter, and drives without a medium (size 0), are left
// out: nothing could format or fill them. Entries are in letter order. Rescan() refreshes the
// snapshot; the object can be kept and rescanned for the next medium.
//
// Eject() syncs, unmounts every file system of the disk, flushes it and powers it off through
// sysfs; a disk that holds a system mount is refused untouched.
//
// A list is thread-compatible: one thread at a time. Eject is thread-safe.
#ifndef QUENVAR_USBFORMAT_USB_MEDIA_H_
#define QUENVAR_USBFORMAT_USB_MEDIA_H_

#include <cstdint>
#include <string>
#include <vector>

#include "platform/drive_map.h"

namespace quenvar::usbmedia {

struct UsbDisk {
  char letter = 0;          // 'A'..'Z'
  std::string device_path;  // the map's device, /dev/sdX
  uint64_t capacity_bytes = 0;
  std::string vendor;  // as the device reports it; may be empty
  std::string model;
  bool on_usb_bus = false;  // false for map entries udev does not place on the USB bus
  // A line for choosing between disks, starting with the drive letter: "U: Vendor Model".
  std::u16string Description() const;
};

class UsbMediaList {
 public:
  UsbMediaList() = default;

  // Re-reads the drive map (a stick plugged in since gets its letter) and rescans.
  void Rescan();
  // Rescans against the given map.
  void Rescan(const platform::DriveMap& map);

  int DeviceCount() const { return static_cast<int>(disks_.size()); }
  // Capacity in bytes; 0 for an index out of range.
  uint64_t DiskSpace(int index) const;
  // The disk at index; false for an index out of range.
  bool DiskInfo(int index, UsbDisk* disk) const;
  const std::vector<UsbDisk>& disks() const { return disks_; }

 private:
  std::vector<UsbDisk> disks_;
};

enum class EjectResult {
  kPoweredOff,     // synced, unmounted, flushed and powered off
  kNotPoweredOff,  // synced, unmounted and flushed; there is no USB device to power off
  kNotFound,       // the letter is not a USB drive of the map, or its device is missing
  kRefused,        // the disk holds a system mount, swap or a stacked device
  kBusy,           // a file system of the disk could not be unmounted
};

// Ejects the USB drive of letter (either case) from the current drive map, or from `map`.
EjectResult Eject(char letter);
EjectResult Eject(const platform::DriveMap& map, char letter);

}  // namespace quenvar::usbmedia

#endif  // QUENVAR_USBFORMAT_USB_MEDIA_H_
