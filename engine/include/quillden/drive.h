/* Quillden engine: drives and media (DRV_).
 *
 * A drive handle stands for one drive letter of the machine's drive map and carries every MMC command
 * the engine sends to that drive; the engine builds the commands itself and sends them through the
 * drive's transport (a real drive's SCSI generic node, or a virtual recorder). These exports open and
 * close drives, identify them, describe the media inside (kind, blank/appendable/closed, next writable
 * address, room left, tracks), erase, eject and lock media, and keep the last failed command for the
 * caller's error reports.
 *
 * Thread-safety: one thread at a time per drive handle; different handles may be used from different
 * threads. The last command error record is one process-wide record: the last failing command of any
 * thread wins. Ownership: whoever opens a drive closes it with DRV_CloseDrive. Records are filled into
 * caller memory; nothing here hands out memory the caller must free. Nothing throws. */
#ifndef QUILLDEN_DRIVE_H_
#define QUILLDEN_DRIVE_H_

#include "quillden/types.h"

/* Media flags: one bit per kind of media. The MMC profile of each kind is given beside it. */
#define MEDIA_CDROM 0x00000001u      /* profile 0x08 */
#define MEDIA_CDR 0x00000002u        /* profile 0x09 */
#define MEDIA_CDRW 0x00000004u       /* profile 0x0A */
#define MEDIA_DVDROM 0x00000008u     /* profile 0x10 */
#define MEDIA_DVDR 0x00000010u       /* profile 0x11, sequential recording */
#define MEDIA_DVDRAM 0x00000020u     /* profile 0x12 */
#define MEDIA_DVDRW_RO 0x00000040u   /* profile 0x13, restricted overwrite */
#define MEDIA_DVDRW_SEQ 0x00000080u  /* profile 0x14, sequential recording */
#define MEDIA_DVDPRW 0x00000100u     /* profile 0x1A, DVD+RW */
#define MEDIA_DVDPR 0x00000200u      /* profile 0x1B, DVD+R */
#define MEDIA_DDCDROM 0x00000400u    /* profile 0x20 */
#define MEDIA_DDCDR 0x00000800u      /* profile 0x21 */
#define MEDIA_DDCDRW 0x00001000u     /* profile 0x22 */
#define MEDIA_DVDPR_DL 0x00002000u   /* profile 0x2B, DVD+R dual layer */
#define MEDIA_DVDR_DL 0x00004000u    /* profile 0x15, DVD-R dual layer sequential */
#define MEDIA_DVDR_DL_LJ 0x00008000u /* profile 0x16, DVD-R dual layer jump */
#define MEDIA_HDDVDROM 0x00010000u   /* profile 0x50 */
#define MEDIA_HDDVDR 0x00020000u     /* profile 0x51 */
#define MEDIA_HDDVDRAM 0x00040000u   /* profile 0x52 */
#define MEDIA_HDDVDR_DL 0x00080000u  /* profile 0x58 */
#define MEDIA_HDDVDRW 0x00100000u    /* profile 0x53 */
#define MEDIA_HDDVDRW_DL 0x00200000u /* profile 0x5A */
#define MEDIA_BDR 0x00400000u        /* profiles 0x41, 0x42 */
#define MEDIA_BDRE 0x00800000u       /* profile 0x43 */

/* _MEDIAINFORMATION.dwStatus values. */
#define MEDIA_STATUS_CLOSED 0u     /* closed, or not writable */
#define MEDIA_STATUS_BLANK 1u      /* blank */
#define MEDIA_STATUS_APPENDABLE 2u /* holds data and has room for more */

/* Book type flags (_MEDIAINFORMATION.dwBookType). */
#define BOOK_DVDROM 0x0001u
#define BOOK_DVDRAM 0x0002u
#define BOOK_DVDR 0x0004u
#define BOOK_DVDRW 0x0008u
#define BOOK_DVDPRW 0x0010u
#define BOOK_DVDPR 0x0020u
#define BOOK_DVDPR_DL 0x0040u
#define BOOK_HDDVDROM 0x0080u
#define BOOK_HDDVDR 0x0100u
#define BOOK_HDDVDRAM 0x0200u
#define BOOK_HDDVDRW 0x0400u

/* The last command that a drive rejected: its command block and the first 18 bytes of its sense
 * data. The name keeps its historical spelling; callers compile against it. */
typedef struct _COMMANDERRORINFOMATION {
  BYTE Cdb[16];       /* the command block of the failed command */
  BYTE CdbLength;     /* 6, 10 or 12 */
  BYTE SenseData[18]; /* fixed-format sense data: key in byte 2, ASC in 12, ASCQ in 13 */
  BYTE SenseLength;   /* sense bytes the drive delivered, at most 18 */
} _COMMANDERRORINFOMATION;

/* Identification of a drive (from INQUIRY). Strings are NUL-terminated UTF-16 with the drive's
 * trailing blanks kept. */
typedef struct _DEVICEINFO {
  WORD wDeviceType;          /* peripheral device type: 5 for an optical drive */
  WCHAR szVendor[9];         /* vendor identification */
  WCHAR szProduct[17];       /* product identification */
  WCHAR szRevision[5];       /* product revision */
} _DEVICEINFO;

/* What a drive can do. The speed arrays belong to the caller: set the pointer (or null) and the
 * capacity before the call; the call sets the counts to the number of distinct speeds found, which
 * may be more than the capacity (only the capacity's worth, fastest first, is copied). */
typedef struct _DEVICESPECIFICATIONS {
  DWORD dwCurrentMedia;    /* media flag of the media in the drive, 0 for none */
  DWORD dwReadableMedia;   /* media flags the drive can read */
  DWORD dwWritableMedia;   /* media flags the drive can write */
  DWORD* pReadSpeeds;      /* caller's array of read speeds in kB/s, or null */
  DWORD dwReadSpeeds;      /* in: capacity of pReadSpeeds; out: distinct read speeds */
  DWORD* pWriteSpeeds;     /* caller's array of write speeds in kB/s, or null */
  DWORD dwWriteSpeeds;     /* in: capacity of pWriteSpeeds; out: distinct write speeds */
} _DEVICESPECIFICATIONS;

/* The media in a drive. Addresses and sizes are in 2048-byte logical blocks. */
typedef struct _MEDIAINFORMATION {
  DWORD dwMedia;       /* media flag */
  DWORD dwStatus;      /* MEDIA_STATUS_* */
  DWORD dwErasable;    /* 1 when the disc can be erased */
  DWORD dwNextWritable;/* where the next data goes when writable, else 0 */
  DWORD dwUsed;        /* end of the recorded area */
  DWORD dwFree;        /* free blocks of the last (open) track */
  DWORD dwCapacity;    /* total user blocks */
  DWORD dwDataMode;    /* CD: 1 data mode 1, 2 CD-ROM XA mode 2, 3 holds audio; others 1 */
  DWORD dwProtection;  /* copy protection system type; 65535 when the drive does not report it */
  DWORD dwBookType;    /* BOOK_* flag (DVD and HD DVD) */
  DWORD dwMiddleArea;  /* DVD+R dual layer with data: 2 or 4, else 0 */
} _MEDIAINFORMATION;

/* The table of contents. The caller passes the size of its record; only the addresses that fit are
 * filled. dwAddress holds one start address per track, then the lead-out start. */
typedef struct _TOCINFORMATION {
  WORD wLength;        /* TOC data length as the drive reported it */
  BYTE bFirstTrack;
  BYTE bLastTrack;
  DWORD dwAddress[100];
} _TOCINFORMATION;

/* One track. */
typedef struct _TRACKINFORMATION {
  DWORD dwStart;           /* first block */
  DWORD dwSize;            /* size in blocks */
  DWORD dwMode;            /* 1 data mode 1, 2 data mode 2 (CD-ROM XA), 3 audio */
  WORD wTrack;             /* track number */
  WORD wSession;           /* session number */
  BYTE bLayerJumpStatus;   /* DVD-R dual layer jump: layer jump recording status, else 0 */
  DWORD dwLastLayerJump;   /* DVD-R dual layer jump: last layer jump address */
  DWORD dwJumpInterval;    /* DVD-R dual layer jump: jump interval */
  DWORD dwReportedSize;    /* DVD-R dual layer jump: track size as the drive reported it */
} _TRACKINFORMATION;

/* The file systems found in one session of a disc. */
typedef struct _FILESYSTEMINFORMATION {
  WCHAR szVolumeLabel[33]; /* volume label, NUL-terminated */
  DWORD dwFileSystems;     /* FILESYSTEM_* bits */
} _FILESYSTEMINFORMATION;

#define FILESYSTEM_ISO9660 0x1u /* ISO 9660 or Joliet */
#define FILESYSTEM_UDF 0x2u     /* UDF below revision 2.50 */
#define FILESYSTEM_UDF250 0x4u  /* UDF 2.50 */

#ifdef __cplusplus
#define QUILLDEN_DRIVE_ASSERT_ static_assert
#else
#define QUILLDEN_DRIVE_ASSERT_ _Static_assert
#endif
QUILLDEN_DRIVE_ASSERT_(sizeof(_COMMANDERRORINFOMATION) == 36, "_COMMANDERRORINFOMATION is 36 bytes");
QUILLDEN_DRIVE_ASSERT_(sizeof(_DEVICEINFO) == 64, "_DEVICEINFO is 64 bytes");
QUILLDEN_DRIVE_ASSERT_(sizeof(_DEVICESPECIFICATIONS) == (sizeof(void*) == 8 ? 48 : 28),
                       "_DEVICESPECIFICATIONS keeps its seven fields in order");
QUILLDEN_DRIVE_ASSERT_(sizeof(_MEDIAINFORMATION) == 44, "_MEDIAINFORMATION is 44 bytes");
QUILLDEN_DRIVE_ASSERT_(sizeof(_TOCINFORMATION) == 404, "_TOCINFORMATION is 404 bytes");
QUILLDEN_DRIVE_ASSERT_(sizeof(_TRACKINFORMATION) == 32, "_TRACKINFORMATION is 32 bytes");
QUILLDEN_DRIVE_ASSERT_(sizeof(_FILESYSTEMINFORMATION) == 72, "_FILESYSTEMINFORMATION is 72 bytes");
#undef QUILLDEN_DRIVE_ASSERT_

QUILLDEN_BEGIN_DECLS

/* ---- Engine set-up ---------------------------------------------------------------------------- */

/* Makes sure the engine's command filter is listed first (or, unless the LowestSet setting asks for
 * first place, anywhere) in the lower filter list of every present optical device, rewriting lists and
 * restarting devices where needed. Returns 0 when every device passes or was fixed; 0x08000027 when a
 * device needs a restart of the machine; when a list cannot be written for lack of rights, the result
 * of asking the outside service (0, 0x08000048 no service, 0x09000000 the service failed);
 * 0x08000028 for any other failure. */
QUILLDEN_API DWORD DRV_Initialize(void);

/* Removes the filter from the lower filter list of every optical device, present or not. Returns 0,
 * or 0x08000029 when any device (or the device list) failed. Restarts nothing. */
QUILLDEN_API DWORD DRV_Uninstall(void);

/* Copies the last command error record into *info when info is not null. Always returns the packed
 * code (operation code << 24) | (sense key << 16) | (ASC << 8) | ASCQ of that record; 0 before any
 * command has failed. Failures of READ TRACK INFORMATION and READ TOC/PMA/ATIP with sense 5/24/00
 * (probing a track or session that does not exist) never replace the record. */
QUILLDEN_API DWORD DRV_GetLastCommandError(_COMMANDERRORINFOMATION* info);

/* Switches the filter's anti-DLA mode. Returns 0 when the request succeeded or the control device is
 * absent, 0x09000000 when the request failed. */
QUILLDEN_API DWORD DRV_SetAntiDLA(BOOL on);

/* ---- Drives ----------------------------------------------------------------------------------- */

/* Opens drive number 1 (A:) to 26 (Z:) of the drive map. Returns the drive handle, or null for a
 * number out of range (nothing is touched), a letter the map does not list, or a device that cannot
 * be opened even with the outside service's help. */
QUILLDEN_API HANDLE DRV_OpenDrive(DWORD driveNumber);

/* Unlocks the media (stopping any lock monitor), closes the handle and, when the drive was left
 * marked as recording, ends that mark. Returns 0, 0x08000010 for a bad handle, 0x08000025 when
 * closing failed. The handle is invalid afterwards in every case but 0x08000010. */
QUILLDEN_API DWORD DRV_CloseDrive(HANDLE drive);

/* Returns the drive number (1 to 26) of an open drive, 0 when none is known or the handle is bad. */
QUILLDEN_API DWORD DRV_GetDriveNumber(HANDLE drive);

/* Fills *info from INQUIRY. Returns 0, 0x08000010 bad handle, 0x08000011 null record, or the INQUIRY
 * result (0x08000026 rejected, 0x08000049 transport failure); the record changes only on success. */
QUILLDEN_API DWORD DRV_GetDeviceInfo(HANDLE drive, _DEVICEINFO* info);

/* Fills *spec: current media, readable and writable media, and the drive's read and write speeds
 * (fastest first, duplicates removed; see _DEVICESPECIFICATIONS). Returns 0, 0x08000010 bad handle,
 * 0x08000011 null record, or the result of the configuration request that failed (the capability bits
 * of the mode page are filled even then). */
QUILLDEN_API DWORD DRV_GetDeviceSpecifications(HANDLE drive, _DEVICESPECIFICATIONS* spec);

/* Fills *info with the media in the drive, waiting up to 180 s for the drive to become ready.
 * Returns 0, 0x08000010 bad handle, 0x08000011 null record, 0x08000023 not ready, 0x08000049 transport
 * failure, 0x08000033 media kind not handled, 0x08000026 the drive refused a needed command or gave
 * unusable answers, 0x08000018 out of memory. */
QUILLDEN_API DWORD DRV_GetMediaInformation(HANDLE drive, _MEDIAINFORMATION* info);

/* Reads the table of contents into *toc, of which the caller owns size bytes (0 reads only what the
 * header needs). Returns 0, 0x08000010 bad handle, 0x08000011 null record or size 1 to 3, 0x08000026
 * when the drive refused or answered with an unusable table. */
QUILLDEN_API DWORD DRV_GetTOCInformation(HANDLE drive, _TOCINFORMATION* toc, WORD size);

/* Fills *info for track number track (exact: measure the gap before a following track of the same
 * session on CD). Returns the number of the last track of the last session, or 0 when the information
 * cannot be had or the track does not exist. Track 0 or a null record only returns that number. */
QUILLDEN_API WORD DRV_GetTrackInformation(HANDLE drive, WORD track, _TRACKINFORMATION* info, BOOL exact);

/* Returns the number of the last track that is not blank; 0 when there is none or a command fails. */
QUILLDEN_API WORD DRV_GetLastTrack(HANDLE drive);

/* Returns the number of recording layers (1 or 2); 0 when the command fails. */
QUILLDEN_API BYTE DRV_GetLayerNumber(HANDLE drive);

/* ---- Erase, eject, lock, flush ---------------------------------------------------------------- */

/* Erases rewritable media (CD-RW, DVD-RW, DVD+RW, HD DVD-RW): minimally when quick, else the whole
 * disc. With a progress object starts a worker and returns 0 at once; without one runs to the end.
 * Returns 0x08000010 bad handle, 0x08000019 progress object busy, 0x0800003E media that cannot be
 * erased, 0x08000032 cancelled, or the failing command's result. */
QUILLDEN_API DWORD DRV_EraseMedia(HANDLE drive, HANDLE progress, BOOL quick);

/* Opens the tray (eject TRUE) or loads it (FALSE). Returns the START STOP UNIT result, 0x08000010
 * for a bad handle. */
QUILLDEN_API DWORD DRV_EjectMedia(HANDLE drive, BOOL eject);

/* Prevents (lock TRUE) or allows media removal. While locked, a press of the drive's eject button is
 * posted to window as (message, 32, 0). Returns 0, 0x08000010 bad handle, 0x08000018, 0x0800001E,
 * or the PREVENT ALLOW MEDIUM REMOVAL result. */
QUILLDEN_API DWORD DRV_LockMedia(HWND window, HANDLE drive, BOOL lock, UINT message);

/* Makes the system forget what it knew of the disc's file system after writing. Returns 0, or
 * 0x08000010 for a bad handle. */
QUILLDEN_API DWORD DRV_FlushDrive(HANDLE drive);

/* ---- Reading discs ---------------------------------------------------------------------------- */

/* Recognizes the file systems of session number session and reads its volume label. Returns 0,
 * 0x08000010 bad handle, 0x08000011 the session's start cannot be found, 0x08000018 out of memory,
 * 0x08000038 no file system recognized or its UDF structures cannot be read. */
QUILLDEN_API DWORD DRV_GetFileSystemInformation(HANDLE drive, WORD session, _FILESYSTEMINFORMATION* info);

/* Copies track number track into the file at path (UTF-16): a WAVE file for audio tracks, the raw or
 * user data of data tracks. With a progress object starts a worker and returns 0 at once. Returns
 * 0x08000010 bad handle, 0x08000019 busy progress object, 0x08000026 no such track, 0x08000033 a
 * layer jump track, 0x08000014 the file cannot be created, 0x08000032 cancelled, or a read failure. */
QUILLDEN_API DWORD DRV_RippingTrack(HANDLE drive, WORD track, HANDLE progress, const WCHAR* path);

QUILLDEN_END_DECLS

#endif /* QUILLDEN_DRIVE_H_ */
