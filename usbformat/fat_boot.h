// The BIOS boot path of FAT32 USB media: the master boot record's program in front of the
// partition table, and the boot program of the volume (fat_boot_sector.S) that loads a loader file
// from the root folder and starts it as firmware starts an El Torito no-emulation image.
//
// Both work on an open file descriptor: a disk, a partition, or an image file with the volume at
// an offset. Thread-compatible.
#ifndef QUENVAR_USBFORMAT_FAT_BOOT_H_
#define QUENVAR_USBFORMAT_FAT_BOOT_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "tarnfold/tarnfold.h"

namespace quenvar::usbformat {

// Where the volume boot program keeps the loader's 8.3 name (11 bytes, blank-padded) and where
// its code area begins and ends (the parameter block lies in front, the signature behind).
inline constexpr size_t kFatBootCodeStart = 0x5A;
inline constexpr size_t kFatLoaderNameOffset = 0x1F3;
inline constexpr size_t kFatBootCodeEnd = 0x1FE;
// The loader the volume boot program looks for when the formatter installs it.
inline constexpr char kFatBootLoader[] = TF_BIOS_LOADER_NAME;

// The assembled volume boot program, a whole sector; only its jump and code area are installed.
extern const uint8_t kFatBootSector[512];

// The 8.3 directory form of a name ("QVBOOT.BIN" -> "QVBOOT  BIN"); false when the name is no
// plain upper-case 8.3 name (one to eight characters, an extension of up to three).
bool ShortDirectoryName(std::string_view name, std::array<char, 11>* stored);

enum class FatBootResult {
  kInstalled,
  kBadLoaderName,  // not a plain 8.3 name
  kReadFailed,     // the boot sector or its backup cannot be read
  kNotFat32,       // the boot sector is not a FAT32 boot sector this program can read
  kBackupDiffers,  // the backup boot sector's parameter block is not the boot sector's
  kWriteFailed,    // a write or the flush failed
  kVerifyFailed,   // what was read back is not what was written
};
const char* FatBootResultText(FatBootResult result);

// Installs the volume boot program into the FAT32 boot sector at byte `offset` of fd and into its
// backup (the parameter block's backup sector), starting the loader `loader_name` (8.3). Only the
// jump and the code area (0x5A to 0x1FD) change: the parameter block, the volume label and the
// 0x55AA stay as the formatter wrote them. The sectors are read back after the flush. Nothing is
// written unless both sectors were checked first.
FatBootResult InstallFatBootProgram(int fd, uint64_t offset,
                                    std::string_view loader_name = kFatBootLoader);

// Writes the master boot record's program into the first 440 bytes of the disk behind fd, keeping
// its disk signature and partition table (a partitioner leaves that area empty), then flushes and
// reads it back. False when the sector has no 0x55AA signature or an I/O step fails.
bool WriteMasterBootCode(int fd);

}  // namespace quenvar::usbformat

#endif  // QUENVAR_USBFORMAT_FAT_BOOT_H_
