/* Quillden engine: reading files back from a disc (DRV_ volume exports).
 *
 * After a disc has been written, its files are compared with their sources. These exports read the
 * volume of a drive letter with the engine's own file system reader, over the drive's blocks (READ(10)
 * with the read retry rule), so no system mount is needed and real and virtual drives behave alike.
 * The volume is the file systems of the last session of the disc; a path is looked up in UDF when the
 * session holds it, else in Joliet, else in ISO 9660, with ASCII letters compared without regard to
 * case (an exact match wins). A path names a file or folder from the root: "X:\folder\file",
 * "\folder\file" and "folder\file" are the same path ("/" separates as well); the drive letter, when
 * given, must be the volume's.
 *
 * Thread-safety: one thread at a time per volume handle; different handles may be used from different
 * threads. Ownership: whoever opens a volume closes it with DRV_CloseVolume, which also closes the
 * drive handle the volume opened for itself. Records and data are copied into caller memory. Nothing
 * throws. */
#ifndef QUILLDEN_VOLUME_H_
#define QUILLDEN_VOLUME_H_

#include "quillden/types.h"

QUILLDEN_BEGIN_DECLS

/* Opens the volume of drive number driveNumber (1 for A: to 26 for Z:) into *volume. Returns 0;
 * 0x08000011 a number outside 1..26 or a null out pointer; 0x08000037 the drive cannot be opened;
 * 0x08000023 the drive holds no medium (the last command error record keeps its sense, 2/3A/xx);
 * 0x08000038 the last session holds no readable file system; 0x08000018 out of memory. */
QUILLDEN_API DWORD DRV_OpenVolume(DWORD driveNumber, HANDLE* volume);

/* Closes a volume and its drive handle. Returns 0, or 0x08000010 for a handle that is not an open
 * volume. */
QUILLDEN_API DWORD DRV_CloseVolume(HANDLE volume);

/* Fills *data for the file or folder at path: attributes (0x10 folder, 0x80 file), the creation,
 * last access and last write times, the size (0 for folders) and the name in cFileName. The root
 * ("X:\" or "") is a folder with an empty name. Returns 0; 0x08000010 bad volume handle; 0x08000011
 * null path or record, or a drive letter that is not the volume's; 0x08000015 no such file or folder
 * (or a component that is a file); 0x08000038 a structure on the way cannot be read, or a folder on
 * the way is one the volume has already listed under another path (a folder that names one of its
 * ancestors: refusing it is what makes every walk through the volume end); 0x08000018. */
QUILLDEN_API DWORD DRV_GetVolumeFileInformation(HANDLE volume, const WCHAR* path, WIN32_FIND_DATAW* data);

/* Fills *data for entry number index (0 = the first) of the folder at path, in the order the file
 * system records them. Returns 0; 0x08000015 when the folder has no entry of that number, or path
 * names no folder; otherwise as DRV_GetVolumeFileInformation. Listing a folder entry by entry costs
 * one directory read for the first entry only: the volume keeps the folders it listed recently. */
QUILLDEN_API DWORD DRV_FindVolumeFile(HANDLE volume, const WCHAR* path, DWORD index, WIN32_FIND_DATAW* data);

/* Reads up to bytes bytes of the file at path, from byte offset on, into buffer; *read gets the
 * count read, fewer than bytes only at the end of the file (0 at or after its end). Reading a file
 * chunk by chunk looks it up once: the volume keeps the file it read last. Returns 0; 0x08000010 bad
 * volume handle; 0x08000011 null path, buffer (with bytes above 0) or count pointer; 0x08000015 no
 * such file, or path names a folder; 0x08000038 the file's extents cannot be read as recorded; the
 * drive's failure of a read (after the read retries); 0x08000018. */
QUILLDEN_API DWORD DRV_ReadVolumeFile(HANDLE volume, const WCHAR* path, ULONGLONG offset, void* buffer,
                                      DWORD bytes, DWORD* read);

QUILLDEN_END_DECLS

#endif /* QUILLDEN_VOLUME_H_ */
