// Opening a volume on a drive handle that is already open (DRV_OpenVolume opens one by drive
// number; the reader's fuzzer opens one on a drive whose blocks come from memory).
#ifndef QUILLDEN_FILESYSTEMS_READER_VOLUME_OPEN_H_
#define QUILLDEN_FILESYSTEMS_READER_VOLUME_OPEN_H_

#include <cstdint>

#include "quillden/types.h"

namespace quillden::reader {

// Opens the volume of drive into *volume, as DRV_OpenVolume does; the volume owns the drive
// handle from here on, on success and on failure alike, and DRV_CloseVolume closes it. letter is
// the drive letter paths may name (0: none).
uint32_t OpenVolumeOnDrive(HANDLE drive, char letter, HANDLE* volume);

}  // namespace quillden::reader

#endif  // QUILLDEN_FILESYSTEMS_READER_VOLUME_OPEN_H_
