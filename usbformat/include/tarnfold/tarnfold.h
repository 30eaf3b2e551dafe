/* Tarnfold: formatting a USB drive as one active partition with FAT32 or NTFS.
 *
 * One export, Tarnfold. It repartitions the drive behind a drive letter of the drive map (see
 * platform/drive_map.h; only "usb:" entries qualify) with a single active primary partition (type
 * 0x0C for FAT32, 0x07 for NTFS) and formats it with the platform's tools (sfdisk, mkfs.vfat,
 * mkntfs). When that path fails it checks that the drive holds exactly one partition, writes the
 * master boot record itself and runs the formatter up to five times.
 *
 * Safety: a letter that is not a USB drive of the map, and a drive that holds a system mount (/,
 * /boot, /usr, ...), swap space or a stacked block device, is refused with TF_E_NOT_REMOVABLE
 * before anything is opened for writing. Mounts of the drive elsewhere are released first, found by
 * their device number or by the device they name (a FUSE driver's mount shows a number of its
 * own); a mount that cannot be released refuses the drive with TF_E_OPEN.
 *
 * Threads: calls are serialized inside the library; call it from a worker thread, as it blocks for
 * as long as the tools run. While the partitioning step runs, the calling thread keeps dispatching
 * its own message windows' pending messages (platform/message_window.h). Nothing is shown to the
 * user: the tools' own output is kept from the terminal, and only a failure leaves one line on
 * standard error. The drive map is read afresh at each call.
 * Running needs the rights to open the block device for writing (root, or the disk group). */
#ifndef TARNFOLD_TARNFOLD_H_
#define TARNFOLD_TARNFOLD_H_

#include "quillden/types.h"

#if defined(TARNFOLD_BUILDING)
#define TARNFOLD_API __attribute__((visibility("default")))
#else
#define TARNFOLD_API
#endif

/* Result codes of Tarnfold. The values are stable: callers show them in error reports. */
/* clang-format off */
#define TF_OK                 0x0000u /* the drive was formatted */
#define TF_E_INVALID_ARGUMENT 0x1001u /* bad letter, or file system not "FAT32"/"NTFS" */
#define TF_E_NOT_REMOVABLE    0x1002u /* not a USB drive of the map, or in use by the system */
#define TF_E_OPEN             0x1003u /* the drive cannot be opened (missing, busy, rights) */
#define TF_E_LAYOUT           0x1004u /* not exactly one plain non-empty partition */
#define TF_E_GEOMETRY         0x1005u /* size, sector size or geometry cannot be read */
#define TF_E_NO_DRIVE         0x1006u /* no drive is open for the boot record step */
#define TF_E_FILE_SYSTEM      0x1007u /* not FAT32 or NTFS (boot record step) */
#define TF_E_WRITE_MBR        0x1008u /* the master boot record could not be written */
#define TF_E_TOOL_START       0x1009u /* a tool not started or waited for, its script not
                                         written, or its partition never appeared */
#define TF_E_TOOL_FAILED      0x100Au /* a tool ended with a non-zero exit code or a signal */
#define TF_E_PARTITION_INDEX  0x100Cu /* the volume's partition index is above 3 */
#define TF_E_COMMAND_LINE     0x100Du /* a command line does not fit; never returned here, as
                                         arguments reach the tools as they are */
/* clang-format on */

/* A FAT32 drive starts through the BIOS (a PC's legacy boot) from the file of this name in the
 * root folder of its volume: Tarnfold gives the drive a master boot record program and the
 * volume a boot program that loads the file (at most 64 KiB) to 0000:7C00 and starts it there
 * with DL = the drive, as firmware starts an El Torito no-emulation boot image. Without the file
 * the drive says "Not a bootable medium: no loader" and halts. */
#define TF_BIOS_LOADER_NAME "QVBOOT.BIN"
/* The largest loader, in bytes, that the volume boot program loads whole. */
#define TF_BIOS_LOADER_MAX_SIZE 65535

QUILLDEN_BEGIN_DECLS

/* Formats the USB drive of drive letter `letter` (the low 16 bits: a UTF-16 'A'..'Z' or 'a'..'z';
 * the upper bits are ignored) with file system `file_system` ("FAT32" or "NTFS", compared without
 * regard to case) and the volume label `label` (NUL-terminated UTF-16, or null for none).
 *
 * The label is cut to 12 UTF-16 units without splitting a surrogate pair. FAT32 stores it in the
 * OEM code page that goes with the system code page (850 for the Western ones, the East Asian
 * code pages as they are): a character that code page lacks, or that FAT forbids in labels,
 * becomes "_", and it keeps what fits in 11 bytes. This is settled before the drive is touched,
 * so a label never fails a format. NTFS keeps the label in Unicode and records the partition's
 * start and the drive's geometry in its boot sector. The formatted partition is not mounted.
 *
 * Returns TF_OK when the drive was formatted; TF_E_INVALID_ARGUMENT for a bad letter or file system
 * name (also a null one); TF_E_NOT_REMOVABLE when the letter is not a "usb:" entry of the drive map
 * or the drive is in use by the system (the drive is not touched); otherwise the result of the
 * fallback path: TF_E_OPEN, TF_E_LAYOUT (two or more partitions, none, or an extended or GPT
 * table), TF_E_GEOMETRY (also when an NTFS partition's place on the drive cannot be read),
 * TF_E_WRITE_MBR, TF_E_TOOL_START or TF_E_TOOL_FAILED (the last formatter
 * attempt's result). With a platform version of 5.1 to 5.x (QUENVAR_PLATFORM_VERSION), the outside
 * formatter "formatufd" (beside the program, else along PATH; arguments "X:" and "/Y") runs
 * instead: TF_E_TOOL_START when it cannot be started, TF_E_TOOL_FAILED when it fails. Running out
 * of memory gives TF_E_TOOL_START. */
TARNFOLD_API DWORD Tarnfold(DWORD letter, const WCHAR* file_system, const WCHAR* label);

QUILLDEN_END_DECLS

#endif /* TARNFOLD_TARNFOLD_H_ */
