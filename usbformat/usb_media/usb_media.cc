#include "usb_media.h"

#include <fcntl.h>
#include <libudev.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <memory>

#include "block_device.h"
#include "platform/unicode.h"

namespace quenvar::usbmedia {
namespace {

struct UdevDeleter {
  void operator()(udev* u) const { udev_unref(u); }
  void operator()(udev_device* d) const { udev_device_unref(d); }
  void operator()(udev_enumerate* e) const { udev_enumerate_unref(e); }
};
using UdevPtr = std::unique_ptr<udev, UdevDeleter>;
using DevicePtr = std::unique_ptr<udev_device, UdevDeleter>;
using EnumeratePtr = std::unique_ptr<udev_enumerate, UdevDeleter>;

std::string Attribute(udev_device* device, const char* name) {
  const char* value = udev_device_get_sysattr_value(device, name);
  std::string text = value ? value : "";
  while (!text.empty() && (text.back() == ' ' || text.back() == '\n')) text.pop_back();
  return text;
}

std::string Property(udev_device* device, const char* name) {
  const char* value = udev_device_get_property_value(device, name);
  return value ? value : "";
}

// The USB device a disk hangs below, or null.
udev_device* UsbParent(udev_device* disk) {
  return udev_device_get_parent_with_subsystem_devtype(disk, "usb", "usb_device");
}

bool FillDisk(udev_device* device, UsbDisk* disk) {
  const char* devtype = udev_device_get_devtype(device);
  if (!devtype || std::string(devtype) != "disk") return false;
  // sysfs counts the size in 512-byte units whatever the sector size.
  disk->capacity_bytes = std::strtoull(Attribute(device, "size").c_str(), nullptr, 10) * 512;
  disk->on_usb_bus = UsbParent(device) != nullptr;
  disk->vendor = Property(device, "ID_VENDOR");
  disk->model = Property(device, "ID_MODEL");
  // Without udev's database (containers), the SCSI inquiry strings of sysfs serve.
  if (disk->vendor.empty()) disk->vendor = Attribute(device, "device/vendor");
  if (disk->model.empty()) disk->model = Attribute(device, "device/model");
  return true;
}

// The letter the map gives the device number rdev, or 0.
char LetterOf(const platform::DriveMap& map, dev_t rdev) {
  for (const platform::DriveMapEntry& e : map.entries()) {
    if (e.kind != platform::DriveKind::kUsb) continue;
    struct stat st;
    if (stat(e.device_path.c_str(), &st) == 0 && S_ISBLK(st.st_mode) && st.st_rdev == rdev)
      return e.letter;
  }
  return 0;
}

void WriteSysfs(const std::string& path, const char* value) {
  std::ofstream out(path);
  out << value;
}

}  // namespace

std::u16string UsbDisk::Description() const {
  std::string text = std::string(1, letter) + ":";
  if (!vendor.empty()) text += " " + vendor;
  if (!model.empty()) text += " " + model;
  return platform::Utf8ToUtf16(text);
}

void UsbMediaList::Rescan() {
  platform::DriveMap::Reload();
  Rescan(platform::DriveMap::Current());
}

void UsbMediaList::Rescan(const platform::DriveMap& map) {
  disks_.clear();
  UdevPtr context(udev_new());
  if (!context) return;
  std::vector<dev_t> seen;

  // USB-bus removable disks.
  EnumeratePtr scan(udev_enumerate_new(context.get()));
  if (scan) {
    udev_enumerate_add_match_subsystem(scan.get(), "block");
    udev_enumerate_add_match_property(scan.get(), "DEVTYPE", "disk");
    udev_enumerate_add_match_sysattr(scan.get(), "removable", "1");
    udev_enumerate_scan_devices(scan.get());
    udev_list_entry* entry;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(scan.get())) {
      DevicePtr device(
          udev_device_new_from_syspath(context.get(), udev_list_entry_get_name(entry)));
      UsbDisk disk;
      if (!device || !FillDisk(device.get(), &disk) || !disk.on_usb_bus) continue;
      dev_t rdev = udev_device_get_devnum(device.get());
      disk.letter = LetterOf(map, rdev);
      const char* node = udev_device_get_devnode(device.get());
      if (!disk.letter || !node || disk.capacity_bytes == 0) continue;
      disk.device_path = map.Find(disk.letter)->device_path;
      seen.push_back(rdev);
      disks_.push_back(std::move(disk));
    }
  }

  // The map's USB entries udev did not report: trusted as USB media.
  for (const platform::DriveMapEntry& e : map.entries()) {
    if (e.kind != platform::DriveKind::kUsb) continue;
    struct stat st;
    if (stat(e.device_path.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) continue;
    if (std::find(seen.begin(), seen.end(), st.st_rdev) != seen.end()) continue;
    DevicePtr device(udev_device_new_from_devnum(context.get(), 'b', st.st_rdev));
    UsbDisk disk;
    if (!device || !FillDisk(device.get(), &disk) || disk.capacity_bytes == 0) continue;
    disk.letter = e.letter;
    disk.device_path = e.device_path;
    seen.push_back(st.st_rdev);
    disks_.push_back(std::move(disk));
  }
  std::sort(disks_.begin(), disks_.end(),
            [](const UsbDisk& a, const UsbDisk& b) { return a.letter < b.letter; });
}

uint64_t UsbMediaList::DiskSpace(int index) const {
  return index >= 0 && index < DeviceCount() ? disks_[static_cast<size_t>(index)].capacity_bytes
                                             : 0;
}

bool UsbMediaList::DiskInfo(int index, UsbDisk* disk) const {
  if (index < 0 || index >= DeviceCount() || !disk) return false;
  *disk = disks_[static_cast<size_t>(index)];
  return true;
}

EjectResult Eject(char letter) {
  return Eject(platform::DriveMap::Current(), letter);
}

EjectResult Eject(const platform::DriveMap& map, char letter) {
  const platform::DriveMapEntry* entry = map.Find(letter);
  if (!entry || entry->kind != platform::DriveKind::kUsb) return EjectResult::kNotFound;
  usbformat::DiskNode node;
  std::string why;
  if (!usbformat::ResolveDisk(entry->device_path, &node, &why)) return EjectResult::kNotFound;
  if (!usbformat::WhyUnsafeToFormat(node).empty()) return EjectResult::kRefused;

  sync();
  if (!usbformat::UnmountAll(node)) return EjectResult::kBusy;
  int fd = open(node.device_path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    fsync(fd);
    ioctl(fd, BLKFLSBUF, 0);
    close(fd);
  }

  UdevPtr context(udev_new());
  if (!context) return EjectResult::kNotPoweredOff;
  DevicePtr device(udev_device_new_from_devnum(context.get(), 'b', node.dev));
  udev_device* usb = device ? UsbParent(device.get()) : nullptr;
  if (!usb) return EjectResult::kNotPoweredOff;
  std::string disk_sys = udev_device_get_syspath(device.get());
  std::string usb_sys = udev_device_get_syspath(usb);
  // Deleting the SCSI disk flushes its cache and stops it; removing the USB device then lets the
  // hub power its port off.
  WriteSysfs(disk_sys + "/device/delete", "1");
  WriteSysfs(usb_sys + "/remove", "1");
  struct stat st;
  return stat(usb_sys.c_str(), &st) != 0 ? EjectResult::kPoweredOff : EjectResult::kNotPoweredOff;
}

}  // namespace quenvar::usbmedia
