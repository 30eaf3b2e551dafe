/* Quillden engine: mastering a data disc (MST_): its settings and size, the write job that turns it
 * into ISO 9660 + Joliet (+ El Torito) blocks, and the boot image.
 *
 * Settings: the file system selection, the data mode of the track, the volume label and the file
 * version flag (";1" after file names) belong to the Datadisk (datadisk.h) and may change at any time
 * before a write job starts. MST_GetDatadiskSize tells beforehand how many bytes the disc will take,
 * with the same block arithmetic the write job uses.
 *
 * Write jobs: the job plans the whole layout in memory (block numbers of every structure and file),
 * builds the file system structures, then streams header, structures, boot image and file contents
 * (read from their sources) to the target. Given a progress object (progress.h) a job runs on a
 * worker thread and the call returns at once; without one it runs on the caller's thread. While a job
 * runs the caller must not touch the Datadisk: the job reads its tree and writes block positions into
 * its entries, which keep the positions of the last layout afterwards.
 *
 * Boot image: at most one El Torito boot image per disc, held in memory on the disc until the disc is
 * destroyed or the image deleted. It can be made visible in the tree as an ordinary file entry.
 *
 * Every failing call stores its code as the disc's last error (MST_GetLastError). Nothing throws. */
#ifndef QUILLDEN_MASTERING_H_
#define QUILLDEN_MASTERING_H_

#include "quillden/types.h"

/* File system selections of MST_SetFileSystem / MST_GetFileSystem. */
#define MST_FS_ISO9660_JOLIET 1u          /* ISO 9660 and Joliet */
#define MST_FS_UDF102 2u                  /* UDF 1.02 alone */
#define MST_FS_ISO9660_JOLIET_UDF102 3u   /* ISO 9660, Joliet and UDF 1.02 (bridge); the default */
#define MST_FS_UDF250 4u                  /* UDF 2.50 alone */
#define MST_FS_ISO9660_JOLIET_UDF250 5u   /* ISO 9660, Joliet and UDF 2.50 (bridge) */

/* Boot image emulation types. */
#define MST_BOOT_NO_EMULATION 0u
#define MST_BOOT_FLOPPY_1200K 1u /* the image must have 1228800 bytes */
#define MST_BOOT_FLOPPY_1440K 2u /* the image must have 1474560 bytes */
#define MST_BOOT_FLOPPY_2880K 3u /* the image must have 2949120 bytes */
#define MST_BOOT_HARD_DISK 4u

QUILLDEN_BEGIN_DECLS

/* ---- Settings ---- */

/* Selects the file systems (MST_FS_*). Returns 0; 0x08000011 for a value outside 1..5; 0x08000036
 * when an earlier session has been imported (the new session must match it); 0x08000010 invalid
 * disc. In every case with a valid disc, also on failure, the block positions and lengths of all
 * entries other than the boot image entry and imported entries are cleared. */
QUILLDEN_API DWORD MST_SetFileSystem(HANDLE disc, DWORD value);

/* The selection (1 to 5). 0 with last error 0x09000000 when the stored value is none of the five;
 * 0x08000010 for an invalid disc. */
QUILLDEN_API DWORD MST_GetFileSystem(HANDLE disc);

/* Sets the data mode of the track (1 or 2). Returns 0; 0x08000011 for another mode; 0x08000036
 * after an import; 0x08000010 invalid disc. */
QUILLDEN_API DWORD MST_SetDataMode(HANDLE disc, DWORD mode);

/* The data mode: 1 or 2; 0 for an invalid disc; 0 with last error 0x09000000 when the stored mode
 * is neither. */
QUILLDEN_API DWORD MST_GetDataMode(HANDLE disc);

/* Sets the volume label (NUL-terminated, at most 32 units). The label, converted to the system code
 * page, must consist of upper-case letters A-Z, digits, "_" and double-byte characters of the code
 * page; the empty label passes. Returns 0; 0x08000016 for more than 32 units; 0x08000011 for a null
 * label or one that fails the character test (lower case, space, ...); 0x08000010 invalid disc. */
QUILLDEN_API DWORD MST_SetVolumeLabel(HANDLE disc, const WCHAR* label);

/* Copies the label with its terminator into buffer, which must hold 33 units. Returns 0;
 * 0x08000011 null buffer; 0x08000010 invalid disc. */
QUILLDEN_API DWORD MST_GetVolumeLabel(HANDLE disc, WCHAR* buffer);

/* Stores the file version flag: non-zero (the default 1) records ISO 9660 and Joliet file names with
 * ";1". Returns 0; 0x08000010 invalid disc. */
QUILLDEN_API DWORD MST_SetFileVersionNumber(HANDLE disc, DWORD flag);

/* The bytes the disc will take: the session's blocks, with the run-out of CD media when drive is
 * null or INVALID_HANDLE_VALUE or holds a CD, rounded up to 16 blocks, times 2048. Assigns the ISO 9660
 * names, folder numbers and block positions of this layout to the entries. Returns
 * 0xFFFFFFFFFFFFFFFF on failure: last error 0x08000015 for an empty tree, 0x08000011 when the entry
 * list cannot be built, 0x08000036 for a UDF selection (not available yet); an invalid disc returns the
 * failure value without storing a code. */
QUILLDEN_API ULONGLONG MST_GetDatadiskSize(HANDLE disc, HANDLE drive);

/* ---- Write jobs ---- */

/* Writes the disc as one session to the media in drive (write_type 1, 2 or 3; close_mode as the
 * recorder takes it), after removing entries whose source no longer exists. With file_dates the ISO
 * 9660 and Joliet records carry each entry's last write time, otherwise the time of the job.
 * Returns 0 when the worker was started (progress object given) or the job ended well; else a code:
 * 0x08000010 invalid disc; 0x08000011 bad write type, or a file system selection that DVD-R dual
 * layer media (UDF 1.02 alone unless write_type is 3) or HD DVD-R dual layer media (UDF 2.50 alone
 * with write_type 1) cannot take; 0x08000015 empty tree; 0x08000019 progress
 * object busy; 0x08000022 invalid drive; 0x08000024 media closed or appendable without its imported
 * session; 0x08000023 not the drive or disc the imported session came from; 0x08000036 a new
 * session behind an imported one, or a session that would cross a layer jump (not available yet);
 * 0x08000012 a file of
 * 4 GiB or more with ISO 9660; 0x0800003D not enough free space; 0x08000013 a source vanished
 * (the entry is removed); 0x08000032 cancelled; recorder errors unchanged. */
QUILLDEN_API DWORD MST_WriteDatadisk(HANDLE drive, HANDLE disc, DWORD write_type, HANDLE progress,
                                     BOOL file_dates, DWORD close_mode);

/* As MST_WriteDatadisk, without the existence check. */
QUILLDEN_API DWORD MST_WriteDatadiskNoExistCheck(HANDLE drive, HANDLE disc, DWORD write_type,
                                                 HANDLE progress, BOOL file_dates, DWORD close_mode);

/* Writes the disc as a plain ISO image file at path (a local path, UTF-16), replacing an existing
 * file. The image is the session as it would be recorded (blocks from the session start), without
 * the run-out of CD media. With a progress object the job runs on a worker (phase 48, done and end
 * in blocks) and the call returns 0 at once; the result then arrives in the progress object.
 * Results: 0; 0x08000010 invalid disc or progress object; 0x08000044 bad character in the last
 * path component; 0x08000011 empty path; 0x08000015 empty tree; 0x08000019 progress object busy;
 * 0x08000012 a file of 4 GiB or more; 0x08000036 a selection with UDF (not available yet);
 * 0x08000014 the image file cannot be created; 0x0800001F a write fails (disk full); 0x08000013 a
 * source cannot be opened (its paths go to the error file name and target path, and the entry is
 * deleted from the tree); 0x08000020 a source cannot be read or became shorter; 0x08000032
 * cancelled; 0x08000018 out of memory; 0x0800001E no worker thread. The image file is removed when
 * the job fails after creating it. */
QUILLDEN_API DWORD MST_CreateISOImage(const WCHAR* path, HANDLE disc, HANDLE progress,
                                      BOOL file_dates);

/* ---- Boot image (El Torito) ---- */

/* Reads the boot image from a file. emulation is MST_BOOT_*; load_segment 0 means the default
 * 0x07C0; sector_count is the number of 512-byte sectors the firmware loads (no emulation).
 * Returns 0; 0x08000010 invalid disc; 0x0800001B a boot image is already set; 0x08000011 emulation
 * 5 or above, or null/empty path; 0x08000014 the file cannot be opened; 0x0800001A its size does
 * not fit the emulation (or is 0, or 4 GiB or more); 0x08000020 the read fails; 0x08000018 no
 * memory. On failure the disc has no boot image. */
QUILLDEN_API DWORD MST_ReadBootImageFile(HANDLE disc, const WCHAR* path, BYTE emulation,
                                         WORD load_segment, WORD sector_count);

/* Reads the boot image from drive number 1 (A:) to 26 (Z:) of the drive map (a floppy or fixed
 * disk device). The device's media decides the emulation: floppies of 1.2, 1.44 and 2.88 MB give
 * 1, 2, 3, fixed disks 4. With a progress object the read runs on a worker (phase 64, done and end
 * in sectors). Returns 0; 0x08000010; 0x0800001B; 0x08000011 drive number 0 or above 26;
 * 0x08000019 progress object busy; 0x0800001D the device cannot be opened or its geometry read;
 * 0x08000033 media that cannot be emulated (removable, optical, larger than 4 GiB); 0x08000020 fewer
 * bytes than the geometry promised; 0x08000032 cancelled; 0x08000018; 0x0800001E. */
QUILLDEN_API DWORD MST_ReadBootImageDrive(HANDLE disc, HANDLE progress, DWORD drive_number,
                                          WORD load_segment, WORD sector_count);

/* Writes the boot image to a file (replacing an existing one). Returns 0; 0x08000010 invalid disc;
 * 0x0800001A no boot image; 0x08000011 null path; 0x08000044 bad character in the last path
 * component; 0x08000014 the file cannot be created; 0x0800001F a write fails (the file is then
 * removed). Stores its result, 0 included, as the last error. */
QUILLDEN_API DWORD MST_CreateBootImageFile(HANDLE disc, const WCHAR* path);

/* Makes the boot image visible as a file entry at disc_path ("folder\name"; missing folders are
 * created). The entry's content is the boot image's blocks. Returns 0; 0x08000010; 0x0800001A no
 * boot image; 0x08000011 null or empty path; 0x08000044 bad character in the last component;
 * 0x08000021 the boot image already has an entry, the folder already holds that name, or a folder of
 * the path is a file; 0x08000046 the disc path would exceed 256 characters; 0x08000015 the entry
 * cannot be placed; 0x08000018. */
QUILLDEN_API DWORD MST_CreateBootImageFileEntry(HANDLE disc, const WCHAR* disc_path);

/* Removes the boot image and its entry, and the BIOS entry kept from an imported session (see
 * MST_ReadFileSystem). Returns 0 (also when there was none); 0x08000010. */
QUILLDEN_API DWORD MST_DeleteBootImage(HANDLE disc);

/* TRUE when the disc has a boot image; FALSE otherwise and for an invalid disc. */
QUILLDEN_API BOOL MST_IsBootImage(HANDLE disc);

/* TRUE when the boot image has an entry in the tree; FALSE otherwise and for an invalid disc. */
QUILLDEN_API BOOL MST_IsBootImageFile(HANDLE disc);

/* ---- EFI boot image (El Torito, platform 0xEF) ---- */

/* Reads the EFI boot image from a file: an EFI system partition image, i.e. a FAT file system
 * holding \EFI\BOOT\BOOTX64.EFI, booted without emulation by UEFI firmware. A disc may hold it
 * beside the boot image (MST_ReadBootImageFile) or alone. It follows the boot image on the disc
 * (or the catalog when there is none); the catalog then holds the boot image as its default entry
 * and the EFI image as the entry of a section for platform 0xEF (with the EFI image alone, the
 * default entry is the EFI image and the validation entry names platform 0xEF). The entry's sector
 * count is the image size in 512-byte units, rounded up. The image is no file of the tree. After
 * MST_ReadFileSystem of a session whose catalog has an EFI entry, that image is the disc's EFI
 * image and keeps its blocks on the disc. Returns 0; 0x08000010 invalid disc; 0x0800001B an EFI
 * image is already set; 0x08000011 null or empty path; 0x08000014 the file cannot be opened;
 * 0x0800001A the file is smaller than 512 bytes, larger than 65535 sectors of 512 bytes, or its
 * first sector does not end in 0x55 0xAA; 0x08000020 the read fails; 0x08000018 no memory. On
 * failure the disc has no EFI image (when it had none before). */
QUILLDEN_API DWORD MST_ReadEfiBootImageFile(HANDLE disc, const WCHAR* path);

/* Removes the EFI boot image. Returns 0 (also when there was none); 0x08000010. */
QUILLDEN_API DWORD MST_DeleteEfiBootImage(HANDLE disc);

/* TRUE when the disc has an EFI boot image; FALSE otherwise and for an invalid disc. */
QUILLDEN_API BOOL MST_IsEfiBootImage(HANDLE disc);

QUILLDEN_END_DECLS

#endif /* QUILLDEN_MASTERING_H_ */
