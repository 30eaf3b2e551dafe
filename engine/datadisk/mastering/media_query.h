// What the mastering code asks a drive about its media.
#ifndef QUILLDEN_DATADISK_MASTERING_MEDIA_QUERY_H_
#define QUILLDEN_DATADISK_MASTERING_MEDIA_QUERY_H_

#include "quillden/types.h"

namespace quillden::mastering {

// True when the drive's media information can be read and the media is a CD (CD-ROM, CD-R, CD-RW
// and the double-density kinds).
bool DriveHoldsCd(HANDLE drive);

}  // namespace quillden::mastering

#endif  // QUILLDEN_DATADISK_MASTERING_MEDIA_QUERY_H_
