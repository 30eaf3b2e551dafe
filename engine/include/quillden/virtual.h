/* Quillden engine: virtual drives (DRV_).
 *
 * A virtual drive is the engine's recorder in software, listed in the drive map as a "virtual:" entry
 * with the backing file that holds its medium: the disc's user data, block n at byte n * 2048, with
 * "<backing>.raw" (raw CD sectors) and "<backing>.state" (what the medium is) beside it. These exports
 * administer such a drive without opening it: put a blank or pressed medium in, open or close the
 * tray, set how long its long operations keep it busy, describe what it holds. A drive this process
 * has open sees a change at once; another process sees it at its next command.
 *
 * Paths and kind names are NUL-terminated UTF-16. On failure the reason, one line of English text, is
 * kept for the calling thread until its next virtual drive call (DRV_GetVirtualDriveError). Results:
 * 0; 0x08000011 a null or empty argument, an unknown media kind, a capacity out of range, a buffer
 * too small; 0x08000019 a job is recording on the drive, or the medium is locked in; 0x08000014 the
 * backing, state or image file cannot be used (missing, unreadable, damaged); 0x08000034 an image
 * that is not whole 2048-byte blocks or too large for the kind; 0x0800001F the state file cannot be
 * written. Thread-safe. Nothing throws. */
#ifndef QUILLDEN_VIRTUAL_H_
#define QUILLDEN_VIRTUAL_H_

#include "quillden/types.h"

/* The busy periods of a virtual drive, in milliseconds: while one runs, the drive answers NOT READY,
 * LONG WRITE IN PROGRESS with a progress indication, as a real drive does for immediate commands.
 * 0 makes the operation finish at once. */
typedef struct _VIRTUALTIMING {
  DWORD dwBlank;            /* BLANK (a minimal blank takes a third) */
  DWORD dwFormat;           /* FORMAT UNIT of DVD-RW (a quick format takes a quarter) */
  DWORD dwClose;            /* CLOSE TRACK/SESSION */
  DWORD dwFlush;            /* SYNCHRONIZE CACHE */
  DWORD dwBackgroundFormat; /* DVD+RW background formatting */
} _VIRTUALTIMING;

#ifdef __cplusplus
static_assert(sizeof(_VIRTUALTIMING) == 20, "_VIRTUALTIMING is five DWORDs");
#else
_Static_assert(sizeof(_VIRTUALTIMING) == 20, "_VIRTUALTIMING is five DWORDs");
#endif

QUILLDEN_BEGIN_DECLS

/* Puts a new blank medium of kind into the drive of backing (creating the drive when the file is
 * new), discarding the old medium's data: "cd-r", "cd-rw", "dvd-r", "dvd-rw", "dvd-rw-ro" (formatted
 * for restricted overwrite), "dvd+r", "dvd+rw", "dvd+r-dl", "dvd-r-dl", "dvd-r-dl-lj" (layer jump),
 * or "none" to empty the tray. capacity is in 2048-byte blocks; 0 takes the kind's standard size. */
QUILLDEN_API DWORD DRV_CreateVirtualMedium(const WCHAR* backing, const WCHAR* kind, DWORD capacity);

/* Puts pressed media made from the image file at image (2048-byte blocks, referenced, not copied)
 * into the drive: kind "cd-rom" or "dvd-rom", or null or "" to choose by size (a CD up to 90
 * minutes). */
QUILLDEN_API DWORD DRV_LoadVirtualImage(const WCHAR* backing, const WCHAR* image, const WCHAR* kind);

/* Opens (open TRUE) or closes the tray. Opening a drive whose medium is locked in needs force. */
QUILLDEN_API DWORD DRV_SetVirtualTray(const WCHAR* backing, BOOL open, BOOL force);

/* Sets the drive's busy periods; they stay with the drive when its medium changes. */
QUILLDEN_API DWORD DRV_SetVirtualTiming(const WCHAR* backing, const _VIRTUALTIMING* timing);

/* Copies a description of the drive and its medium, one "name: value" line each, with its
 * terminator into buffer (capacity in characters). *length (when not null) receives the length of
 * the text without the terminator, also when the capacity is too small (0x08000011, nothing
 * copied), so a caller can ask again with room enough. */
QUILLDEN_API DWORD DRV_DescribeVirtualDrive(const WCHAR* backing, WCHAR* buffer, DWORD capacity,
                                            DWORD* length);

/* Fault injection, for testing what a front end does when a drive refuses a command: the nth
 * command (1 = the next; 0 counts as 1) with operation code opcode that the drive receives from now
 * on answers CHECK CONDITION with sense key, asc and ascq instead of executing, and so do the repeat
 * - 1 after it (0 counts as 1). Faults and command counts belong to a drive while this process has
 * it open (DRV_OpenDrive) and are forgotten when its last handle closes; a drive not open here is
 * refused with 0x08000011. */
QUILLDEN_API DWORD DRV_InjectVirtualSense(const WCHAR* backing, BYTE opcode, DWORD nth, BYTE key,
                                          BYTE asc, BYTE ascq, DWORD repeat);
/* *count receives how many commands with operation code opcode the drive has executed or failed
 * since this process opened it (0 for a drive not open here). */
QUILLDEN_API DWORD DRV_GetVirtualCommandCount(const WCHAR* backing, BYTE opcode, DWORD* count);
/* Copies the reason the calling thread's last failed virtual drive call gave, with its terminator,
 * into buffer (cut to capacity). Returns its length without the terminator; 0 when the last call
 * succeeded or none was made. */
QUILLDEN_API DWORD DRV_GetVirtualDriveError(WCHAR* buffer, DWORD capacity);

QUILLDEN_END_DECLS

#endif /* QUILLDEN_VIRTUAL_H_ */
