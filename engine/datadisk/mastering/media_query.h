// What the mastering code asks a drive about its media.
#ifndef QUILLDEN_DATADISK_MASTERING_MEDIA_QUERY_H_
#define QUILLDEN_DATADISK_MASTERING_MEDIA_QUERY_H_

#include <cstdint>

#include "quillden/types.h"

namespace quillden::mastering {

struct DriveMedia {
  bool known = false;    // the media information could be read
  bool cd = false;       // CD-ROM, CD-R, CD-RW or one of the double-density kinds
  uint16_t profile = 0;  // the MMC profile of the media (0 when unknown)
};

// The media in drive, from one DRV_GetMediaInformation.
DriveMedia QueryDriveMedia(HANDLE drive);

}  // namespace quillden::mastering

#endif  // QUILLDEN_DATADISK_MASTERING_MEDIA_QUERY_H_
