/* Quillden engine: data discs (MST_), the tree of files and folders.
 *
 * A data disc is assembled in memory before anything is written. The caller creates a Datadisk,
 * fills its tree of entries (DatadiskFile handles) from files and folders of the local file system,
 * renames, moves and deletes entries, and finally asks for the disc's size or writes it (see
 * mastering.h). Everything a Datadisk allocates belongs to it: destroying the disc frees every entry
 * and buffer at once, and every entry handle of it becomes invalid.
 *
 * Naming rules every entry obeys: a name has at most 108 characters, none of the nine characters
 * \ / : * ? " < > | and no ";"; names of one folder are unique when ASCII letters are compared
 * without regard to case; a disc path ("folder\sub\name", no leading separator) has at most 256
 * characters; the children of a folder stand in ascending name order (ASCII letters folded when both
 * names start below 128, plain 16-bit code units otherwise).
 *
 * Handles: a Datadisk or DatadiskFile handle is an opaque pointer-sized value. Null, and
 * INVALID_HANDLE_VALUE, are invalid; so is any value that is not a live disc, or not a live entry of
 * the disc it is given with. Functions that return a handle return INVALID_HANDLE_VALUE on failure
 * and store the code as the disc's last error (MST_GetLastError); functions that return a code store
 * a failing code there too.
 *
 * Threads: a Datadisk is used by one thread at a time. The add worker (MST_AddDatadiskFileProgress)
 * and the existence check (MST_ExistCheckDatadiskFile with a file progress object) change the tree
 * on a thread of their own; until the worker has ended (FP_FINISHED, or the file progress object
 * reports its result) the caller must not touch that disc, and its window procedure must answer the
 * questions without calling back into it. Different discs are independent.
 *
 * File progress protocol: a worker sends the file progress object's window its message number with
 * wParam = one of the FP_ codes below and lParam = a pointer to a NUL-terminated UTF-16 string, and
 * waits for the reply. Replies are read as 32-bit values; FP_REPLY_CANCEL (0xFFFFFFFF, or -1)
 * cancels. Without a file progress object, or when its window is not a window, nothing is asked: a
 * missing or unreadable source is skipped, a long or ";"-holding name is kept (and shortened or
 * mended), a duplicate fails with 0x08000021, and the existence check deletes entries whose source
 * cannot be opened. */
#ifndef QUILLDEN_DATADISK_H_
#define QUILLDEN_DATADISK_H_

#include "quillden/types.h"

/* Attribute bits of the engine's own entries, in the find data's attribute word. Entries carrying
 * either are never opened, read, counted as files to write or given new blocks. */
#define DDF_ATTR_BOOT_IMAGE 0x01000000u /* the El Torito boot image entry; content from memory */
#define DDF_ATTR_IMPORTED 0x02000000u   /* read from an earlier session; content already on disc */

/* File progress codes (wParam of the file progress message). */
#define FP_ASK_ADD 0x10u
/* Before a new entry is inserted; lParam: source path. Reply 0 insert, 1 skip, FP_REPLY_CANCEL
 * cancel; any other reply leaves the entry out. */
#define FP_FINISHED 0x20u
/* Posted (not sent) when a worker ends; its result is in the file progress object first. lParam 0. */
#define FP_ASK_DUPLICATE 0x30u
/* An entry of that name exists in the target folder; lParam: disc path of the new entry. Reply 0
 * keep the existing entry (the new one is dropped, last error 0x08000045); 1 replace (an existing
 * file is deleted; an existing folder is kept and the new folder's contents merge into it);
 * FP_REPLY_CANCEL cancel; any other reply leaves the new entry out. */
#define FP_ASK_NAME 0x40u
/* The entry name is longer than 108 characters, or holds ";" (asked once for each case); lParam:
 * the name in a writable buffer of 260 units. Reply 1 skip (last error 0x08000047); 2 the caller
 * wrote a new name into the buffer; FP_REPLY_CANCEL cancel; other: keep (shortened or mended). */
#define FP_ASK_UNREADABLE 0x50u
/* The attributes of the source cannot be read; lParam: source path. Reply 1 skip, FP_REPLY_CANCEL
 * cancel, other: go on. */
#define FP_PATH_TOO_LONG 0x60u
/* Importing a session: the entry's disc path would exceed 256 characters; lParam: the disc path.
 * FP_REPLY_CANCEL cancels; any other reply skips the entry. */
#define FP_ASK_MISSING 0x70u
/* The source cannot be found (adding) or opened (existence check); lParam: source path. Adding: 1
 * skip, FP_REPLY_CANCEL cancel, other: go on with empty find data. Existence check: 1 delete the
 * entry, FP_REPLY_CANCEL cancel, other: keep it. */
#define FP_CHECKING 0x80u
/* The existence check reports one file; lParam: source path. FP_REPLY_CANCEL ends the check after
 * this entry. */

#define FP_REPLY_CANCEL 0xFFFFFFFFu

QUILLDEN_BEGIN_DECLS

/* Creates an empty data disc: label from the local time ("YYYYMMDD_hhmmss"), file version flag 1,
 * data mode 1, file system bits 7, last error 0. Returns the handle, or INVALID_HANDLE_VALUE when
 * memory runs out. */
QUILLDEN_API HANDLE MST_CreateDatadisk(void);

/* Destroys a data disc with every entry and buffer. Returns 0; 0x08000010 for an invalid handle.
 * Must not be called while a worker of the disc runs. */
QUILLDEN_API DWORD MST_DestroyDatadisk(HANDLE disc);

/* Adds a local file or folder (a POSIX path; folders are added with their whole contents) on the
 * caller's thread, without asking anything. For a file, target is the disc folder that receives it
 * ("" or null: the root; missing folders are created). For a folder, target names the new folder
 * itself ("a\b\c" adds it as c inside a\b); with an empty target the folder keeps its own name in
 * the root. Returns the new entry (for a folder, its entry), or INVALID_HANDLE_VALUE with the last
 * error: 0x08000010 invalid disc; 0x08000011 null or empty source; 0x08000013 source not found (its
 * path is copied to the error file name); 0x08000044 bad character in the last component of source
 * or target; 0x08000021 the name exists; 0x08000046 a disc path would exceed 256 characters;
 * 0x08000018 out of memory. Entries added before a failure inside a folder stay. */
QUILLDEN_API HANDLE MST_AddDatadiskFile(HANDLE disc, const WCHAR* source, const WCHAR* target);

/* As MST_AddDatadiskFile, on a worker thread that asks the file progress object's window (see the
 * protocol above). Returns 0 when the worker was started; FP_FINISHED is posted at the end, and the
 * worker's result (PRG_GetFileProgressErrorCode) is 0 when the entry was added (or an existing
 * folder received the new folder's contents), otherwise the code the add ended with (0x08000045 the
 * caller kept the existing entry, 0x08000032 cancelled, 0x08000047 skipped for its name, ...) or
 * 0xFFFFFFFF when the entry was skipped at the caller's request. The worker waits suspended until
 * PRG_SetFileProgressMessage when the object's window is not yet a window. Returns 0x08000010
 * invalid disc or object; 0x08000011 null or empty source; 0x08000013 source not found (its path
 * goes to the error file name); 0x08000044 bad character; 0x08000019 a worker of this object still
 * runs; 0x08000018 no memory; 0x0800001E thread not started. */
QUILLDEN_API DWORD MST_AddDatadiskFileProgress(HANDLE disc, const WCHAR* source, const WCHAR* target,
                                               HANDLE file_progress);

/* Creates a folder named name in parent (null: the root), stamped with the current time. Returns
 * the new entry, or INVALID_HANDLE_VALUE: 0x08000010 invalid disc or parent (or parent is a file);
 * 0x08000011 empty name; 0x08000021 the name exists; 0x08000044 bad character; 0x08000046 path too
 * long; 0x08000018 no memory. A name of 109 characters or more is shortened. */
QUILLDEN_API HANDLE MST_CreateDatadiskFolder(HANDLE disc, HANDLE parent, const WCHAR* name);

/* Creates the folder named by a disc path such as "a\b\c" with any missing folders before it.
 * Returns the last folder, or INVALID_HANDLE_VALUE: 0x08000011 empty path; 0x08000044 bad character
 * in the last component; 0x08000021 an intermediate component is a file, or the last one exists;
 * 0x08000046; 0x08000018. Folders created before a failure stay. */
QUILLDEN_API HANDLE MST_CreateFullPathDatadiskFolder(HANDLE disc, const WCHAR* path);

/* The entry named name in parent (null: the root): its handle, 0 when there is none (no error
 * recorded), or INVALID_HANDLE_VALUE with 0x08000011 (empty name), 0x08000044 (bad character) or
 * 0x08000010 (invalid disc or parent). */
QUILLDEN_API HANDLE MST_FindDatadiskFile(HANDLE disc, HANDLE parent, const WCHAR* name);

/* The entry at a disc path such as "a\b\name"; its find data is copied to find_data when that is
 * not null. INVALID_HANDLE_VALUE with 0x08000015 when a component is missing, 0x08000044 for a bad
 * character in the last component, 0x08000011 for an empty path, 0x08000010 for an invalid disc. */
QUILLDEN_API HANDLE MST_FindFullPathDatadiskFile(HANDLE disc, const WCHAR* path,
                                                 WIN32_FIND_DATAW* find_data);

/* The first entry of the root folder; 0 when the disc is empty; INVALID_HANDLE_VALUE for an invalid
 * disc. */
QUILLDEN_API HANDLE MST_GetRootDatadiskFile(HANDLE disc);

/* First child / parent (0 for root entries) / next sibling (0 at the end) of an entry.
 * INVALID_HANDLE_VALUE for an invalid disc, and with last error 0x08000010 for an invalid entry. */
QUILLDEN_API HANDLE MST_GetChildDatadiskFile(HANDLE disc, HANDLE entry);
QUILLDEN_API HANDLE MST_GetParentDatadiskFile(HANDLE disc, HANDLE entry);
QUILLDEN_API HANDLE MST_GetNextDatadiskFile(HANDLE disc, HANDLE entry);

/* Copies the entry's 592-byte find data (cFileName holds its name on the disc). Returns 0;
 * 0x08000010 invalid disc or entry; 0x08000011 null out. */
QUILLDEN_API DWORD MST_GetFindDataDatadiskFile(HANDLE disc, HANDLE entry, WIN32_FIND_DATAW* out);

/* Copies the entry's disc path (not just its name) with its terminator into buffer (capacity in
 * characters; 257 always suffice). Returns 0; 0x08000010 invalid disc or entry; 0x08000011 null
 * buffer, or a capacity too small for the path (the buffer then receives an empty string when it
 * has room for one). An entry without a disc path yields 0 and an untouched buffer. */
QUILLDEN_API DWORD MST_GetDatadiskFilename(HANDLE disc, HANDLE entry, WCHAR* buffer, DWORD capacity);

/* Copies the entry's source path (the local path it was added from) with its terminator. Returns 0
 * (an empty string for a folder created on the disc); 0x0800003A for an imported entry; 0x08000010;
 * 0x08000011 null buffer or capacity too small (as above). */
QUILLDEN_API DWORD MST_GetSourceFilename(HANDLE disc, HANDLE entry, WCHAR* buffer, DWORD capacity);

/* Deletes an entry with its whole subtree; deleting the boot image entry removes the boot image
 * too. Returns 0 or 0x08000010. */
QUILLDEN_API DWORD MST_DeleteDatadiskFile(HANDLE disc, HANDLE entry);

/* Moves an entry into new_parent (null: the root); find_data->cFileName is the name looked up in
 * the new folder. Checks, in order: 0x08000010 invalid entry or new parent (or null find_data:
 * 0x08000011); 0x08000042 new parent is a file; 0x08000040 already there; 0x08000041 new parent is
 * the entry or inside it; 0x08000021 the name exists there; 0x08000046 a disc path of the moved
 * subtree would exceed 256 characters (error paths filled, nothing moved). Returns 0 or the code. */
QUILLDEN_API DWORD MST_MoveDatadiskFile(HANDLE disc, HANDLE entry, HANDLE new_parent,
                                        const WIN32_FIND_DATAW* find_data);

/* Renames an entry; it moves to its sorted place and the disc paths below it are rebuilt. Returns
 * the entry, or INVALID_HANDLE_VALUE with the last error, checked in this order: 0x08000010 invalid
 * entry; 0x08000011 empty name; 0x08000016 109 characters or more; 0x08000021 a sibling or the
 * entry itself has that name (so a change of letter case alone is refused); 0x08000044 bad
 * character; 0x08000013 the entry has no disc path; 0x08000046 longer than
 * MST_GetPossibleRenameLength. */
QUILLDEN_API HANDLE MST_RenameDatadiskFile(HANDLE disc, HANDLE entry, const WCHAR* name);

/* The longest name the entry may take by renaming: min(108, name length + 256 - L), L being the
 * longest disc path in the subtree of a folder with children, else the entry's own disc path
 * length. 0 for an invalid entry. */
QUILLDEN_API WORD MST_GetPossibleRenameLength(HANDLE entry);

/* Checks that the source of every file entry (boot image and imported entries excepted) can still
 * be opened. Without a file progress object (null) it runs on the caller's thread and deletes every
 * entry whose source cannot be opened; with one it runs on a worker that sends FP_CHECKING for
 * each file and FP_ASK_MISSING for each missing one, and returns 0 when started (the result goes to
 * the object, FP_FINISHED is posted). Results: 0; 0x08000032 cancelled; 0x08000015 the tree cannot
 * be enumerated; 0x08000010 invalid disc or object; 0x08000019 a worker of this object still runs;
 * 0x0800001E thread not started. The last entry that failed is in the error file name (source)
 * and error target path (disc path). */
QUILLDEN_API DWORD MST_ExistCheckDatadiskFile(HANDLE disc, HANDLE file_progress);

/* Number of file entries to write (folders, boot image and imported entries not counted); 0 for an
 * empty tree; 0xFFFFFFFF for an invalid disc. */
QUILLDEN_API DWORD MST_GetNumberOfWriteFile(HANDLE disc);

/* The disc's last error (0x08000010 for an invalid disc) / stores code as the last error and
 * returns 0 (0x08000010 for an invalid disc). */
QUILLDEN_API DWORD MST_GetLastError(HANDLE disc);
QUILLDEN_API DWORD MST_SetLastError(HANDLE disc, DWORD code);

/* Copy the source path (or entry name) / the disc path of the last entry that failed, with its
 * terminator, into buffer, which must hold 260 units. Return 0; 0x08000010 invalid disc; 0x08000011
 * null buffer. */
QUILLDEN_API DWORD MST_GetErrorFileName(HANDLE disc, WCHAR* buffer);
QUILLDEN_API DWORD MST_GetErrorTargetPath(HANDLE disc, WCHAR* buffer);

/* ---- Project files ------------------------------------------------------------------------------
 * A project file records the volume label and, for every file and every empty folder, its source
 * path and its disc path: UTF-16LE text without a byte order mark, "VARNOLD MORVELLANTIC PROJECTFILE"
 * and "1.0.0.0" lines, a ":VolumeLabel" line, then one "source TAB disc-path" line per file and one
 * "source| TAB disc-path|" line per empty folder (source empty for a folder made by
 * MST_CreateDatadiskFolder), each ending in CR LF, depth first. Files in the system's ANSI code
 * page are read as well. Both functions store a failing code as the disc's last error. */

/* Saves the disc's tree as a project file at path (a local path, UTF-16), replacing an existing
 * file, on the caller's thread; the result also goes to the file progress object and FP_FINISHED
 * is posted to its window when it is one. The boot image entry is not written (it is a setting of
 * the disc, not a local file). Returns 0; 0x08000044 bad character in the last path component, or
 * a source or disc path holding TAB, CR or LF (it could not be read back); 0x08000010 invalid disc
 * or file progress object; 0x08000015 empty tree; 0x08000014 the file cannot be created; 0x0800001F
 * a write fails; 0x0800003A an entry imported from an earlier session (it has no source); 0x08000018
 * out of memory. A save that fails midway leaves what it wrote. */
QUILLDEN_API DWORD MST_SaveProjectDatadisk(HANDLE disc, HANDLE file_progress, const WCHAR* path);

/* Loads a project file into the disc, adding to the tree that is already there. On the caller's
 * thread the file is opened, its magic, version and label line are checked and the label is set;
 * then a worker adds every line through the add rules and the file progress protocol (files are
 * re-read from their sources, folders with a source enumerated again, folders without one created).
 * The worker waits suspended until PRG_SetFileProgressMessage when the window is not yet a window.
 * Returns 0 when the worker started: its result (0 at the end of the file; 0x08000011 a source or
 * disc path longer than 259 characters or 519 ANSI bytes; 0x08000034 a line without TAB or with a
 * zero unit; 0x08000020 a read failed; 0x08000032 cancelled) goes to the file progress object and
 * FP_FINISHED is posted. Entries added before the worker stopped stay. Otherwise returns 0x08000044
 * bad character in the last path component; 0x08000010 invalid disc, or no valid file progress
 * object; 0x08000019 a worker of that object still runs; 0x08000014 the file cannot be opened;
 * 0x08000020 a read fails; 0x08000034 magic, version or keyword wrong; 0x08000011 label line longer
 * than 40 units (80 ANSI bytes) or a label that fails the character test of MST_SetVolumeLabel;
 * 0x08000016 label longer than 32 units; 0x08000018 out of memory; 0x0800001E no worker thread. */
QUILLDEN_API DWORD MST_LoadProjectDatadisk(HANDLE disc, HANDLE file_progress, const WCHAR* path);

/* ---- Importing an earlier session ----------------------------------------------------------------
 * Before a new session is appended to a disc that holds data, the tree of one of its sessions is
 * imported: every file and folder becomes an entry with DDF_ATTR_IMPORTED whose content stays where
 * it is on the disc, and the new session's file systems list old and new entries together. */

/* Imports session number session (1 = the first) of the disc in drive into the disc's tree: UDF
 * when the session holds it (falling back to Joliet or ISO 9660 when its structures cannot be
 * read), else Joliet, else ISO 9660. The medium is kept in the drive meanwhile. Entries are placed
 * through the file progress protocol (FP_ASK_NAME for names of 109 characters or more; an existing
 * entry of the same name is kept silently when both are folders or without a window, else
 * FP_ASK_DUPLICATE decides; FP_ASK_ADD with the disc path for a new name; FP_PATH_TOO_LONG with
 * the disc path when the path would exceed 256 characters, any reply but FP_REPLY_CANCEL skips).
 * Names are cut at their last ";"; characters the tree refuses become "_". On success the disc's
 * file systems become those found (frozen from then on, like the data mode); on success or cancel
 * the disc remembers the drive, the next session start (the next writable address of an
 * appendable disc, else 0xFFFFFFFF, so a later write job is refused) and the media's data mode.
 * A failing import empties the tree, entries that were there before included.
 * With a file progress object the import runs on a worker and the call returns 0 once it started
 * (the worker's result goes to the object and FP_FINISHED is posted); without one it runs on the
 * caller's thread. Results: 0; 0x08000010 invalid disc or file progress object; 0x08000011 drive
 * null, INVALID_HANDLE_VALUE or not open, file progress object INVALID_HANDLE_VALUE, or the
 * session's start cannot be found; 0x08000019 a worker of that object still runs; 0x0800001E no
 * worker thread; 0x08000018 out of memory; 0x08000032 cancelled; 0x08000038 no file system
 * recognized, or its structures cannot be read (a directory whose "." record does not match,
 * loops, extents beyond the disc, a file in more than two pieces or held inside its UDF entry);
 * or the failure of reading the media information. Failures are stored as the disc's last error. */
QUILLDEN_API DWORD MST_ReadFileSystem(HANDLE disc, HANDLE drive, WORD session, HANDLE file_progress);

QUILLDEN_END_DECLS

#endif /* QUILLDEN_DATADISK_H_ */
