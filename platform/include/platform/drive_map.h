// Platform layer: drive letters.
//
// Linux has no drive letters, so a drive map gives them. The map is read from QUENVAR_DRIVES, else
// /etc/quenvar/drives, else $XDG_CONFIG_HOME/quenvar/drives (default ~/.config/quenvar/drives):
// entries separated by newlines, ';' or ',' such as
//   D=/dev/sr0                      an optical drive (SG_IO on the device node)
//   V=virtual:dvd+r:/var/tmp/v.disc a virtual recorder: media kind to load when the backing file
//                                   does not exist yet, and the backing file
//   W=virtual(reads=cd|dvd writes=cd-r|cd-rw):cd-r:/var/tmp/w.disc
//                                   a virtual drive declared with what it reads and writes (see
//                                   the virtual recorder); without the declaration it reads and
//                                   writes everything
//   U=usb:/dev/sdb                  a USB removable disk
//   F=fixed:/dev/sda                a fixed disk (never formatted)
// Without a map, optical devices (/sys/class/block/sr*) get letters from D: upwards in device order
// and USB removable disks the following letters. A malformed entry is skipped with one line on
// stderr naming it; it never stops the others. Thread-safe once loaded; immutable.
#ifndef QUENVAR_PLATFORM_DRIVE_MAP_H_
#define QUENVAR_PLATFORM_DRIVE_MAP_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quenvar::platform {

enum class DriveKind {
  kOptical,  // a real optical drive: device_path is /dev/srN
  kVirtual,  // a virtual recorder: virtual_media and backing_path are set
  kUsb,      // a USB removable disk: device_path is /dev/sdX
  kFixed,    // a fixed disk
};

// What GetDriveType answered for a letter.
enum class DriveType : uint32_t {
  kNoRootDir = 1,
  kRemovable = 2,
  kFixed = 3,
  kCdRom = 5,
};

struct DriveMapEntry {
  char letter = 0;  // 'A' to 'Z'
  DriveKind kind = DriveKind::kOptical;
  std::string device_path;    // optical, USB and fixed entries
  std::string virtual_media;  // virtual entries: "cd-r", "dvd+r", ... as written in the map
  std::string backing_path;   // virtual entries: the medium's backing file
  std::string virtual_drive;  // virtual entries: the drive declaration in parentheses, or empty
  // 1 for A: to 26 for Z:.
  uint32_t drive_number() const { return static_cast<uint32_t>(letter - 'A' + 1); }
  DriveType type() const;
};

class DriveMap {
 public:
  // Reads the map from the environment and files above (or the sysfs defaults).
  static DriveMap Load();
  // Parses map text; malformed entries are reported on stderr and skipped.
  static DriveMap Parse(std::string_view text);
  // The map without a map file: optical devices (srN in number order) from D: upwards, then USB
  // removable disks (sdX below a USB controller with removable = 1), found under sys_class_block
  // (normally /sys/class/block).
  static DriveMap FromSysfs(const std::string& sys_class_block);
  // The map every caller of the process shares, loaded on first use. Reload() re-reads it (tests).
  static const DriveMap& Current();
  static void Reload();

  const std::vector<DriveMapEntry>& entries() const { return entries_; }  // ascending letters
  const DriveMapEntry* Find(char letter) const;  // letter in either case; null when absent
  // The letters present, as GetLogicalDriveStrings would list them ("D:\", ...), ascending.
  std::vector<char> Letters() const;

 private:
  std::vector<DriveMapEntry> entries_;
};

}  // namespace quenvar::platform

#endif  // QUENVAR_PLATFORM_DRIVE_MAP_H_
