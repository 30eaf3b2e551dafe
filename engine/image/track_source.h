// Where the sectors of a track come from when a disc is recorded from an image file or copied
// from another drive, and how they become recorded blocks.
//
// A TrackSource reads sectors in the form the image file keeps them: 2048 bytes of user data, or
// 2352-byte raw sectors for mode 2 and audio tracks. FeedTrack turns them into the blocks the
// recorder takes: audio and 2048-byte data as read; raw mode 2 sectors without their sync and
// header (the subheader, user data and error correction, as many bytes as the recorded block
// holds). Thread-compatible: one source per worker.
#ifndef QUILLDEN_IMAGE_TRACK_SOURCE_H_
#define QUILLDEN_IMAGE_TRACK_SOURCE_H_

#include <cstdint>
#include <functional>
#include <vector>

#include "drive/media_queries.h"
#include "image/image_format.h"
#include "platform/env.h"
#include "progress/progress_record.h"
#include "quillden/types.h"

namespace quillden::image {

inline constexpr uint32_t kSectorsPerPiece = 16;

class TrackSource {
 public:
  virtual ~TrackSource() = default;
  // Reads count sectors of bytes_per_sector bytes, from sector first of the track on, into out.
  // 0, 0x08000020 for a failed or short file read, or the drive's result.
  virtual uint32_t Read(const TrackEntry& track, uint32_t first, uint32_t count, uint8_t* out) = 0;
};

// Track data at its data offset in a file.
class FileTrackSource : public TrackSource {
 public:
  explicit FileTrackSource(quenvar::platform::ReadableFile* file) : file_(file) {}
  uint32_t Read(const TrackEntry& track, uint32_t first, uint32_t count, uint8_t* out) override;

 private:
  quenvar::platform::ReadableFile* file_;
};

// Track data read from the disc in a drive: READ(10) for 2048-byte sectors, READ CD for raw
// sectors, each retried as the read rules say. A track recorded with a layer jump is read where
// the drive recorded it, on layer 0 up to the jump and on layer 1 after it (drive::TrackBlockRuns).
class DriveTrackSource : public TrackSource {
 public:
  explicit DriveTrackSource(HANDLE drive) : drive_(drive) {}
  uint32_t Read(const TrackEntry& track, uint32_t first, uint32_t count, uint8_t* out) override;

 private:
  HANDLE drive_;
  // The runs of the track read last, found once per track.
  uint32_t runs_start_ = 0;
  uint32_t runs_count_ = 0;
  std::vector<drive::BlockRun> runs_;
};

// 0 when the track's mode and sector size belong together: mode 1 in 2048-byte sectors, audio in
// 2352-byte sectors, mode 2 in either; 0x08000034 for anything else (a damaged or foreign image),
// which would otherwise be recorded at the wrong block size.
uint32_t CheckTrackForm(const TrackEntry& track);

// Receives whole blocks of block_size bytes.
using BlockSink = std::function<uint32_t(const uint8_t* data, size_t bytes)>;

// Reads the track's sector_count sectors in pieces of 16 and hands them to sink as blocks of
// block_size bytes: 2336 or 2332 for raw mode 2 sectors (offset 16 on), otherwise the sector as it
// is (block_size must then equal bytes_per_sector, or be 2048 for a mode 2 track kept as 2048-byte
// sectors, which the recorder builds into blocks itself). Stops at the first failure or when
// cancellation is requested (0x08000032).
uint32_t FeedTrack(TrackSource& source, const TrackEntry& track, uint32_t block_size,
                   const BlockSink& sink, const ProgressReporter& progress);

}  // namespace quillden::image

#endif  // QUILLDEN_IMAGE_TRACK_SOURCE_H_
