// Recording one data track from a file: a plain sector image (CPY_WriteISOImage) or the track of a
// single data track image (CPY_WriteDiskImage), at the media's next writable address, with the
// image's volume header written at block 0 of overwritable media afterwards.
#ifndef QUILLDEN_IMAGE_SINGLE_TRACK_H_
#define QUILLDEN_IMAGE_SINGLE_TRACK_H_

#include <cstdint>
#include <memory>
#include <vector>

#include "image/disc_image.h"
#include "image/image_format.h"
#include "platform/env.h"
#include "progress/progress_record.h"
#include "quillden/drive.h"
#include "quillden/types.h"

namespace quillden::image {

struct SingleTrackJob {
  HANDLE drive = nullptr;
  uint32_t write_mode = 0;
  TrackEntry track;  // mode, sector count, bytes per sector and data offset in the file
  std::unique_ptr<quenvar::platform::ReadableFile> own_file;  // a plain image opened for the job
  std::shared_ptr<DiscImage> image;                           // or the disc image it belongs to
  std::vector<uint8_t> header;  // volume header for block 0 (whole 2048-byte blocks), may be empty

  quenvar::platform::ReadableFile* file() const { return own_file ? own_file.get() : image->file(); }
};

// The media checks shared by both callers, on the media information of the target: 0x08000033
// for DVD-R dual layer jump media (and, for mode 2 data, any media but CD), 0x08000011 for DVD-R
// dual layer sequential media without write mode 3 and for write mode 3 on media that already hold
// data.
uint32_t CheckSingleTrackMedia(HANDLE drive, uint32_t write_mode, uint32_t data_mode, const _MEDIAINFORMATION& info);

// The worker's part. 0 once the media holds the one new closed track (0x0800003C when it does not),
// 0x08000020 for a failed read, 0x08000032 cancelled, or the drive's result.
uint32_t RecordSingleTrack(SingleTrackJob& job, const ProgressReporter& progress);

}  // namespace quillden::image

#endif  // QUILLDEN_IMAGE_SINGLE_TRACK_H_
