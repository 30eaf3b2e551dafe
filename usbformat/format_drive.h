// The steps behind Tarnfold: argument checks, the removable-drive check, the partitioning step
// (sfdisk script, then the formatter), the fallback (layout check, boot record, formatter retries)
// and the outside formatter of old platform versions.
//
// FormatDrive takes the drive map and platform version as arguments so that tests can hand it
// their own; Tarnfold passes the current ones. Not reentrant for one drive: Tarnfold serializes.
#ifndef QUENVAR_USBFORMAT_FORMAT_DRIVE_H_
#define QUENVAR_USBFORMAT_FORMAT_DRIVE_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "block_device.h"
#include "mbr.h"
#include "platform/drive_map.h"
#include "platform/system_info.h"

namespace quenvar::usbformat {

struct FormatRequest {
  char letter = 0;  // 'A'..'Z'
  FileSystem file_system = FileSystem::kFat32;
  bool has_label = false;
  std::string label;       // UTF-8, already made to fit what the file system holds
  uint32_t code_page = 0;  // FAT32: the OEM code page the label is stored in
  std::string oem_label;   // FAT32: the label's bytes in that code page
};

// Where the partition sits on its disk, for a formatter that records it in the boot sector (a
// medium boots only when these agree with the drive).
struct PartitionPlacement {
  uint64_t start_sector = 0;  // in the disk's logical sectors
  uint32_t bytes_per_sector = 512;
  uint32_t heads = 0;
  uint32_t sectors_per_track = 0;
};

// Volume labels hold at most 12 UTF-16 units; FAT labels at most 11 characters.
inline constexpr size_t kMaxLabelUnits = 12;
inline constexpr size_t kMaxFatLabelChars = 11;

// The label cut to max_units UTF-16 units, never splitting a surrogate pair.
std::u16string CutLabel(std::u16string_view label, size_t max_units = kMaxLabelUnits);

// The OEM code page that goes with an ANSI code page (850 for the Western ones and whatever this
// system's iconv lacks; the East Asian code pages are their own).
uint32_t OemCodePage(uint32_t ansi_code_page);

// A FAT volume label as it can be stored: every character converted to code_page, one that the
// code page lacks or that FAT forbids in labels (below 0x20, and *?.,;:/\|+=<>[]") replaced by
// "_", cut to 11 bytes without splitting a double-byte character, trailing blanks dropped.
// Returned as UTF-8 of what is stored.
std::string FatLabel(std::u16string_view label, uint32_t code_page);

// The label mkfs.vfat writes when the real one has bytes outside ASCII (mkfs.vfat 4.2 refuses
// those whatever code page it is given); WriteFatLabel then puts the real bytes in its place.
inline constexpr char kFatLabelPlaceholder[] = "QVLABEL";

// Replaces the placeholder label of a freshly formatted FAT32 volume (open read-write) with
// stored, the label's bytes in its code page (at most 11): in the boot sector, its backup and the
// root folder's volume entry. False when the volume does not look as mkfs.vfat leaves it.
bool WriteFatLabel(int fd, std::string_view stored);

// Checks letter and file system name and fills the request; TF_E_INVALID_ARGUMENT otherwise. The
// label is made to fit the file system here, before any disk is touched.
uint32_t ParseRequest(uint32_t letter, const char16_t* file_system, const char16_t* label,
                      FormatRequest* request);

// The disk behind the letter when it is a USB drive of the map that is safe to rewrite; otherwise
// TF_E_NOT_REMOVABLE (or TF_E_OPEN when the map's device is missing). Opens nothing for writing.
uint32_t CheckRemovable(const platform::DriveMap& map, char letter, DiskNode* disk);

// The formatter's command for a partition node.
std::vector<std::string> FormatterCommand(const FormatRequest& request,
                                          const std::string& partition,
                                          const PartitionPlacement& placement = {});

// The placement of partition `number` of the disk (false when the disk or sysfs cannot tell).
bool FindPlacement(const DiskNode& disk, int number, PartitionPlacement* placement);

// The sfdisk script of the partitioning step.
std::string PartitionScript(FileSystem file_system);

// The partitioning step: 0 on success, an errno value when the drive cannot be opened or the tool
// not started, TF_E_TOOL_START when the script cannot be written, TF_E_TOOL_FAILED when a tool
// fails.
uint32_t PartitionStep(const FormatRequest& request, const DiskNode& disk);

// The fallback: opens the drive, checks the layout, rewrites the boot record and runs the
// formatter up to five times.
uint32_t FallbackStep(const FormatRequest& request, const DiskNode& disk);

// Writes the boot record for partition `index` and the zeroed first track on an open drive:
// TF_E_NO_DRIVE for fd < 0, TF_E_FILE_SYSTEM for a name other than "FAT32"/"NTFS",
// TF_E_PARTITION_INDEX above 3, TF_E_GEOMETRY, TF_E_WRITE_MBR.
uint32_t RewriteBootRecord(int fd, std::u16string_view file_system, int index);

// Everything Tarnfold does.
uint32_t FormatDrive(const platform::DriveMap& map, const platform::PlatformVersion& version,
                     uint32_t letter, const char16_t* file_system, const char16_t* label);

}  // namespace quenvar::usbformat

#endif  // QUENVAR_USBFORMAT_FORMAT_DRIVE_H_
