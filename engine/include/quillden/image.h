/* Quillden engine: disc images (CPY_).
 *
 * A disc image file (extension ".wvm") holds the complete user data of an optical disc, track by
 * track, with what is needed to record it again: the media type it came from, the track layout,
 * how the disc was closed, and optionally the CD-Text of an audio CD and a volume header for
 * overwritable media. These exports open such files and describe them, record them (and plain
 * sector images, ".iso") onto blank media, copy discs from drive to drive, create image files from
 * discs, and compare discs with images, files and other discs.
 *
 * The file: a 32-byte signature block ("VARNOLD DISCIMAGE", six spaces, 0x1A, eight zero bytes),
 * a 32-byte HEADER block (track count, MMC profile, flags, payload offset, total size), optional
 * CDTEXT and ROW blocks, the 61-byte TRACK entries and then CD-Text packs, ROW data and track data;
 * little-endian throughout. Multi-track images (flag bit 31 clear, made by CPY_CreateDiskImage)
 * carry two track lists: the first describes the data in the file, the second the exact
 * measurement of the same tracks. Single data track images (bit 31 set, made by
 * MST_CreateDiskImage) carry one entry and the data stream.
 *
 * Ownership: whoever opens an image closes it with CPY_CloseDiskImage. Nothing here hands out
 * memory the caller must free. Long operations (recording, creating, comparing) take an optional
 * progress object: with one they start a worker and return at once, without one they run on the
 * caller's thread; a progress object whose status is 1 (running) is refused with 0x08000019.
 *
 * Thread-safety: an image handle may be read (accessors) while a job of the engine uses it; it
 * must not be closed while the caller still passes it to other calls. A job started with an image
 * keeps its own reference, so closing the handle meanwhile does not disturb the job. Handles are
 * checked at every call: null, INVALID_HANDLE_VALUE and values that are not open images are
 * refused (accessors return 0 or FALSE, other calls 0x08000010). Nothing throws. */
#ifndef QUILLDEN_IMAGE_H_
#define QUILLDEN_IMAGE_H_

#include "quillden/drive.h"
#include "quillden/types.h"

/* Header flag bits of a disc image file. */
#define CPY_IMAGE_APPENDABLE 0x00000001u        /* source was appendable; copies are left open */
#define CPY_IMAGE_INCOMPLETE_SESSION 0x00000002u /* the last session of the source was open */
#define CPY_IMAGE_CDTEXT 0x00000010u            /* CD-Text present */
#define CPY_IMAGE_MIDDLE_AREA_2 0x00000100u     /* DVD+R dual layer: close with method 2 */
#define CPY_IMAGE_MIDDLE_AREA_4 0x00000200u     /* DVD+R dual layer: close with method 4 */
#define CPY_IMAGE_MIDDLE_AREA_EXPANSION 0x00000400u /* HD DVD dual layer middle area expansion */
#define CPY_IMAGE_ROW 0x00010000u               /* volume header for overwritable media present */
#define CPY_IMAGE_SINGLE_DATA_TRACK 0x80000000u /* one data track, written by a data disc job */

QUILLDEN_BEGIN_DECLS

/* ---- Disc image files ------------------------------------------------------------------------ */

/* Opens a disc image file for reading (shared with other readers) and reads its description.
 * Returns the image handle, or null when: the file name (the text after the last "/") holds one of
 * \ / : * ? " < > |; the file cannot be opened; its first 32 bytes are not the signature block; the
 * HEADER block cannot be read or is not tagged "HEADER  "; the total size recorded in the HEADER
 * differs from the file's size (a truncated or extended copy); a CDTEXT or ROW block announced by
 * the flags is missing or wrongly tagged; an entry of the first track list is not tagged
 * "TRACK   " or names a sector size other than 2048 or 2352; a single data track image (flag
 * 0x80000000) names more than one track; or a track list, the CD-Text, the ROW
 * data or a track's data would lie beyond the end of the file. A refused file is never half
 * opened. */
QUILLDEN_API HANDLE CPY_OpenDiskImage(const WCHAR* path);

/* Closes the file of an open image and frees its description. Returns 0; 0x08000010 for a bad
 * handle; 0x08000039 when closing the file failed; 0x08000017 when releasing the description
 * failed. The handle is invalid afterwards in every case but 0x08000010. */
QUILLDEN_API DWORD CPY_CloseDiskImage(HANDLE image);

/* Returns the media flag (MEDIA_* of drive.h) of the profile recorded in the image; 0 for a bad
 * handle or a profile without a media flag. */
QUILLDEN_API DWORD CPY_GetMediaDiskImage(HANDLE image);

/* Returns TRUE when the source disc was appendable (copies are left open); FALSE otherwise and for
 * a bad handle. */
QUILLDEN_API BOOL CPY_IsAppendDiskImage(HANDLE image);

/* Returns TRUE when the image carries CD-Text; FALSE otherwise and for a bad handle. */
QUILLDEN_API BOOL CPY_IsCdTextDiskImage(HANDLE image);

/* Returns how a recording of the image closes a DVD+R dual layer disc: 2 when the image asks for
 * method 2 (this wins when both are set), else 4 when it asks for method 4, else 0 (also for a bad
 * handle). */
QUILLDEN_API DWORD CPY_CloseMethodDiskImage(HANDLE image);

/* Returns TRUE when the source (an HD DVD dual layer disc) reported middle area expansion; FALSE
 * otherwise and for a bad handle. */
QUILLDEN_API BOOL CPY_IsMiddleAreaExpansionDiskImage(HANDLE image);

/* Returns the number of tracks of the image (0 for a bad handle). When info is not null and track
 * is 1 to that number, fills dwStart, dwSize, dwMode, wTrack and wSession of *info from the
 * track's entry in the measurement list (the second list), and sets the other fields to 0. For a
 * single data track image, which has no measurement list, the one entry that describes the data
 * is reported. Track 0, a track beyond the count or a null info only return the count and leave
 * *info untouched. */
QUILLDEN_API WORD CPY_GetTrackInformation(HANDLE image, WORD track, _TRACKINFORMATION* info);

/* ---- Data discs into disc image files -------------------------------------------------------- */
/* (An MST_ export: it writes a data disc of datadisk.h; declared here beside the file it makes.) */

/* Writes the data disc as a single data track image at path (a local path, UTF-16), replacing an
 * existing file: the signature and HEADER blocks (flag 0x80000000, profile 0), one TRACK entry
 * (start 0, the session's blocks, 2048 bytes per sector, the disc's data mode, track 1, session 1)
 * and the session's blocks exactly as MST_CreateISOImage writes them. With a progress object the
 * job runs on a worker (phase 48, done and end in blocks) and the call returns 0 at once. Results:
 * 0; 0x08000010 invalid disc or progress object; 0x08000011 empty path; 0x08000044 bad character in
 * the last path component; 0x08000015 empty tree; 0x08000019 progress object busy; 0x08000036 a
 * disc with an imported session (not written into disc images yet), or a file system selection
 * the write job cannot produce; 0x08000012 a file of 4 GiB or more with ISO 9660; 0x08000014 the
 * file cannot be created; 0x0800001F a write fails; 0x08000013 a source cannot be opened (the entry
 * is removed from the tree); 0x08000020 a source cannot be read; 0x08000032 cancelled; 0x08000018
 * out of memory; 0x0800001E no worker thread. A failed job removes its file. */
QUILLDEN_API DWORD MST_CreateDiskImage(const WCHAR* path, HANDLE disc, HANDLE progress, BOOL file_dates);

/* ---- Recording ------------------------------------------------------------------------------- */

/* Write modes of the recording exports: 1 leave the disc open, 2 close the disc, 3 disc at once.
 * Any other value gives 0x08000011. */

/* Records an open disc image onto the media in drive. finalizeKind is handed to the recorder
 * (callers pass 4).
 * A single data track image is recorded as one track at the media's next writable address, which
 * must be the start its entry records; on overwritable media its volume header (ROW data) is then
 * written at block 0. Other images are copied track by track and session by session onto blank
 * media: tracks and a last session the source left open stay open; CD copies recorded at once
 * reproduce the gaps between tracks and carry the image's CD-Text in the lead-in.
 * Returns 0 when the job ended well or (with a progress object) its worker was started, else:
 * 0x08000010 bad drive, image or progress object;
 * 0x08000011 write mode other than 1 to 3; for a single data track image also write mode 3 on
 *   media that already hold data, and DVD-R dual layer sequential media without write mode 3 or
 *   with data on them;
 * 0x08000019 busy progress object;
 * 0x08000024 single data track image onto closed media;
 * 0x08000033 media that cannot take this image: an image without tracks; single data track image:
 *   DVD-R dual layer jump media, mode 2 data onto media other than CD, a next writable address
 *   other than the track's recorded start; track copy: copyable status 0 for this media and write
 *   mode (CPY_GetCopyableStatusFileToDrive), a profile no copy method records, more than 99 tracks
 *   onto CD, an audio or mode 2 track onto media other than CD;
 * 0x08000034 a damaged image: ROW data whose sector count does not fit its block, a track whose
 *   mode and sector size do not belong together (mode 1 needs 2048 bytes, audio 2352; an audio
 *   track in a single data track image), or a track list with overlapping tracks, tracks out of
 *   order or past block 0xFFFFFFFF, or sessions out of order;
 * 0x08000036 track copy onto media that is not blank (data on it, or closed), or onto DVD-RW in
 *   restricted overwrite mode;
 * 0x0800003D not enough free blocks (for a CD recorded at once, the gaps between tracks count;
 *   overwritable media, which take each track at its recorded start, must reach the last end);
 * 0x0800003F a DVD-R source whose track cannot be opened on this DVD-RW sequential media;
 * 0x08000020 reading the image file failed (CD-Text, ROW data or track data);
 * 0x08000032 cancelled; 0x08000018 out of memory; 0x0800001E no worker thread;
 * 0x0800003C the recorded media do not hold the image's sessions and tracks as intended;
 * or the result of the failing drive command. Every check before the worker starts leaves the
 * media untouched. */
QUILLDEN_API DWORD CPY_WriteDiskImage(HANDLE drive, HANDLE image, DWORD writeMode, HANDLE progress,
                                      DWORD finalizeKind);

/* Records the plain sector image file at path onto the media in drive as one track at its next
 * writable address. dataMode 1: the file holds 2048-byte sectors; 2: 2352-byte raw sectors,
 * recorded as CD mode 2 with their subheaders. Returns 0 (job ended well, or worker started);
 * 0x08000010 bad drive or progress object; 0x08000011 bad write or data mode, a null or empty
 * path, write mode 3 on media that already hold data, or DVD-R dual layer sequential media
 * without write mode 3; 0x08000019 busy progress object; 0x08000033 closed media, DVD-R dual
 * layer jump media, or dataMode 2 on media other than CD; 0x08000044 bad character in the file
 * name; 0x08000014 the file cannot be opened; 0x08000034 an empty file, or one that is not a whole
 * number of sectors; 0x0800003D more sectors than free blocks; 0x08000020 a read failed;
 * 0x0800003C the media do not hold the one new closed track afterwards; 0x08000032 cancelled;
 * 0x08000018 out of memory; 0x0800001E no worker thread; or the drive's result. */
QUILLDEN_API DWORD CPY_WriteISOImage(HANDLE drive, DWORD writeMode, DWORD dataMode, const WCHAR* path,
                                     HANDLE progress);

/* Copies the disc in sourceDrive onto the blank media in targetDrive, track by track, reading the
 * source as the copy goes; the source is described as CPY_CreateDiskImage would store it. Returns
 * 0 (job ended well, or worker started); 0x08000010 bad drive of either side or bad progress
 * object; 0x08000011 write mode other than 1 to 3; 0x08000019 busy progress object; 0x08000043 a
 * blank source; 0x08000033 source media the engine does not know, a source without a readable
 * track, or a target that cannot take the source (as CPY_WriteDiskImage); 0x08000036 a target that
 * is not blank or is DVD-RW in restricted overwrite mode; 0x0800003D not enough free blocks;
 * 0x0800003F a DVD-R source this DVD-RW sequential target cannot copy; 0x0800003C the target
 * does not hold the source's sessions and tracks afterwards; 0x08000032 cancelled;
 * 0x08000018 out of memory; 0x0800001E no worker thread; or the result of the failing drive
 * command of either drive. */
QUILLDEN_API DWORD CPY_WriteDrive(HANDLE targetDrive, HANDLE sourceDrive, DWORD writeMode,
                                  HANDLE progress, DWORD finalizeKind);

/* Creates a multi-track disc image file at path (a local path, UTF-16) from the disc in drive
 * (phase 80 of the progress object, done and end in sectors). The disc is described first; only
 * then is the file created, replacing one that exists, so a disc that cannot be read into an
 * image leaves an existing file alone. A job that fails removes its unfinished file. Returns 0
 * (job ended well, or worker started); 0x08000010 bad drive or progress object; 0x08000019 busy
 * progress object; 0x08000011 a null or empty path; 0x08000043 the disc is blank; 0x08000033
 * unknown media, a disc without a readable track, or one whose description does not fit the file
 * format; 0x08000014 the file cannot be created; 0x0800001F a write failed; 0x08000032
 * cancelled; 0x08000018 out of memory; 0x0800001E no worker thread; or the result of the failing
 * drive command (a read of the disc). The CD-Text of a CD is read with the tracks: a drive that
 * refuses to read it (ILLEGAL REQUEST) gives an image without CD-Text, any other failure that
 * stays after five retries fails the job, as it does for CPY_WriteDrive and CPY_CompareDrive. */
QUILLDEN_API DWORD CPY_CreateDiskImage(HANDLE drive, const WCHAR* path, HANDLE progress);

/* Tells whether an open image can be recorded onto media of targetMediaFlag with writeMode:
 * 0 no; 1, 2, 4 or 6 yes (the values tell how closely the copy matches the source). Returns
 * 0x08000010 for a bad image handle. */
QUILLDEN_API DWORD CPY_GetCopyableStatusFileToDrive(HANDLE image, DWORD targetMediaFlag,
                                                    DWORD writeMode);

/* As CPY_GetCopyableStatusFileToDrive, for the disc in sourceDrive; 0 also when that disc cannot
 * be described. */
QUILLDEN_API DWORD CPY_GetCopyableStatusDriveToDrive(HANDLE sourceDrive, DWORD targetMediaFlag,
                                                     DWORD writeMode);

/* Returns 0 when the disc in drive can be used as a copy source; 0x08000033 when not (a
 * multi-session mode 2 CD, a disc whose last track holds a file system made by a packet-writing
 * driver, or media whose background format is incomplete); 0x08000010 bad handle; or the result
 * of the first failing drive command. */
QUILLDEN_API DWORD CPY_GetBackupSupportMedia(HANDLE drive);

/* ---- Comparing (phase 96 of the progress object) --------------------------------------------- */

/* The three compares read the disc in drive 16 blocks per command (READ CD of raw sectors for mode 2
 * tracks of a CD, READ(10) otherwise, each retried up to five times) and compare the 2048 bytes of
 * user data of every block with the source; raw 2352-byte sectors are compared by their user data
 * at offset 24. Audio tracks are not compared and count as equal. On CD the last two blocks of a
 * track (the run-out of a track recorded track at once) may be unreadable: the track then ends
 * there; every block before them must read back. With a progress object the call checks its
 * arguments, starts a worker (done 0, end = the blocks to compare, phase 96, status 1) and
 * returns 0; the worker ends with status 2 (equal), 3 (failed, with the result below) or 4
 * (cancelled). Without one the compare runs on the caller's thread and returns its result.
 * After 0x08000026, DRV_GetLastCommandError describes the read that failed. */

/* Compares track number track of the disc in drive with the whole plain sector image file, from
 * its first byte (dataMode 1: 2048-byte sectors in the file; 2: raw 2352-byte sectors, for a mode 2
 * track). file is a POSIX file descriptor open for reading, passed as (HANDLE)(intptr_t)fd; so a
 * failed open(2), -1, is INVALID_HANDLE_VALUE. The engine reads through its own duplicate of the
 * descriptor with positional reads: the caller's file offset does not move, and the caller may
 * close its descriptor as soon as the call has returned.
 * Returns 0 when equal (or, with a progress object, when the compare started); 0x08000010 bad
 * drive, a null or INVALID_HANDLE_VALUE file or one that is not an open descriptor (descriptor 0
 * cannot be passed), or a bad progress object; 0x08000019 busy progress object; 0x08000011
 * dataMode other than 1 or 2, track 0 or a track the disc does not have, or dataMode not matching
 * the track's mode (an audio track matches neither); 0x08000034 a file of no sectors or with a
 * piece of a sector at its end; 0x0800003C the data differ, or the file holds more sectors than
 * the track (except on DVD+RW, where the track reaches to the end of the formatted area);
 * 0x08000026 an unreadable block of the disc or a drive that could not describe the track;
 * 0x08000020 a failed read of the file; 0x08000032 cancelled; 0x0800001E no worker thread;
 * 0x08000018 out of memory; or the result of DRV_GetMediaInformation. */
QUILLDEN_API DWORD CPY_CompareDiskISO(HANDLE drive, WORD track, DWORD dataMode, HANDLE file,
                                      HANDLE progress);

/* Compares the disc in drive with every track of an open disc image, each at the start the image
 * records for it. A volume header carried by the image (ROW data) stands in for the blocks it
 * covers from block 0 on, since recording an image on overwritable media writes it there. On CD a
 * track must start where the image says (else 0x0800003C) and may not be shorter than the image's
 * track; before a following audio track the compare ends at the track's exactly measured end.
 * The image handle may be closed while the compare runs: the job keeps the file open.
 * Results as CPY_CompareDiskISO, with 0x08000010 for a bad drive or image, and 0x08000020 or
 * 0x08000034 when the ROW data cannot be read. */
QUILLDEN_API DWORD CPY_CompareDiskImage(HANDLE drive, HANDLE image, HANDLE progress);

/* Compares the disc in drive with the disc in sourceDrive, track by track, both read the same way;
 * the tracks are those a disc image created from the source disc would hold. Results as
 * CPY_CompareDiskISO, with 0x08000010 for a bad drive of either side, 0x08000033 for source media
 * the engine does not know or a source without a readable track, 0x08000043 for a blank source,
 * and 0x08000026 for an unreadable block of either disc. */
QUILLDEN_API DWORD CPY_CompareDrive(HANDLE drive, HANDLE sourceDrive, HANDLE progress);

QUILLDEN_END_DECLS

#endif /* QUILLDEN_IMAGE_H_ */
