// The master boot record of a USB drive: reading its partition table and building the record the
// fallback path writes (one active primary partition over the whole drive after the first track).
//
// Pure functions over 512-byte sectors; thread-safe.
#ifndef QUENVAR_USBFORMAT_MBR_H_
#define QUENVAR_USBFORMAT_MBR_H_

#include <array>
#include <cstddef>
#include <cstdint>

namespace quenvar::usbformat {

inline constexpr size_t kMbrSize = 512;
inline constexpr size_t kPartitionTableOffset = 446;
inline constexpr size_t kPartitionEntrySize = 16;
inline constexpr uint8_t kTypeFat32Lba = 0x0C;
inline constexpr uint8_t kTypeNtfs = 0x07;

enum class FileSystem { kFat32, kNtfs };

// What the drive reports about its shape. heads and sectors_per_track are the translation the
// firmware would use for CHS addresses.
struct DiskGeometry {
  uint32_t heads = 0;
  uint32_t sectors_per_track = 0;
  uint32_t bytes_per_sector = 0;
  uint64_t disk_size = 0;  // bytes
};

// disk_size / bytes_per_sector, or 0xFFFFFFFF when that does not fit in 32 bits.
uint32_t TotalSectors(const DiskGeometry& geometry);

// True when the geometry can describe a partition: heads, sectors per track and a sector size of at
// least 512 bytes are known and the drive is larger than one track.
bool UsableGeometry(const DiskGeometry& geometry);

struct PartitionEntry {
  uint8_t status = 0;
  uint8_t type = 0;
  uint32_t first_lba = 0;
  uint32_t sector_count = 0;
};

// The four primary entries; false when the sector lacks the 0x55 0xAA signature.
bool ReadPartitionTable(const uint8_t* sector, std::array<PartitionEntry, 4>* entries);

// The index (0 to 3) of the one non-empty entry of a plain partition table; -1 when the table has
// no signature, no non-empty entry or more than one, or when the one entry is an extended
// container or a GPT protective entry (each stands for more partitions than the table shows).
int SinglePartitionIndex(const uint8_t* sector);

// The record written by the fallback path: the boot program, one active entry at `index` (0 to 3)
// starting at head 1, sector 1, cylinder 0 (LBA sectors_per_track) and running to the end of the
// drive, and the signature. Needs UsableGeometry(geometry).
std::array<uint8_t, kMbrSize> BuildMasterBootRecord(const DiskGeometry& geometry,
                                                    FileSystem file_system, int index);

}  // namespace quenvar::usbformat

#endif  // QUENVAR_USBFORMAT_MBR_H_
