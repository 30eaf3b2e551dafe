// Recording a described disc onto blank media track by track: the job behind CPY_WriteDiskImage
// for multi-track images and behind CPY_WriteDrive.
//
// The source is an image description (the first track list says where each track's data is)
// and a TrackSource that delivers the data, from the image file or from the source drive. The
// job reproduces the sessions: each session's tracks are opened and fed in list order, tracks the
// source left open stay open, every session is closed except a last session the source left
// incomplete. CD copies recorded at once go session by session with a cue sheet that reproduces
// the gaps between tracks and carries the image's CD-Text in the lead-in.
//
// PrepareCopy makes every check that needs no writing; RunCopy is the worker's part. A CopyJob is
// used by one thread at a time.
#ifndef QUILLDEN_IMAGE_COPY_JOB_H_
#define QUILLDEN_IMAGE_COPY_JOB_H_

#include <cstdint>
#include <memory>

#include "image/disc_image.h"
#include "image/image_format.h"
#include "image/track_source.h"
#include "progress/progress_record.h"
#include "quillden/types.h"

namespace quillden::image {

struct CopyJob {
  HANDLE target = nullptr;
  HANDLE source_drive = nullptr;     // copying from a drive
  std::shared_ptr<DiscImage> image;  // copying from an image file (kept alive by the job)
  ImageDescription description;      // the source's header, lists and CD-Text
  std::unique_ptr<TrackSource> source;
  uint32_t write_mode = 0;
  uint32_t finalize_kind = 0;
  uint16_t target_profile = 0;
  uint64_t total_sectors = 0;
};

// The checks before a copy starts: target blank (0x08000036 when not, or when it is DVD-RW in
// restricted overwrite mode), copyable status not 0 (0x08000033), room for every sector
// (0x0800003D; a CD recorded at once also needs room for the gaps between the tracks, and
// overwritable media, which take each track at its source block, room up to the last track's
// end). Also 0x08000033 for a profile no copy method records, for more than 99 tracks onto CD,
// for an audio or mode 2 track onto media other than CD and for a layer jump track whose layer 0
// part the target's layer 0 cannot hold, and
// 0x08000034 for a track list that cannot describe a disc (a track whose mode and sector size do
// not belong together, tracks that overlap, run backwards or past the last block, or sessions out
// of order). Sets target_profile and total_sectors. 0 or the failing drive command's result
// otherwise.
uint32_t PrepareCopy(CopyJob* job);

// Records the copy, then reads the target's sessions and tracks back: 0 only when they are the
// source's, in the states the copy meant to leave them (0x0800003C otherwise). 0x08000032 when
// cancelled, 0x0800003F when a DVD-R source's track cannot be opened on DVD-RW sequential media, a
// read failure of the source, or the drive's result.
uint32_t RunCopy(CopyJob& job, const ProgressReporter& progress);

}  // namespace quillden::image

#endif  // QUILLDEN_IMAGE_COPY_JOB_H_
