// The check that ends every recording of an image or a copy: the sessions and tracks the target
// now holds must be the ones the job meant to leave there. A drive that accepted every command can
// still hold something else (a track that stayed open, two tracks merged into one, a session that
// was never closed), and such a disc must not be reported as recorded.
//
// The recorded tracks are read back with READ DISC INFORMATION and READ TRACK INFORMATION and
// judged by the shared track state rule (drive/media_queries.h). Overwritable media hold one track
// over the whole medium whatever was written; their layout is not checked here.
#ifndef QUILLDEN_IMAGE_LAYOUT_CHECK_H_
#define QUILLDEN_IMAGE_LAYOUT_CHECK_H_

#include <cstdint>
#include <string>
#include <vector>

#include "image/image_format.h"
#include "quillden/types.h"

namespace quillden::image {

struct IntendedTrack {
  uint16_t session = 1;  // counted from 1 at the first session the job wrote
  uint32_t sectors = 0;  // the track holds at least this many blocks
  bool open = false;     // the job left it open on purpose
  bool check_start = false;
  uint32_t start = 0;  // where it must begin, when check_start
};

struct IntendedLayout {
  std::vector<IntendedTrack> tracks;  // the tracks the job wrote, in order
  bool only_these = false;            // the target was blank: no other track may be there
  bool last_session_open = false;     // the last session was left incomplete on purpose
  bool disc_closed = false;           // the write mode closed the disc
};

// The layout a copy of description recorded with write_mode should leave on a blank target.
IntendedLayout CopyLayout(const ImageDescription& description, uint32_t write_mode);

// 0 when the target's layout is the intended one; 0x0800003C when it differs (*why, when given,
// says how); the failing drive command's result when the disc cannot be read back.
uint32_t CheckRecordedLayout(HANDLE drive, const IntendedLayout& intended,
                             std::string* why = nullptr);

}  // namespace quillden::image

#endif  // QUILLDEN_IMAGE_LAYOUT_CHECK_H_
