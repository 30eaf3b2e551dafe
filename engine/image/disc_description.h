// The description of the disc in a drive as a disc image would carry it: media profile, flags,
// CD-Text and both track lists. Creating an image file stores it; copying from drive to drive and
// the copyable-status question use it without a file.
//
// Read-only media are described by what they were recorded as (a DVD-ROM of DVD-R book type counts
// as DVD-R), so that a copy is judged by the kind of disc it reproduces. Thread-compatible: one
// call per drive at a time, like every drive command.
#ifndef QUILLDEN_IMAGE_DISC_DESCRIPTION_H_
#define QUILLDEN_IMAGE_DISC_DESCRIPTION_H_

#include <cstdint>

#include "image/image_format.h"
#include "quillden/types.h"

namespace quillden::image {

// Fills *description from the disc in drive (the offsets are not planned). Returns 0; 0x08000033
// for media the engine does not know or a disc without a readable track; 0x08000043 for a blank
// disc; 0x08000018 when memory runs out; or the failing drive command's result.
uint32_t DescribeDisc(HANDLE drive, ImageDescription* description);

// The profile stored for a disc of current profile: read-only media become the profile they were
// recorded as (from book type, layers and the number of tracks), others stay as they are.
uint16_t StoredProfile(uint16_t current, uint16_t book_profile, int layers, size_t track_count);

// True for the profiles whose tracks get the DVD-R-type corrections (last recorded address, the
// drive's reported size, free blocks marking an open track).
bool IsDvdMinusRType(uint16_t profile);

}  // namespace quillden::image

#endif  // QUILLDEN_IMAGE_DISC_DESCRIPTION_H_
