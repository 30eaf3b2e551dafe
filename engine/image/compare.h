// Comparing a recorded disc with its source, sector by sector.
//
// A comparison is a list of stretches of the disc in a drive ("tracks"), each with the place its
// reference data comes from: a file (a plain sector image, or one track's data inside a disc
// image file) or the same blocks of the disc in a second drive. Each disc's track is read in the
// order it was recorded (a layer jump track goes on on layer 1, at each disc's own place; see
// drive::TrackBlockRuns), 16 blocks per command at most, with the read retry rule: READ CD of
// raw 2352-byte sectors for mode 2 tracks of a CD, READ(10) otherwise. Only user data is
// compared: 2048 bytes per block, found at offset 24 of a raw mode 2 sector (16 of a raw mode 1
// sector). Audio tracks are skipped.
//
// A CD track recorded track at once ends in two run-out blocks that carry no user data; a read
// failure (other than a hardware error) that reaches into those last two blocks of the track ends
// the comparison of that track without a difference, once the blocks before them have been
// compared one by one. Everything before the run-out must read back: an unreadable block there is
// 0x08000026, and reference data reaching past the end of the disc's track is a difference.
//
// Overwritable media get their volume header rewritten when an image is recorded; a volume header
// given to the job stands in for the reference data of the blocks it covers.
//
// Thread-compatible: a job is run once, by one thread (the operation's worker or the caller's).
#ifndef QUILLDEN_IMAGE_COMPARE_H_
#define QUILLDEN_IMAGE_COMPARE_H_

#include <cstdint>
#include <memory>
#include <vector>

#include "image/disc_image.h"
#include "platform/env.h"
#include "progress/progress_record.h"
#include "quillden/types.h"

namespace quillden::image {

// A file offset meaning "read the reference from the source drive".
inline constexpr uint64_t kFromSourceDrive = ~uint64_t{0};

struct CompareTrack {
  uint32_t start = 0;    // first block, on the disc and on the source disc
  uint32_t sectors = 0;  // blocks of reference data
  uint32_t mode = kModeData1;
  uint32_t reference_sector_size = kCookedSectorSize;  // bytes per block in the file
  uint64_t file_offset = 0;  // where the track's data starts in the file, or kFromSourceDrive
  // Set when the disc's track is known by number (a plain image compared with one track); else
  // the track is found on the disc by its start.
  uint16_t disc_track = 0;
};

struct CompareJob {
  HANDLE drive = nullptr;
  HANDLE source_drive = nullptr;                    // only for tracks read from a source drive
  quenvar::platform::ReadableFile* file = nullptr;  // reference file of tracks with a file offset
  // Keep the file alive while the job runs: a plain image's own file, or the open disc image.
  std::unique_ptr<quenvar::platform::ReadableFile> owned_file;
  std::shared_ptr<DiscImage> image;
  std::vector<CompareTrack> tracks;
  // Volume header for block 0 onwards (whole blocks of 2048 bytes; may be empty).
  std::vector<uint8_t> volume_header;

  uint64_t TotalSectors() const;
};

// Runs the comparison: 0 when equal; 0x0800003C at the first difference; 0x08000026 for an
// unreadable block of either disc; 0x08000020 when the file cannot be read; 0x08000032 when the
// progress object asks for cancellation; 0x08000018 when memory runs out. Raises done by the
// sectors of each track as it goes (audio tracks count at once).
uint32_t RunCompare(CompareJob& job, const ProgressReporter& progress);

}  // namespace quillden::image

#endif  // QUILLDEN_IMAGE_COMPARE_H_
